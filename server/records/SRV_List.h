/*
 * SRV_List: list mode. Per channel, the accepted events of an acquisition
 * (time tag, energy on the spectrum's bin scale, flags) go into a buffer of
 * client-chosen size; a full buffer, and the acquisition stop, write them to
 * the channel's list file (text or packed binary), or, without a file, they
 * wait for command 36, which empties the buffer. Command 35 sets a channel's
 * list-mode settings.
 *
 * Everything here runs under the board lock: handleListMode and
 * SRV_HandleListSaving on the board thread, the commands on the main thread.
 * The record SRVListSave_t is declared in SRV_BoardRecord.h.
 */
#ifndef SRV_LIST_H
#define SRV_LIST_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A start refuses a buffer of more events than this. */
#define SRV_LIST_MAX_EVENTS 65536u

/* Actions of SRV_HandleListSaving. */
enum { SRV_LIST_ACTION_START = 0, SRV_LIST_ACTION_STOP = 1 };

/* Lists the channel's events of this readout: 0, or -1 when a flush of a
 * full buffer failed (logged with the file and the reason; a write that
 * failed ends the channel's listing until its stop, which reports it).
 * Board thread, board lock held. */
int handleListMode(SRVBoard_t* board, uint32_t channel);

/* Starts (action 0) or stops (action 1) list output for the enabled channels
 * of the mask (bit channel mod 32). 0, or the first failure: -1 (folder),
 * -41 (buffer), -17 / -44 (flush; -17 also a list file that could not be
 * written, or closed), -36 (file not opened). A stop keeps, in each channel's
 * listStopFailure, the list file it could not complete (status 0: none). */
SRVStatus_t SRV_HandleListSaving(SRVBoard_t* board, uint32_t channelMask, uint32_t action);

/* Writes the buffered events to the file while saving: 0, -17 (array or file
 * missing, or a write that failed: the events that did not reach the file
 * stay buffered, the file ends with its last whole event and takes nothing
 * more) or -44 (unknown format). Format none, or not saving: 0 and the
 * buffer unchanged. */
SRVStatus_t SRV_FlushListEvents(SRVListSave_t* list);

/* Reallocates the three arrays to bufferSize events; a failed reallocation
 * leaves that array NULL. A size above SRV_LIST_MAX_EVENTS, which no start
 * accepts, leaves all three NULL. A count above the new size is cut to it,
 * and is 0 while any array is missing. */
void SRV_ResizeListBuffers(SRVListSave_t* list);

/* The start-up defaults of a channel, with the given list-file name (at most
 * 400 characters kept), and its arrays sized: 0, or -17 for no such channel. */
SRVStatus_t SRV_InitListSave(SRVBoard_t* board, uint32_t channel, const char* fileName);

/* The start-up defaults of every channel of the board, each with the list
 * file "<dataFolder>/ListData_ch<NN>.dat": 0 or -17. */
SRVStatus_t SRV_InitListSaves(SRVBoard_t* board, const char* dataFolder);

/* Closes the channel's list file and frees its arrays (the record stays
 * usable with bufferSize 0). */
void SRV_FreeListSave(SRVListSave_t* list);

/* 0 and the channel's record, or -33 after "Channel '%i' not found.". */
SRVStatus_t SRV_GetListSave(SRVBoard_t* board, int32_t channel, SRVListSave_t** out);

#ifdef __cplusplus
}
#endif

#endif /* SRV_LIST_H */
