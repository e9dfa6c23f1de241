/*
 * SRV_SpectrumCommands: the energy spectrum commands 27 (get), 28 (set), 29
 * (clear) and 42 (get ROI), on the spectra of SRV_Spectra and, for the set
 * command's switch, the gain stabiliser.
 */
#ifndef SRV_SPECTRUM_COMMANDS_H
#define SRV_SPECTRUM_COMMANDS_H

#include <stdint.h>

#include "SRV_Common.h"

#ifdef __cplusplus
extern "C" {
#endif

void* SRV_CmdGetEnergySpectrum(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                               uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdSetEnergySpectrum(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                               uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdClearEnergySpectrum(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                                 uint32_t* replySize, SRVStatus_t* status);
void* SRV_CmdGetROI(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                    uint32_t* replySize, SRVStatus_t* status);

#ifdef __cplusplus
}
#endif

#endif /* SRV_SPECTRUM_COMMANDS_H */
