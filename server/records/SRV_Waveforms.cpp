// Each channel's copy of the waveform of one recent event and the checks of
// command 30.
#include "SRV_Waveforms.h"

#include <cmath>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_Spectra.h"

static const c_LogModule_t LOG_MODULE = {"SRV_WaveformsLog.txt", "SRV_Waveforms"};

static size_t sampleSize(int slot) { return slot < DPPL_ANALOG_TRACES ? sizeof(int16_t) : sizeof(uint8_t); }

// Copies n bytes only when both buffers exist.
static void* guardedCopy(void* destination, const void* source, size_t n) {
    if (destination != NULL && source != NULL && n > 0)
        std::memcpy(destination, source, n);
    return destination;
}

// Zeroes n bytes only when the buffer exists.
static void* guardedZero(void* destination, size_t n) {
    if (destination != NULL && n > 0)
        std::memset(destination, 0, n);
    return destination;
}

// ------------------------------------------------------------ the record

void SRV_FreeWaveform(c_Waveform_t* waveform) {
    if (waveform == NULL)
        return;
    for (c_Trace_t& trace : waveform->traces)
        c_free(trace.samples);
    c_free(waveform);
}

c_Waveform_t* SRV_AllocWaveform(void) {
    c_Waveform_t* waveform = static_cast<c_Waveform_t*>(c_calloc(1, sizeof(c_Waveform_t)));
    if (waveform == NULL)
        return NULL;
    for (int slot = 0; slot < DPPL_TRACE_SLOTS; slot++) {
        c_Trace_t& trace = waveform->traces[slot];
        trace.samples = c_calloc(SRV_WAVEFORM_CAPACITY, sampleSize(slot));
        if (trace.samples == NULL) {
            SRV_FreeWaveform(waveform);
            return NULL;
        }
        trace.capacity = SRV_WAVEFORM_CAPACITY;
    }
    return waveform;
}

void SRV_ClearWaveform(c_Waveform_t* waveform) {
    if (waveform == NULL)
        return;
    for (int slot = 0; slot < DPPL_TRACE_SLOTS; slot++) {
        c_Trace_t& trace = waveform->traces[slot];
        trace.probe = 0;
        guardedZero(trace.samples, static_cast<size_t>(trace.capacity) * sampleSize(slot));
    }
}

// The smallest capacity among the slots that the copy has buffers for, so
// that a sample count below it is valid for every trace that can be sent.
uint32_t SRV_WaveformStoredCapacity(const c_Waveform_t* waveform) {
    uint32_t capacity = SRV_WAVEFORM_CAPACITY;
    for (const c_Trace_t& trace : waveform->traces)
        if (trace.samples != NULL && trace.capacity < capacity)
            capacity = trace.capacity;
    return capacity;
}

// ------------------------------------------------------------ store

// True when the channel's energy skim is on and rejects the energy; -10 in
// *status when the skim is on but its levels are missing.
static bool rejectedBySkim(SRVBoard_t* board, uint32_t channel, uint16_t energy, SRVStatus_t* status) {
    *status = SRV_SUCCESS;
    c_Parameter_t* enable = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_ESKIM_ENABLE);
    if (enable == NULL || !std::isfinite(enable->value) || static_cast<int64_t>(enable->value) != 1)
        return false;
    c_Parameter_t* lld = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_ESKIM_LLD);
    c_Parameter_t* uld = c_pfindc(&board->digitizer, static_cast<int32_t>(channel), DPPL_PARAM_CH_ESKIM_ULD);
    if (lld == NULL || uld == NULL) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__,
                         "Error getting Energy Skim configuration for channel %i.", static_cast<int>(channel));
        *status = SRV_ERR_INVALID_PARAMETER;
        return true;
    }
    // Levels truncated and held within 0 .. 65535, as the spectrum's are:
    // a value out of range (or not a number) is never cast unchecked.
    uint16_t low = SRV_SpectrumLevel(&lld->value);
    uint16_t high = SRV_SpectrumLevel(&uld->value);
    return energy < low || energy > high;
}

SRVStatus_t SRV_StoreEventWaveform(SRVBoard_t* board, uint32_t channel, const c_DPPEvent_t* event) {
    if (event == NULL || event->waveform == NULL) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "No waveform found for channel %i.",
                         static_cast<int>(channel));
        return SRV_ERR_NO_WAVEFORM;
    }
    SRVStatus_t status = SRV_SUCCESS;
    if (rejectedBySkim(board, channel, event->energy, &status))
        return status;
    if (channel >= SRV_MAX_CHANNELS || board->channels[channel].waveform == NULL)
        return SRV_SUCCESS;

    c_Waveform_t* stored = board->channels[channel].waveform;
    const c_Waveform_t* source = event->waveform;
    // The count sent later must fit every buffer of the copy.
    uint32_t samples = source->nSamples;
    uint32_t capacity = SRV_WaveformStoredCapacity(stored);
    stored->nSamples = samples < capacity ? samples : capacity;
    for (int slot = 0; slot < DPPL_TRACE_SLOTS; slot++) {
        const c_Trace_t& from = source->traces[slot];
        c_Trace_t& to = stored->traces[slot];
        if (from.samples == NULL)
            continue;
        to.probe = from.probe;
        uint32_t count = stored->nSamples;
        if (count > from.capacity)
            count = from.capacity;
        if (count > to.capacity)
            count = to.capacity;
        guardedCopy(to.samples, from.samples, static_cast<size_t>(count) * sampleSize(slot));
    }
    return SRV_SUCCESS;
}

// ------------------------------------------------------------ command 30

SRVStatus_t SRV_GetChannelWaveform(SRVBoard_t* board, int32_t channel, c_Waveform_t** out) {
    c_Parameter_t* waveforms = c_pfind(&board->digitizer, DPPL_PARAM_WAVEFORMS);
    if (!SRV_IsValidChannel(board, channel)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Channel '%i' not found.",
                         static_cast<int>(channel));
        return SRV_ERR_UNSUPPORTED;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "Getting waveforms for channel '%i'.",
                     static_cast<int>(channel));
    if (waveforms == NULL) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Parameter 'DPPL_PARAM_WAVEFORMS' not found.");
        return SRV_ERR_INVALID_PARAMETER;
    }
    if (std::isfinite(waveforms->value) && static_cast<int64_t>(waveforms->value) == 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Waveforms not enabled.");
        return SRV_ERR_NO_WAVEFORM;
    }
    if (board->digitizer.channels[channel].acqStatus != ACQSTATUS_RUNNING) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Channel %i is not in acquisition.",
                         static_cast<int>(channel));
        return SRV_ERR_NO_WAVEFORM;
    }
    c_Waveform_t* waveform = board->channels[channel].waveform;
    if (waveform == NULL) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "No waveform found for channel %i.",
                         static_cast<int>(channel));
        return SRV_ERR_NO_WAVEFORM;
    }
    *out = waveform;
    return SRV_SUCCESS;
}
