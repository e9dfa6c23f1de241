// Energy spectrum commands 27 (get), 28 (set), 29 (clear) and 42 (get ROI).
// The set command switches the spectrum's gain stabiliser, so the handlers
// sit above both the spectra and the stabiliser.
#include <cstdio>

#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_CommandRequest.h"
#include "SRV_GainStabilizer.h"
#include "SRV_Spectra.h"

// The handlers log with the spectra.
static const c_LogModule_t LOG_MODULE = {"SRV_SpectraLog.txt", "SRV_Spectra"};

namespace {

// The bits of the get command's data mask, and of the set command's.
const uint64_t GET_COUNTS = 0x1;
const uint64_t GET_REAL_TIME = 0x2;
const uint64_t GET_LIVE_TIME = 0x4;
const uint64_t GET_DEAD_TIME = 0x8;
const uint64_t GET_OVERFLOWS = 0x10;
const uint64_t GET_UNDERFLOWS = 0x20;
const uint64_t GET_ENTRIES = 0x40;
const uint64_t GET_ROI_COUNT = 0x80;
const uint64_t FIELD_FILE_PATH = 0x100;
const uint64_t FIELD_PERIOD = 0x200;
const uint64_t FIELD_GAIN_STABILIZER = 0x400;
const uint64_t FIELD_LABEL = 0x800;
const uint64_t GET_START_TIME = 0x1000;
const uint64_t GET_STOP_TIME = 0x2000;
const uint64_t ROI_ENTRIES = 0x1;

const size_t LABEL_SIZE = sizeof(SRVEnergySpectrum_t::label);

// The gain stabiliser's switch of command 28: 1 enables and resets it, any
// other value disables it and keeps its state.
void switchGainStabilizer(SRVEnergySpectrum_t* spectrum, uint32_t value) { SRV_SwitchGainStabilizer(spectrum, value); }

SRVStatus_t refuseEmptyPath() {
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Spectrum file '' names no file: refused.");
    return SRV_ERR_INVALID_FILE_NAME;
}

} // namespace

// Command 27: u64 dataMask, index path; one reply field per set bit 0 to 13.
void* SRV_CmdGetEnergySpectrum(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const SRVEnergySpectrum_t* spectrum = request.objectAs<SRVEnergySpectrum_t>();
    const uint64_t mask = request.dataMask;
    SRVReply reply(request.command);
    const SRVSpectrumCounters_t& total = spectrum->total;
    if (mask & GET_COUNTS)
        reply.u32(spectrum->counts, SRV_SpectrumBinCount(spectrum));
    if (mask & GET_REAL_TIME)
        reply.u64(total.realTimeNs);
    if (mask & GET_LIVE_TIME)
        reply.u64(total.liveTimeNs);
    if (mask & GET_DEAD_TIME)
        reply.u64(total.deadTimeNs);
    if (mask & GET_OVERFLOWS)
        reply.u32(total.overflows);
    if (mask & GET_UNDERFLOWS)
        reply.u32(total.underflows);
    if (mask & GET_ENTRIES)
        reply.u64(total.entries);
    if (mask & GET_ROI_COUNT)
        reply.u32(spectrum->roiCount);
    if (mask & FIELD_FILE_PATH)
        reply.text(spectrum->filePath, sizeof spectrum->filePath);
    if (mask & FIELD_PERIOD)
        reply.u32(spectrum->period);
    if (mask & FIELD_GAIN_STABILIZER)
        reply.u32(spectrum->gainStabilizer.enabled != 0 ? 1u : 0u);
    if (mask & FIELD_LABEL)
        reply.text(spectrum->label, sizeof spectrum->label);
    if (mask & GET_START_TIME)
        reply.text(spectrum->startTime, sizeof spectrum->startTime);
    if (mask & GET_STOP_TIME)
        reply.text(spectrum->stopTime, sizeof spectrum->stopTime);
    return SRV_GiveReply(&reply, SRV_SUCCESS, replySize, status);
}

// Command 28: u64 dataMask, index path, then bit 8 the spectrum file path,
// bit 9 the period (u32), bit 10 the gain stabiliser's switch (u32), bit 11
// the label.
void* SRV_CmdSetEnergySpectrum(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    const uint64_t mask = request.dataMask;
    char filePath[SRV_PATH_SIZE] = "";
    uint32_t period = 0;
    uint32_t stabilizer = 0;
    char label[LABEL_SIZE] = "";
    bool complete = (!(mask & FIELD_FILE_PATH) || request.fields.text(filePath, sizeof filePath)) &&
                    (!(mask & FIELD_PERIOD) || request.fields.u32(&period)) &&
                    (!(mask & FIELD_GAIN_STABILIZER) || request.fields.u32(&stabilizer)) &&
                    (!(mask & FIELD_LABEL) || request.fields.text(label, sizeof label));
    if (!complete) {
        *status = request.fields.status();
        return nullptr;
    }
    // The spectrum is saved at the end where the client says only inside the
    // server's folders; an empty path would leave it nowhere to be saved.
    if (mask & FIELD_FILE_PATH) {
        *status =
            filePath[0] == '\0' ? refuseEmptyPath() : SRV_CheckClientPath(&LOG_MODULE, "Spectrum file", filePath, true);
        if (*status != SRV_SUCCESS)
            return nullptr;
    }
    *status = SRV_FindAndLockObject(request);
    if (*status != SRV_SUCCESS)
        return nullptr;
    SRVEnergySpectrum_t* spectrum = request.objectAs<SRVEnergySpectrum_t>();
    if (mask & FIELD_FILE_PATH)
        std::snprintf(spectrum->filePath, sizeof spectrum->filePath, "%s", filePath);
    if (mask & FIELD_PERIOD)
        spectrum->period = period;
    if (mask & FIELD_GAIN_STABILIZER)
        switchGainStabilizer(spectrum, stabilizer);
    if (mask & FIELD_LABEL)
        std::snprintf(spectrum->label, sizeof spectrum->label, "%s", label);
    *status = SRV_UnlockBoardInto(request.board, SRV_SUCCESS);
    return nullptr;
}

// Command 29: u64 cmdMaskIn, u64 cmdMaskOut, index path.
void* SRV_CmdClearEnergySpectrum(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    *status = SRV_ClearEnergySpectrum(request.objectAs<SRVEnergySpectrum_t>());
    return nullptr;
}

// Command 42: u64 dataMask, index path; bit 0 the ROI's entries (u64).
void* SRV_CmdGetROI(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVROI_t* roi = nullptr;
    SRVStatus_t result = SRV_FindROI(request.board, request.path, request.pathLength, &roi);
    SRVReply reply(request.command);
    if (result == SRV_SUCCESS && (request.dataMask & ROI_ENTRIES))
        reply.u64(roi->entries);
    return SRV_GiveReply(&reply, result, replySize, status);
}
