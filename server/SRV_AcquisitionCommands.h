/*
 * SRV_AcquisitionCommands: the acquisition commands 8 and 9, the quit command
 * 25 and the run-file commands 22 to 24. They read the request, hand starts
 * and stops to the board thread and run-file work to SRV_RunFiles, and
 * answer.
 */
#ifndef SRV_ACQUISITION_COMMANDS_H
#define SRV_ACQUISITION_COMMANDS_H

#include "SRV_Common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Command 8: u64 cmdMaskIn, u64 cmdMaskOut, u32 channel mask. Writes the run
 * file named by command 22 (if any), then hands the start to the board
 * thread; no mask bit is known. */
void* SRV_CmdStartAcquisition(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                              uint32_t* replySize, SRVStatus_t* status);
/* Command 9: the same request; hands the stop to the board thread. */
void* SRV_CmdStopAcquisition(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                             uint32_t* replySize, SRVStatus_t* status);
/* Command 25: request u64 cmdMaskIn, u64 cmdMaskOut; no mask bit is known.
 * With status 0 the command loop ends after the reply. */
void* SRV_CmdQuit(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                  uint32_t* replySize, SRVStatus_t* status);

/* Command 22: i8 flag and, when it is not 0, the name as an i8 array of at
 * most 200 elements. Flag 0 empties the run-file path. */
void* SRV_CmdSetRunFile(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                        uint32_t* replySize, SRVStatus_t* status);
/* Command 23: char[200] run-file name; replays its raw-data file. */
void* SRV_CmdLoadRunFile(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                         uint32_t* replySize, SRVStatus_t* status);
/* Command 24: no request fields; reply i32 count, then count names of 200
 * characters each. */
void* SRV_CmdListRunFiles(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status);

#ifdef __cplusplus
}
#endif

#endif /* SRV_ACQUISITION_COMMANDS_H */
