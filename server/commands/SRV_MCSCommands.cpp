// Commands 46, 47 and 48: a multichannel-scaling spectrum, its sweep signal
// and its clear.
#include <cstdint>

#include "SRV_CommandRequest.h"
#include "SRV_MCS.h"

static const c_LogModule_t LOG_MODULE = {"SRV_MCSLog.txt", "SRV_MCS"};

// The bits of command 46's data mask.
static const uint64_t GET_COUNTS = 0x1;
static const uint64_t GET_STATE = 0x2;
static const uint64_t GET_PASS = 0x4;

// Command 46: u64 dataMask, index path; reply fields by bit: 0 counts (u32 x
// slots of a sweep), 1 state (u8), 2 pass (u32).
void* SRV_CmdGetMCSSpectrum(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const SRVMCSSpectrum_t* spectrum = request.objectAs<SRVMCSSpectrum_t>();
    const uint64_t mask = request.dataMask;
    SRVReply reply(request.command);
    if (mask & GET_COUNTS)
        reply.u32(spectrum->counts, SRV_MCSSlotCount(spectrum));
    if (mask & GET_STATE)
        reply.u8(static_cast<uint8_t>(spectrum->state));
    if (mask & GET_PASS)
        reply.u32(spectrum->pass);
    return SRV_GiveReply(&reply, SRV_SUCCESS, replySize, status);
}

// Command 47: u64 cmdMaskIn, u64 cmdMaskOut, int32 channel: one sweep
// signal.
void* SRV_CmdMCSSweep(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    *status = SRV_SendMCSSweepSignal(request.board, request.channel);
    return nullptr;
}

// Command 48: u64 cmdMaskIn, u64 cmdMaskOut, index path: clears the spectrum
// and sends a sweep signal to its channel.
void* SRV_CmdClearMCSSpectrum(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    SRVMCSSpectrum_t* spectrum = request.objectAs<SRVMCSSpectrum_t>();
    c_extendedLogMsg(&LOG_MODULE, &request.board->digitizer, C_LOG_DETAIL, __LINE__, "Getting MCS Spectrum Info.");
    // The clear stays done when the sweep signal fails.
    SRV_ClearMCSSpectrum(spectrum);
    *status = SRV_SendMCSSweepSignal(request.board, static_cast<int32_t>(spectrum->channelIndex));
    return nullptr;
}
