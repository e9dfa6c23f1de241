// The gain stabiliser: binding, reset and switch, the per-cycle step with its
// peak and temperature modes, the net-count centroid, applying the factor.
#include "SRV_GainStabilizer.h"

#include <cmath>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_Spectra.h"

static const c_LogModule_t LOG_MODULE = {"SRV_GainStabilizer.txt", "SRV_GainStabilizer"};

namespace {

const char FACTOR_NAME[] = "PARAM_CH_FGAIN_TEMP";
const char FINE_GAIN_NAME[] = "PARAM_CH_ENERGY_FINE_GAIN";

// Periods with enough statistics before the first correction.
const uint32_t PERIODS = SRV_GAIN_STABILIZER_SLOTS;
const uint32_t NEWEST_SLOT = SRV_GAIN_STABILIZER_SLOTS - 1;
// The weights of the slots, oldest first, and their sum.
const double SLOT_WEIGHTS[SRV_GAIN_STABILIZER_SLOTS] = {0.0625, 0.125, 0.25, 0.5, 1.0};
const double WEIGHT_SUM = 1.9375;
// Result of a mode the stabiliser doesn't know.
const int UNKNOWN_MODE = -8;

// The bins of the stabilisation region.
struct Region {
    uint32_t lo;
    uint32_t hi;
};

// The region as the update uses it, truncated to bin numbers: false when it
// does not lie inside a slot with room for the two baseline windows.
bool regionOf(const SRVGainStabilizer_t* stabilizer, Region* region) {
    if (stabilizer->roiLow == nullptr || stabilizer->roiHigh == nullptr)
        return false;
    double low = *stabilizer->roiLow;
    double high = *stabilizer->roiHigh;
    if (!(low >= 0.0) || !(high < static_cast<double>(SRV_SPECTRUM_MAX_BINS)))
        return false;
    region->lo = static_cast<uint32_t>(low);
    region->hi = static_cast<uint32_t>(high);
    return region->lo + 2 <= region->hi;
}

// The slot being filled; never past the last one.
uint32_t currentSlot(const SRVGainStabilizer_t* stabilizer) {
    return stabilizer->slot < NEWEST_SLOT ? stabilizer->slot : NEWEST_SLOT;
}

// Net counts above the straight baseline through the means of the first and
// the last three bins, summed over lo .. hi-1, and their first moment.
bool netCounts(const double* h, uint32_t lo, uint32_t hi, double* sum, double* moment) {
    *sum = 0.0;
    *moment = 0.0;
    if (h == nullptr || hi >= SRV_SPECTRUM_MAX_BINS || lo > hi || hi - lo < 2)
        return false;
    const double left = (h[lo] + h[lo + 1] + h[lo + 2]) / 3.0;
    const double right = (h[hi - 2] + h[hi - 1] + h[hi]) / 3.0;
    // The distance between the middle bins of the two windows; a region of
    // three bins has both windows on the same bins and a flat baseline.
    const uint32_t span = hi - lo - 2;
    const double slope = span > 0 ? (right - left) / static_cast<double>(span) : 0.0;
    for (uint32_t b = lo; b < hi; b++) {
        double net = h[b] - (right - static_cast<double>(hi - 1 - b) * slope);
        if (net > 0.0) {
            *sum += net;
            *moment += static_cast<double>(b) * net;
        }
    }
    return *sum > SRV_GSTAB_MIN_NET_COUNTS;
}

// A server parameter of the spectrum's channel, by code name; NULL when
// missing.
SRVParameter_t* channelParameter(SRVBoard_t* board, const SRVEnergySpectrum_t* spectrum, const char* name) {
    if (board == nullptr || spectrum == nullptr || spectrum->channel == nullptr)
        return nullptr;
    return SRV_FindParameter(board, spectrum->channel->collection, name);
}

// A board parameter's value through the library's read.
bool readBoardValue(SRVBoard_t* board, int32_t code, double* value) {
    c_Parameter_t* param = c_pfind(&board->digitizer, code);
    return param != nullptr && c_pget(&board->digitizer, param, value) == 0;
}

// The weighted sum of the five slots over the region, then the correction.
int correct(SRVGainStabilizer_t* stabilizer, const Region& region, double* work) {
    for (uint32_t k = 0; k < SRV_GAIN_STABILIZER_SLOTS; k++)
        for (uint32_t b = region.lo; b <= region.hi; b++)
            work[b] += SLOT_WEIGHTS[k] * stabilizer->hist[k][b];
    for (uint32_t b = region.lo; b <= region.hi; b++)
        work[b] /= WEIGHT_SUM;
    double centroid = 0.0;
    // A centroid at bin 0 gives no ratio.
    if (!SRV_GainStabCentroid(work, region.lo, region.hi, &centroid) || !(centroid > 0.0))
        return SRV_ERR_LOW_STATISTICS;
    *stabilizer->factor = (stabilizer->reference / centroid) * *stabilizer->factor;
    for (uint32_t k = 0; k < NEWEST_SLOT; k++)
        for (uint32_t b = region.lo; b <= region.hi; b++)
            stabilizer->hist[k][b] = stabilizer->hist[k + 1][b];
    for (uint32_t b = region.lo; b <= region.hi; b++)
        stabilizer->hist[NEWEST_SLOT][b] = 0.0;
    return SRV_SUCCESS;
}

} // namespace

// ======================================================= set-up and state

SRVStatus_t SRV_InitGainStabilizer(SRVBoard_t* board, SRVEnergySpectrum_t* spectrum) {
    if (board == nullptr || spectrum == nullptr)
        return SRV_ERR_RESOURCE;
    SRVGainStabilizer_t* stabilizer = &spectrum->gainStabilizer;
    stabilizer->spectrum = spectrum;
    stabilizer->periodCount = 0;
    stabilizer->slot = 0;
    stabilizer->reference = 0.0;
    stabilizer->referenceSet = 0;
    stabilizer->enabled = 0;
    SRV_GainStabClearSlots(stabilizer->hist);
    SRVParameter_t* factor = channelParameter(board, spectrum, FACTOR_NAME);
    stabilizer->factor = factor != nullptr ? &factor->value : nullptr;
    // A spectrum without a histogram (waveform-only firmware) has nothing to
    // stabilise, and its board no gain correction to bind.
    return factor != nullptr || spectrum->nbins == nullptr ? SRV_SUCCESS : SRV_ERR_RESOURCE;
}

SRVStatus_t SRV_ResetGainStabilizer(SRVGainStabilizer_t* stabilizer) {
    if (stabilizer == nullptr)
        return SRV_ERR_RESOURCE;
    if (stabilizer->enabled == 0)
        return SRV_SUCCESS;
    stabilizer->periodCount = 0;
    stabilizer->slot = 0;
    stabilizer->referenceSet = 0;
    SRV_GainStabClearSlots(stabilizer->hist);
    if (stabilizer->factor != nullptr)
        *stabilizer->factor = 1.0;
    return SRV_SUCCESS;
}

SRVStatus_t SRV_SwitchGainStabilizer(SRVEnergySpectrum_t* spectrum, uint32_t value) {
    if (spectrum == nullptr)
        return SRV_SUCCESS;
    if (value == 1) {
        spectrum->gainStabilizer.enabled = 1;
        SRV_ResetGainStabilizer(&spectrum->gainStabilizer);
    } else {
        spectrum->gainStabilizer.enabled = 0;
    }
    return SRV_SUCCESS;
}

void SRV_GainStabClearSlots(double slots[SRV_GAIN_STABILIZER_SLOTS][SRV_SPECTRUM_MAX_BINS]) {
    if (slots != nullptr)
        std::memset(slots, 0, sizeof(double) * SRV_GAIN_STABILIZER_SLOTS * SRV_SPECTRUM_MAX_BINS);
}

// ======================================================== per cycle

int handleGainStabilization(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer) {
    if (board == nullptr || stabilizer == nullptr || stabilizer->enabled == 0 || stabilizer->interval == nullptr)
        return SRV_SUCCESS;
    uint64_t now = c_get_time();
    if (static_cast<double>(now - stabilizer->lastUpdate) <= *stabilizer->interval * 1000.0)
        return SRV_SUCCESS;
    stabilizer->lastUpdate = now;

    c_Digitizer_t* digitizer = &board->digitizer;
    const double mode = stabilizer->mode != nullptr ? *stabilizer->mode : 0.0;
    // Taken as an integer; a value that is no number is no mode.
    const int64_t modeNumber = std::fabs(mode) < 1.0e9 ? static_cast<int64_t>(mode) : -1;
    if (modeNumber == SRV_GSTAB_MODE_OFF) {
        return SRV_SUCCESS;
    } else if (modeNumber == SRV_GSTAB_MODE_PEAK) {
        int result = _handleGainStabilitizationPeak(board, stabilizer);
        if (result != 0) {
            c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__,
                             "_handleGainStabilitizationPeak() failed with error %d", result);
            return result;
        }
    } else if (modeNumber == SRV_GSTAB_MODE_TEMPERATURE) {
        if (SRV_GainStabTemperatureFactor(board, stabilizer) != 0)
            return SRV_ERR_GENERIC;
    } else {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Unsupported stabilization mode: %.0f", mode);
        return UNKNOWN_MODE;
    }
    if (SRV_ApplyGainCorrection(board, stabilizer) != 0) {
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Errors found applying gain correction. ");
        return SRV_ERR_GENERIC;
    }
    return SRV_SUCCESS;
}

int _handleGainStabilitizationPeak(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer) {
    if (board == nullptr || stabilizer == nullptr || stabilizer->spectrum == nullptr ||
        stabilizer->spectrum->channel == nullptr)
        return SRV_ERR_GENERIC;
    const SRVEnergySpectrum_t* spectrum = stabilizer->spectrum;
    uint32_t channel = spectrum->channel->channelNumber;
    if (channel < DPPL_MAX_CHANNELS && stabilizer->roiLow != nullptr && stabilizer->roiHigh != nullptr) {
        const c_ChannelRecord_t* record = &board->digitizer.channels[channel];
        const uint32_t count = record->events == nullptr            ? 0
                               : record->nEvents < record->capacity ? record->nEvents
                                                                    : record->capacity;
        const uint32_t shift = SRV_SpectrumBinShift(spectrum);
        const double low = *stabilizer->roiLow;
        const double high = *stabilizer->roiHigh;
        double* slot = stabilizer->hist[currentSlot(stabilizer)];
        for (uint32_t i = 0; i < count; i++) {
            uint32_t bin = static_cast<uint32_t>(record->events[i].energy) >> shift;
            double at = static_cast<double>(bin);
            if (low <= at && at <= high && bin < SRV_SPECTRUM_MAX_BINS)
                slot[bin] += 1.0;
        }
    }

    int result = SRV_UpdateGainCorrection(stabilizer);
    if (result == SRV_SUCCESS)
        return SRV_SUCCESS;
    if (result == SRV_ERR_LOW_STATISTICS) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__,
                         "Gain correction skipped, collected statistics too low. ");
        return SRV_SUCCESS;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Errors found updating gain correction. ");
    return SRV_ERR_GENERIC;
}

int SRV_UpdateGainCorrection(SRVGainStabilizer_t* stabilizer) {
    if (stabilizer == nullptr || stabilizer->factor == nullptr)
        return SRV_ERR_GENERIC;
    double* work = static_cast<double*>(c_calloc(SRV_SPECTRUM_MAX_BINS, sizeof(double)));
    if (work == nullptr)
        return SRV_ERR_BUFFER;
    int result = SRV_SUCCESS;
    Region region;
    if (!regionOf(stabilizer, &region) ||
        !SRV_GainStabHasStatistics(stabilizer->hist[currentSlot(stabilizer)], region.lo, region.hi)) {
        result = SRV_ERR_LOW_STATISTICS;
    } else if (stabilizer->periodCount < PERIODS) {
        if (stabilizer->periodCount == 0 && stabilizer->referenceSet == 0)
            SRV_GainStabTakeReference(stabilizer);
        stabilizer->periodCount++;
        if (stabilizer->slot < NEWEST_SLOT)
            stabilizer->slot++;
        else
            result = correct(stabilizer, region, work);
    } else {
        result = correct(stabilizer, region, work);
    }
    c_free(work);
    return result;
}

bool SRV_GainStabHasStatistics(const double* histogram, uint32_t lo, uint32_t hi) {
    double sum = 0.0;
    double moment = 0.0;
    return netCounts(histogram, lo, hi, &sum, &moment);
}

bool SRV_GainStabCentroid(const double* histogram, uint32_t lo, uint32_t hi, double* centroid) {
    double sum = 0.0;
    double moment = 0.0;
    bool enough = netCounts(histogram, lo, hi, &sum, &moment);
    if (centroid != nullptr)
        *centroid = sum > 0.0 ? moment / sum : 0.0;
    return enough;
}

int SRV_GainStabTakeReference(SRVGainStabilizer_t* stabilizer) {
    Region region;
    if (stabilizer == nullptr || !regionOf(stabilizer, &region))
        return SRV_ERR_LOW_STATISTICS;
    double centroid = 0.0;
    if (!SRV_GainStabCentroid(stabilizer->hist[0], region.lo, region.hi, &centroid))
        return SRV_ERR_LOW_STATISTICS;
    stabilizer->reference = centroid;
    stabilizer->referenceSet = 1;
    return SRV_SUCCESS;
}

int SRV_GainStabTemperatureFactor(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer) {
    if (board == nullptr || stabilizer == nullptr || stabilizer->factor == nullptr)
        return SRV_ERR_GENERIC;
    double temperature = 0.0;
    double reference = 0.0;
    if (!readBoardValue(board, DPPL_PARAM_TEMP_ADC0, &temperature)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__,
                         "Cannot get ADC0 temperature, cannot apply gain correction.");
        return SRV_ERR_GENERIC;
    }
    if (!readBoardValue(board, DPPL_PARAM_TEMP_ADC0_REF, &reference)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__,
                         "Cannot get ADC0 temperature reference, cannot apply gain correction.");
        return SRV_ERR_GENERIC;
    }
    const double ppmc = stabilizer->ppmc != nullptr ? *stabilizer->ppmc : 0.0;
    *stabilizer->factor = 1.0 - (temperature - reference) * ppmc * 1e-6;
    return SRV_SUCCESS;
}

int SRV_ApplyGainCorrection(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer) {
    if (board == nullptr || stabilizer == nullptr || stabilizer->factor == nullptr)
        return SRV_ERR_RESOURCE;
    const SRVEnergySpectrum_t* spectrum = stabilizer->spectrum;
    SRVParameter_t* factor = channelParameter(board, spectrum, FACTOR_NAME);
    SRVParameter_t* fineGain = channelParameter(board, spectrum, FINE_GAIN_NAME);
    // A failed or impossible write of the factor still sets the fine gain
    // again, and a missing fine gain still lets the factor be written.
    if (factor != nullptr && SRVParameter_SetValue(&board->digitizer, factor, *stabilizer->factor) == 0)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__,
                         "New Fine Gain correction value %f set. ", *stabilizer->factor);
    if (fineGain == nullptr || fineGain->utilParam == nullptr)
        return SRV_ERR_RESOURCE;
    const int result = SRVParameter_SetValue(&board->digitizer, fineGain, fineGain->utilParam->preferred);
    return factor != nullptr ? result : SRV_ERR_RESOURCE;
}
