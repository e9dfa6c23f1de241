// Energy spectrum commands 27 (get), 28 (set), 29 (clear) and 42 (get ROI).
// The set command switches the spectrum's gain stabiliser, so the handlers
// sit above both the spectra and the stabiliser.
#include "SRV_SpectrumCommands.h"

#include <cstdio>

#include "SRVRequest.h"
#include "SRV_ClientPaths.h"
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
const uint64_t GET_KNOWN = 0x3FFF;
const uint64_t SET_KNOWN = FIELD_FILE_PATH | FIELD_PERIOD | FIELD_GAIN_STABILIZER | FIELD_LABEL;
const uint64_t ROI_ENTRIES = 0x1;

const size_t LABEL_SIZE = sizeof(SRVEnergySpectrum_t::label);

// The gain stabiliser's switch of command 28: 1 enables and resets it, any
// other value disables it and keeps its state.
void switchGainStabilizer(SRVEnergySpectrum_t* spectrum, uint32_t value) { SRV_SwitchGainStabilizer(spectrum, value); }

} // namespace

void* SRV_CmdGetEnergySpectrum(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                               uint32_t* replySize, SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t mask = 0;
    int32_t path[SRV_INDEX_PATH_MAX];
    uint32_t length = 0;
    if (!request.maskAndPath(&mask, path, &length)) {
        *status = request.status();
        return nullptr;
    }
    SRVEnergySpectrum_t* spectrum = SRV_FindAndLockBoard(SRV_FindEnergySpectrum, board, path, length, status);
    if (spectrum == nullptr)
        return nullptr;

    SRVReply reply(command);
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
    return SRV_FinishGetReply(&reply, &LOG_MODULE, board, mask, GET_KNOWN, SRV_SUCCESS, replySize, status);
}

void* SRV_CmdSetEnergySpectrum(SRVBoard_t* board, SRVCommand_t, const void* payload, uint32_t payloadSize, uint32_t*,
                               SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t mask = 0;
    int32_t path[SRV_INDEX_PATH_MAX];
    uint32_t length = 0;
    if (!request.maskAndPath(&mask, path, &length)) {
        *status = request.status();
        return nullptr;
    }
    if ((mask & ~SET_KNOWN) != 0) {
        SRV_LogUnsupportedMask(&LOG_MODULE, board, "dataMask", mask, mask & ~SET_KNOWN);
        *status = SRV_ERR_UNSUPPORTED;
        return nullptr;
    }
    char filePath[SRV_PATH_SIZE] = "";
    uint32_t period = 0;
    uint32_t stabilizer = 0;
    char label[LABEL_SIZE] = "";
    bool complete = (!(mask & FIELD_FILE_PATH) || request.text(filePath, sizeof filePath)) &&
                    (!(mask & FIELD_PERIOD) || request.u32(&period)) &&
                    (!(mask & FIELD_GAIN_STABILIZER) || request.u32(&stabilizer)) &&
                    (!(mask & FIELD_LABEL) || request.text(label, sizeof label));
    if (!complete) {
        *status = request.status();
        return nullptr;
    }
    // The spectrum is saved at the end where the client says only inside the
    // server's folders.
    if (mask & FIELD_FILE_PATH) {
        *status = SRV_CheckClientPath(&LOG_MODULE, "Spectrum file", filePath, true);
        if (*status != SRV_SUCCESS)
            return nullptr;
    }
    SRVEnergySpectrum_t* spectrum = SRV_FindAndLockBoard(SRV_FindEnergySpectrum, board, path, length, status);
    if (spectrum == nullptr)
        return nullptr;
    if (mask & FIELD_FILE_PATH)
        std::snprintf(spectrum->filePath, sizeof spectrum->filePath, "%s", filePath);
    if (mask & FIELD_PERIOD)
        spectrum->period = period;
    if (mask & FIELD_GAIN_STABILIZER)
        switchGainStabilizer(spectrum, stabilizer);
    if (mask & FIELD_LABEL)
        std::snprintf(spectrum->label, sizeof spectrum->label, "%s", label);
    *status = SRV_UnlockBoardInto(board, SRV_SUCCESS);
    return nullptr;
}

void* SRV_CmdClearEnergySpectrum(SRVBoard_t* board, SRVCommand_t, const void* payload, uint32_t payloadSize, uint32_t*,
                                 SRVStatus_t* status) {
    auto clear = [](SRVBoard_t*, SRVEnergySpectrum_t* spectrum) { return SRV_ClearEnergySpectrum(spectrum); };
    return SRV_RunClearCommand(&LOG_MODULE, board, payload, payloadSize, SRV_FindEnergySpectrum, clear, status);
}

void* SRV_CmdGetROI(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                    uint32_t* replySize, SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t mask = 0;
    int32_t path[SRV_INDEX_PATH_MAX];
    uint32_t length = 0;
    if (!request.maskAndPath(&mask, path, &length)) {
        *status = request.status();
        return nullptr;
    }
    SRVStatus_t result = SRV_LockBoard(board);
    if (result != SRV_SUCCESS) {
        *status = result;
        return nullptr;
    }
    SRVROI_t* roi = nullptr;
    result = SRV_FindROI(board, path, length, &roi);
    SRVReply reply(command);
    if (result == SRV_SUCCESS && (mask & ROI_ENTRIES))
        reply.u64(roi->entries);
    return SRV_FinishGetReply(&reply, &LOG_MODULE, board, mask, ROI_ENTRIES, result, replySize, status);
}
