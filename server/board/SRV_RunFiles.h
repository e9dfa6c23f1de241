/*
 * SRV_RunFiles: the run files. The commands that ask for them (22 to 24) are
 * in SRV_AcquisitionCommands.
 *
 * A run file, in the folder "Run" of the working folder and named "*.zrn",
 * holds one line "<model>_<serial> <raw-data file>": the raw-data file that
 * the board recorded during the start after which it was written. Loading it
 * (command 23) replaces the board by a replay of that file.
 */
#ifndef SRV_RUN_FILES_H
#define SRV_RUN_FILES_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The folder of the run files and raw-data files, in the working folder. */
#define SRV_RUN_FOLDER "Run"
/* The ending every run-file name has. */
#define SRV_RUN_FILE_ENDING ".zrn"
/* Command 24 lists at most this many names of at most 199 characters. */
#define SRV_RUN_FILES_MAX      200
#define SRV_RUN_FILE_NAME_SIZE 200

/* True when the name may name a run file: at most 199 characters, no '/' or
 * '\', and its last '.' begins exactly ".zrn". */
bool SRV_IsValidRunFileName(const char* name);
/* Writes the run file of path (if the path is not empty) and opens the next
 * raw-data file of a live board; empties the path on success. 0, -17, -26,
 * -30 (the path leads outside the working folder now, through a link), or a
 * lock failure. Takes the board lock itself. */
SRVStatus_t SRV_PrepareRunFile(SRVBoard_t* board, char path[SRV_PATH_SIZE]);
/* "Run/<name>" into out: false when it does not fit. */
bool SRV_RunFilePath(char out[SRV_PATH_SIZE], const char* name);
/* The run files of the folder "Run", in the order the folder lists them:
 * 0, or -17 when the folder can't be read. */
SRVStatus_t SRV_ListRunFiles(char names[SRV_RUN_FILES_MAX][SRV_RUN_FILE_NAME_SIZE], int32_t* count);
/* Replaces the open board by a replay of the raw-data file that the run file
 * names: 0, -28 (no such run file), -30 (name refused, or the path leads
 * outside the working folder through a link), -17 (unreadable, or a link in
 * its place), or
 * -7 (the replay can't be opened; the previous board is opened again). */
SRVStatus_t SRV_LoadRunFile(SRVBoard_t* board, const char* name);

#ifdef __cplusplus
}
#endif

#endif /* SRV_RUN_FILES_H */
