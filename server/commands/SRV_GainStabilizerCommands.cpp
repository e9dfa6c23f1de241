// Command 49: the reset of an energy spectrum's gain stabiliser.
#include "SRV_CommandRequest.h"
#include "SRV_GainStabilizer.h"

// Command 49: u64 cmdMaskIn, u64 cmdMaskOut, index path (types 2 and 9):
// resets the spectrum's stabiliser when it is enabled and applies its
// factor.
void* SRV_CmdResetGainStabilizer(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    SRVGainStabilizer_t* stabilizer = &request.objectAs<SRVEnergySpectrum_t>()->gainStabilizer;
    if (stabilizer->enabled != 0)
        SRV_ResetGainStabilizer(stabilizer);
    *status = static_cast<SRVStatus_t>(SRV_ApplyGainCorrection(request.board, stabilizer));
    return nullptr;
}
