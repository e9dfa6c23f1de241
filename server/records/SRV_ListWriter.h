/*
 * SRV_ListWriter: a channel's list file, text or packed binary, written
 * checked. Every byte is written through the file's descriptor a chunk of
 * whole events at a time, so that what reached the file is known: a write
 * that fails (a full disk, a file-size limit) cuts the file back to its last
 * whole event, keeps the system's error number in the record's writeError
 * and ends the output, which takes nothing more until its stop; the events
 * that did not reach the file stay buffered.
 *
 * Used by SRV_List, under the board lock.
 */
#ifndef SRV_LIST_WRITER_H
#define SRV_LIST_WRITER_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_ClientPaths.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The log of list mode. */
extern const c_LogModule_t SRV_LIST_LOG_MODULE;

/* Whether the format is one of text, binary and none. */
bool SRV_ListFormatKnown(int32_t format);
/* Whether the format writes a file (text or binary). */
bool SRV_ListFormatHasFile(int32_t format);

/* Opens the output of the record's format in the folder given (text with its
 * header line, or binary; none for format none): 0, -44 (unknown format),
 * -36 (file not opened), or -17 when the header line could not be written
 * (the file then closed). */
SRVStatus_t SRV_OpenListFile(SRVBoard_t* board, SRVListSave_t* list, const SRVClientFile_t* folder);

/* Closes the list file: 0, or -17 when the close reported that what was
 * written did not all reach it (the error number then in writeError). */
SRVStatus_t SRV_CloseListFile(SRVListSave_t* list);

/* Writes the buffered events to the file while saving: 0, -17 (array or file
 * missing, or a write that failed: the events that did not reach the file
 * stay buffered, the file ends with its last whole event and takes nothing
 * more) or -44 (unknown format). Format none, or not saving: 0 and the
 * buffer unchanged. */
SRVStatus_t SRV_FlushListEvents(SRVListSave_t* list);

/* "Error saving list events to file.", with the file and the system's reason
 * when a write into it failed. */
void SRV_LogListSaveFailure(const c_LogModule_t* module, SRVBoard_t* board, int line, const SRVListSave_t* list);

#ifdef __cplusplus
}
#endif

#endif /* SRV_LIST_WRITER_H */
