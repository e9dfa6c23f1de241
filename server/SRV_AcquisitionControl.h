/*
 * SRV_AcquisitionControl: the acquisition commands and the quit command, and
 * the board and channel starts and stops that the board thread runs.
 */
#ifndef SRV_ACQUISITION_CONTROL_H
#define SRV_ACQUISITION_CONTROL_H

#include <stdint.h>

#include "SRV_Common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Command 25: request u64 cmdMaskIn, u64 cmdMaskOut; no mask bit is known.
 * With status 0 the command loop ends after the reply. */
void* SRV_CmdQuit(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                  uint32_t* replySize, SRVStatus_t* status);

/* Starts and stops of the board or of one channel, run by the board thread
 * with the board lock held. */
SRVStatus_t SRV_StartAcquisition(SRVBoard_t* board);
SRVStatus_t SRV_StartChannelAcquisition(SRVBoard_t* board, uint32_t channel);
SRVStatus_t SRV_StopAcquisition(SRVBoard_t* board);
SRVStatus_t SRV_StopChannelAcquisition(SRVBoard_t* board, uint32_t channel);

#ifdef __cplusplus
}
#endif

#endif /* SRV_ACQUISITION_CONTROL_H */
