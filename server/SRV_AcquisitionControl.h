/*
 * SRV_AcquisitionControl: the board and channel starts and stops that the
 * board thread runs, and the run files. The commands that ask for them (8, 9
 * and 22 to 25) are in SRV_AcquisitionCommands.
 *
 * A run file, in the folder "Run" of the working folder and named "*.zrn",
 * holds one line "<model>_<serial> <raw-data file>": the raw-data file that
 * the board recorded during the start after which it was written. Loading it
 * (command 23) replaces the board by a replay of that file.
 */
#ifndef SRV_ACQUISITION_CONTROL_H
#define SRV_ACQUISITION_CONTROL_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_Common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The folder of the run files and raw-data files, in the working folder. */
#define SRV_RUN_FOLDER "Run"
/* The ending every run-file name has. */
#define SRV_RUN_FILE_ENDING ".zrn"
/* Command 24 lists at most this many names of at most 199 characters. */
#define SRV_RUN_FILES_MAX 200
#define SRV_RUN_FILE_NAME_SIZE 200

/* Starts and stops of the board or of one channel, run by the board thread
 * with the board lock held: 0, -25 (library), -27 (raw-data file not closed,
 * board stop), or the failure of the list-mode or acquisition-running step. */
SRVStatus_t SRV_StartAcquisition(SRVBoard_t* board);
SRVStatus_t SRV_StartChannelAcquisition(SRVBoard_t* board, uint32_t channel);
SRVStatus_t SRV_StopAcquisition(SRVBoard_t* board);
SRVStatus_t SRV_StopChannelAcquisition(SRVBoard_t* board, uint32_t channel);

/* Marks the board idle (no acquisition for the board thread to serve) or
 * busy, and wakes the board thread's idle wait. */
void SRV_SetIdle(SRVBoard_t* board, bool idle);

/* Switches raw-data recording off and closes the raw-data file if one is
 * open: 0, or -27 after "Can't close buffer dumper.". */
SRVStatus_t SRV_EndRawDataRecording(SRVBoard_t* board);

/* One readout of the board thread (board lock held): while the board is not
 * stopped, reads one buffer (c_getDPPEvents) and adds its bytes to the
 * record's bytesTotal; when it is stopped, every channel's decoded-event count
 * is set to 0 so that the cycle sees no events. 0, or -9 after "Data Error
 * (%i)." when the read failed. */
SRVStatus_t readoutFcn(SRVBoard_t* board);

/* Writes DPPL_PARAM_ACQRUNNING from the acquisition status when the board
 * does not keep it in a register: 0, or -7 when the parameter is missing. */
SRVStatus_t SRV_UpdateAcqRunning(SRVBoard_t* board);

/* True when the name may name a run file: at most 199 characters, no '/' or
 * '\', and its last '.' begins exactly ".zrn". */
bool SRV_IsValidRunFileName(const char* name);
/* Writes the run file of path (if the path is not empty) and opens the next
 * raw-data file of a live board; empties the path on success. 0, -17, -26,
 * or a lock failure. Takes the board lock itself. */
SRVStatus_t SRV_PrepareRunFile(SRVBoard_t* board, char path[SRV_PATH_SIZE]);
/* "Run/<name>" into out: false when it does not fit. */
bool SRV_RunFilePath(char out[SRV_PATH_SIZE], const char* name);
/* 0, or -17 after "Can't delete run file %s.". */
SRVStatus_t SRV_DeleteRunFile(const char* path);
/* The run files of the folder "Run", in the order the folder lists them:
 * 0, or -17 when the folder can't be read. */
SRVStatus_t SRV_ListRunFiles(char names[SRV_RUN_FILES_MAX][SRV_RUN_FILE_NAME_SIZE], int32_t* count);
/* Replaces the open board by a replay of the raw-data file that the run file
 * names: 0, -28 (no such run file), -30 (name refused), -17 (unreadable), or
 * -7 (the replay can't be opened; the previous board is opened again). */
SRVStatus_t SRV_LoadRunFile(SRVBoard_t* board, const char* name);

#ifdef __cplusplus
}
#endif

#endif /* SRV_ACQUISITION_CONTROL_H */
