// Multichannel-scaling spectra: binding to their parameters, the
// accumulation of the data of each sweep, the sweep signal, lookups by index
// path.
#include "SRV_MCS.h"

#include <array>
#include <cmath>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_IndexPath.h"

static const c_LogModule_t LOG_MODULE = {"SRV_MCSLog.txt", "SRV_MCS"};

namespace {

const char SWEEP_SIGNAL_NAME[] = "DPPL_PARAM_CH_MCS_SWEEP_SIGNAL";

// Accumulation modes.
const int64_t MODE_REPLACE = 0;
const int64_t MODE_ADD = 1;
const int64_t MODE_REPLACE_FIRST_PASS = 2;

// A cached value truncated to an integer; unbound or not a number gives 0,
// values beyond the 32-bit range its ends (enough for every comparison made
// here).
int64_t truncated(const double* value) {
    if (value == nullptr || std::isnan(*value))
        return 0;
    if (*value >= 4294967296.0)
        return 4294967296LL;
    if (*value <= -4294967296.0)
        return -4294967296LL;
    return static_cast<int64_t>(*value);
}

// Steps 1 to 3 of a datum; false when the slot lies outside the record and
// the datum is dropped.
bool accumulate(SRVMCSSpectrum_t* spectrum, uint8_t startMarker, uint16_t slot, uint32_t count) {
    if (slot >= SRV_MCS_MAX_SLOTS)
        return false;
    if (startMarker == 1)
        spectrum->state = SRV_MCS_STATE_RUNNING;

    switch (truncated(spectrum->acqMode)) {
    case MODE_REPLACE: spectrum->counts[slot] = count; break;
    case MODE_ADD: spectrum->counts[slot] += count; break;
    case MODE_REPLACE_FIRST_PASS:
        spectrum->counts[slot] = spectrum->pass == 1 ? count : spectrum->counts[slot] + count;
        break;
    default: break;
    }

    // The last slot, compared as 16-bit numbers, completes the pass.
    uint16_t lastSlot = static_cast<uint16_t>(truncated(spectrum->mcsChannels) - 1);
    if (slot == lastSlot) {
        int64_t preset = truncated(spectrum->presetPasses);
        if (preset > 0 && spectrum->pass == static_cast<uint64_t>(preset))
            spectrum->state = SRV_MCS_STATE_PRESET_REACHED;
        else
            spectrum->pass++;
    }
    return true;
}

// The channel's library parameter of the current MCS channel, written
// directly (no set path, no board write).
void setCurrentChannel(SRVBoard_t* board, uint32_t channel, double slot) {
    c_Parameter_t* current =
        c_pfindc(&board->digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_MCS_CURRENT_CHANNEL);
    if (current != nullptr)
        current->value = slot;
}

} // namespace

// ============================================================== binding

// The spectrum's fields and the server parameters they show.
static std::array<SRVValueBinding<const double>, 9> valueBindings(SRVMCSSpectrum_t* spectrum) {
    return {{
        {"PARAM_MCS_CHANNELS", &spectrum->mcsChannels},
        {"PARAM_MCS_SW_DWELL_ENABLE", &spectrum->swDwellEnable},
        {"PARAM_MCS_HW_DWELL_ENABLE", &spectrum->hwDwellEnable},
        {"PARAM_MCS_SW_SWEEP_ENABLE", &spectrum->swSweepEnable},
        {"PARAM_MCS_HW_SWEEP_ENABLE", &spectrum->hwSweepEnable},
        {"PARAM_MCS_MODE", &spectrum->mode},
        {"PARAM_MCS_DWELL_TIME", &spectrum->dwellTime},
        {"PARAM_MCS_ACQ_MODE", &spectrum->acqMode},
        {"PARAM_MCS_PRESET_PASSES", &spectrum->presetPasses},
    }};
}

SRVStatus_t SRV_InitMCSSpectrum(SRVBoard_t* board, uint32_t channel, uint32_t index) {
    if (board == nullptr || channel >= SRV_MAX_CHANNELS || index >= SRV_MAX_MCS_SPECTRA)
        return SRV_ERR_RESOURCE;
    SRVChannel_t* frame = &board->channels[channel];
    SRVMCSSpectrum_t* spectrum = &frame->mcsSpectra[index];
    spectrum->channel = frame;
    spectrum->channelIndex = channel;
    SRV_UnbindMCSSpectrum(spectrum);
    spectrum->state = SRV_MCS_STATE_IDLE;
    spectrum->pass = 1;
    return SRV_BindParameterValues(board, spectrum->collection, valueBindings(spectrum)) ? SRV_SUCCESS
                                                                                         : SRV_ERR_RESOURCE;
}

void SRV_UnbindMCSSpectrum(SRVMCSSpectrum_t* spectrum) { SRV_UnbindParameterValues(valueBindings(spectrum)); }

// ======================================================== accumulation

int SRV_AddMCSDatum(SRVMCSSpectrum_t* spectrum, uint8_t startMarker, uint16_t slot, uint32_t count) {
    if (spectrum == nullptr)
        return SRV_ERR_RESOURCE;
    accumulate(spectrum, startMarker, slot, count);
    return SRV_SUCCESS;
}

void SRV_HandleMCSDatum(SRVBoard_t* board, uint32_t channel, const c_DPPEvent_t* event) {
    if (board == nullptr || event == nullptr || channel >= SRV_MAX_CHANNELS)
        return;
    SRVChannel_t* frame = &board->channels[channel];
    if (frame->mcsSpectrumCount == 0)
        return;
    SRVMCSSpectrum_t* spectrum = &frame->mcsSpectra[0];
    if (spectrum->mcsChannels == nullptr)
        return;
    uint16_t slot = static_cast<uint16_t>(event->specialIndex);
    if (!accumulate(spectrum, event->specialFlag, slot, event->specialWord1))
        return;
    setCurrentChannel(board, channel, slot);
    if (static_cast<double>(slot) == *spectrum->mcsChannels - 1.0 && spectrum->state != SRV_MCS_STATE_PRESET_REACHED)
        SRV_SendMCSSweepSignal(board, static_cast<int32_t>(channel));
}

SRVStatus_t SRV_SendMCSSweepSignal(SRVBoard_t* board, int32_t channel) {
    if (board == nullptr)
        return SRV_ERR_INVALID_PARAMETER;
    c_Digitizer_t* digitizer = &board->digitizer;
    int32_t code = 0;
    if (c_getParamCodeFromCodeName(SWEEP_SIGNAL_NAME, &code) != 0) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Parameter code for '%s' not found",
                         SWEEP_SIGNAL_NAME);
        return SRV_ERR_INVALID_PARAMETER;
    }
    // A channel the board doesn't have has no such parameter either.
    c_Parameter_t* signal = SRV_IsValidChannel(board, channel) ? c_pfindc(digitizer, channel, code) : nullptr;
    if (signal == nullptr) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Parameter '%s' with code '%i' not found",
                         SWEEP_SIGNAL_NAME, code);
        return SRV_ERR_INVALID_PARAMETER;
    }
    if (c_pset(digitizer, signal, 1.0) != 0) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "c_pset() failed for '%s'.", SWEEP_SIGNAL_NAME);
        return SRV_ERR_INVALID_PARAMETER;
    }
    if (digitizer->channels[channel].acqStatus != ACQSTATUS_RUNNING)
        setCurrentChannel(board, static_cast<uint32_t>(channel), 0.0);
    return SRV_SUCCESS;
}

int SRV_ClearMCSSpectrum(SRVMCSSpectrum_t* spectrum) {
    if (spectrum == nullptr)
        return SRV_ERR_RESOURCE;
    SRV_ClearMCSCounts(spectrum->counts);
    spectrum->state = SRV_MCS_STATE_IDLE;
    spectrum->pass = 1;
    return SRV_SUCCESS;
}

void SRV_ClearMCSCounts(uint32_t counts[SRV_MCS_MAX_SLOTS]) {
    if (counts != nullptr)
        std::memset(counts, 0, SRV_MCS_MAX_SLOTS * sizeof counts[0]);
}

uint32_t SRV_MCSSlotCount(const SRVMCSSpectrum_t* spectrum) {
    int64_t slots = spectrum != nullptr ? truncated(spectrum->mcsChannels) : 0;
    if (slots < 0)
        return 0;
    return slots > SRV_MCS_MAX_SLOTS ? SRV_MCS_MAX_SLOTS : static_cast<uint32_t>(slots);
}

// ============================================================== lookup

SRVStatus_t SRV_GetMCSSpectrum(SRVBoard_t* board, const int32_t path[], uint32_t pathLength, SRVMCSSpectrum_t** out) {
    if (board == nullptr || out == nullptr || (path == nullptr && pathLength != 0))
        return SRV_ERR_INVALID_PARAMETER;
    int32_t channel = -1;
    int32_t index = -1;
    const SRVPathSlot_t slots[] = {{SRV_OBJ_CHANNEL, &channel}, {SRV_OBJ_MCS_SPECTRUM, &index}};
    if (!SRV_ReadIndexPath(path, pathLength, slots, 2))
        return SRV_ERR_INVALID_PARAMETER;
    if (!SRV_IsValidChannel(board, channel)) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Invalid channel index '%i'.", channel);
        return SRV_ERR_INVALID_PARAMETER;
    }
    if (!SRV_IsValidMCSSpectrum(board, channel, index)) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Invalid MCS spectrum index '%i'.", index);
        return SRV_ERR_INVALID_PARAMETER;
    }
    *out = &board->channels[channel].mcsSpectra[index];
    return SRV_SUCCESS;
}
