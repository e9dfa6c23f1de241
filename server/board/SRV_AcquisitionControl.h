/*
 * SRV_AcquisitionControl: the board and channel starts and stops that the
 * board thread runs, the readout, and the end of raw-data recording. The
 * commands that ask for them (8, 9 and 25) are in SRV_AcquisitionCommands;
 * the run files are in SRV_RunFiles.
 */
#ifndef SRV_ACQUISITION_CONTROL_H
#define SRV_ACQUISITION_CONTROL_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

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
 * open: 0, or -27 after "Can't close buffer dumper." when the file could not
 * be closed or a write to it failed during the run (it is incomplete: kept
 * among the board's run failures, SRV_RunFailures, with its file and why). */
SRVStatus_t SRV_EndRawDataRecording(SRVBoard_t* board);

/* The failure of the board's runs that the reply of the client's command 8
 * or 9 answers (board lock held): its status, logged as answered by the
 * command and taken out, so that it is answered once; 0 when none waits. The
 * other failures that waited are left to the server's end. */
SRVStatus_t SRV_TakeStopFailure(SRVBoard_t* board, uint16_t command);

/* One readout of the board thread (board lock held): while the board is not
 * stopped, reads one buffer (c_getDPPEvents) and adds its bytes to the
 * record's bytesTotal; when it is stopped, every channel's decoded-event count
 * is set to 0 so that the cycle sees no events. 0, or after "Data Error
 * (%i)." when the read failed: -34 when it was a replay's read of its file
 * (a damaged record, skipped, or the one where the replay ended), else -9. */
SRVStatus_t readoutFcn(SRVBoard_t* board);

/* A replay's read that failed on a damaged record of its file (board lock
 * held): the record is lost, the replay goes on with the next one (or has
 * ended, where the framing was lost). The first of a run is logged and kept
 * (-34, the file) for the client's next command 8 or 9 to answer; the
 * library's log names the records. */
void SRV_NoteDamagedReplayRead(SRVBoard_t* board);

/* Writes DPPL_PARAM_ACQRUNNING from the acquisition status when the board
 * does not keep it in a register: 0, or -7 when the parameter is missing. */
SRVStatus_t SRV_UpdateAcqRunning(SRVBoard_t* board);

#ifdef __cplusplus
}
#endif

#endif /* SRV_ACQUISITION_CONTROL_H */
