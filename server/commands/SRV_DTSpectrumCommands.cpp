// Commands 50, 51 and 52: the time-interval spectrum, its settings and its
// clear.
#include <cstdint>

#include "SRV_BoardLock.h"
#include "SRV_CommandRequest.h"
#include "SRV_DTSpectrum.h"

static const c_LogModule_t LOG_MODULE = {"SRV_DTSpectrumLog.txt", "SRV_DTSpectrum"};

// The bits of the data masks of commands 50 and 51.
static const uint64_t FIELD_COUNTS = 0x1;
static const uint64_t FIELD_ENTRIES = 0x2;
static const uint64_t FIELD_ENABLED = 0x4;
static const uint64_t FIELD_REFERENCE = 0x8;

// Command 50: u64 dataMask, index path; reply fields by bit: 0 counts (u64 x
// bins), 1 entries (u64), 2 enabled (u32), 3 reference channel (u32).
void* SRV_CmdGetDTSpectrum(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const SRVDTSpectrum_t* spectrum = request.objectAs<SRVDTSpectrum_t>();
    const uint64_t mask = request.dataMask;
    SRVReply reply(request.command);
    if (mask & FIELD_COUNTS)
        reply.u64(spectrum->counts, SRV_DTBinCount(spectrum));
    if (mask & FIELD_ENTRIES)
        reply.u64(spectrum->entries);
    if (mask & FIELD_ENABLED)
        reply.u32(spectrum->enabled != 0 ? 1u : 0u);
    if (mask & FIELD_REFERENCE)
        reply.u32(spectrum->referenceChannel);
    return SRV_GiveReply(&reply, SRV_SUCCESS, replySize, status);
}

// Command 51: u64 dataMask, index path, then bit 2 u32 enabled and bit 3 u32
// reference channel.
void* SRV_CmdSetDTSpectrum(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    const uint64_t mask = request.dataMask;
    uint32_t enabled = 0;
    uint32_t reference = 0;
    if (!((mask & FIELD_ENABLED) == 0 || request.fields.u32(&enabled)) ||
        !((mask & FIELD_REFERENCE) == 0 || request.fields.u32(&reference))) {
        *status = request.fields.status();
        return nullptr;
    }
    *status = SRV_FindAndLockObject(request);
    if (*status != SRV_SUCCESS)
        return nullptr;
    SRVDTSpectrum_t* spectrum = request.objectAs<SRVDTSpectrum_t>();
    if (mask & FIELD_ENABLED)
        spectrum->enabled = enabled != 0 ? 1 : 0;
    if (mask & FIELD_REFERENCE)
        SRV_SetDTReferenceChannel(spectrum, reference);
    *status = SRV_UnlockBoardInto(request.board, SRV_SUCCESS);
    return nullptr;
}

// Command 52: u64 cmdMaskIn, u64 cmdMaskOut, index path.
void* SRV_CmdClearDTSpectrum(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    c_extendedLogMsg(&LOG_MODULE, &request.board->digitizer, C_LOG_DETAIL, __LINE__, "Getting DeltaT Spectrum Info.");
    SRV_ClearDTSpectrum(request.objectAs<SRVDTSpectrum_t>());
    *status = SRV_SUCCESS;
    return nullptr;
}
