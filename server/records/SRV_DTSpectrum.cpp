// The time-interval spectrum: binding to its parameters, the pairing of the
// reference channel's events with its partner's, the carried time stamps,
// lookups by index path.
#include "SRV_DTSpectrum.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_IndexPath.h"

static const c_LogModule_t LOG_MODULE = {"SRV_DTSpectrumLog.txt", "SRV_DTSpectrum"};

namespace {

// Differences beyond this many nanoseconds either way can't be binned in
// 64-bit arithmetic; a range that wide leaves every difference unbinned.
const double MAX_HALF_RANGE_NS = 4.0e18;

uint32_t eventCount(const c_ChannelRecord_t& record) {
    if (record.events == nullptr)
        return 0;
    return record.nEvents < record.capacity ? record.nEvents : record.capacity;
}

// How many stamps a carried list really holds: its count, never more than
// its memory.
inline uint32_t carried(uint32_t count, const uint64_t* list) {
    if (count == 0)
        return 0;
    size_t room = c_malloc_size(list) / sizeof(uint64_t);
    return count < room ? count : static_cast<uint32_t>(room);
}

// Carries the time stamps of events first .. first + count - 1 of a channel
// in its list (grown when needed); the carried count is 0 when the list
// can't grow.
uint32_t carry(uint64_t** list, const c_ChannelRecord_t& record, uint32_t first, uint32_t count) {
    if (count == 0)
        return 0;
    if (c_malloc_size(*list) < count * sizeof(uint64_t)) {
        void* grown = c_realloc(*list, count * sizeof(uint64_t));
        if (grown == nullptr) {
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't carry %u deltaT time stamps to the next readout.",
                      count);
            return 0;
        }
        *list = static_cast<uint64_t*>(grown);
    }
    for (uint32_t k = 0; k < count; k++)
        (*list)[k] = record.events[first + k].timeStamp;
    return count;
}

// The end of a readout: the events of the longer channel after the last
// pair are carried to the next readout.
void endReadout(SRVDTSpectrum_t* spectrum, const c_ChannelRecord_t& reference, const c_ChannelRecord_t& partner,
                uint32_t r, uint32_t p) {
    uint32_t R = eventCount(reference);
    uint32_t P = eventCount(partner);
    uint32_t last = (R < P ? R : P) - 1;
    uint32_t Lr = spectrum->leftover[r];
    uint32_t Lp = spectrum->leftover[p];
    if (R > P) {
        uint32_t count = R - P > Lp ? R - P - Lp : 0;
        spectrum->leftover[r] = carry(&spectrum->pendingReference, reference, last + 1, count);
        spectrum->leftover[p] = 0;
    } else if (R < P) {
        uint32_t count = P - R > Lr ? P - R - Lr : 0;
        spectrum->leftover[p] = carry(&spectrum->pendingPartner, partner, last + 1, count);
        spectrum->leftover[r] = 0;
    } else {
        spectrum->leftover[r] = 0;
        spectrum->leftover[p] = 0;
    }
    spectrum->armed = 0;
}

// NBINS truncated, within 0 .. the record's bins.
inline uint32_t binCount(const double* nbins) {
    if (nbins == nullptr || !(*nbins >= 1.0))
        return 0;
    if (*nbins >= SRV_DT_SPECTRUM_MAX_BINS)
        return SRV_DT_SPECTRUM_MAX_BINS;
    return static_cast<uint32_t>(*nbins);
}

// One difference in nanoseconds into the histogram, or into the out-of-range
// count.
inline void histogram(SRVDTSpectrum_t* spectrum, int64_t difference) {
    const double bins = *spectrum->nbins;
    const double step = *spectrum->step;
    const double half = step * bins * 0.5;
    const double d = static_cast<double>(difference);
    const uint32_t usable = binCount(spectrum->nbins);
    // The bin width is the step's integer part; the range uses its exact
    // value. A step below 1 leaves no bin width.
    if (step >= 1.0 && half < MAX_HALF_RANGE_NS && -half < d && d < half) {
        int64_t width = static_cast<int64_t>(step);
        int64_t low = static_cast<int64_t>(std::trunc(-half));
        int64_t bin = difference / width + std::llabs(low / width);
        // A step with a fraction or a bin count beyond the record can give
        // bins past the ones in use: those differences are out of range.
        if (bin >= 0 && bin < static_cast<int64_t>(usable)) {
            spectrum->counts[bin]++;
            spectrum->entries++;
            return;
        }
    }
    spectrum->outOfRange++;
}

// Reads an index path of pairs (index, 16); the last pair counts.
SRVStatus_t findSpectrum(SRVBoard_t* board, const int32_t path[], uint32_t length, SRVDTSpectrum_t** out) {
    int32_t index = -1;
    const SRVPathSlot_t slots[] = {{SRV_OBJ_DT_SPECTRUM, &index}};
    if (!SRV_ReadIndexPath(path, length, slots, 1))
        return SRV_ERR_INVALID_PARAMETER;
    if (!SRV_IsValidDTSpectrum(board, index)) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Invalid deltaT spectrum index '%i'.", index);
        return SRV_ERR_INVALID_PARAMETER;
    }
    *out = &board->dtSpectra[index];
    return SRV_SUCCESS;
}

} // namespace

// ============================================================== binding

// The spectrum's fields and the server parameters they show.
static std::array<SRVValueBinding<const double>, 2> valueBindings(SRVDTSpectrum_t* spectrum) {
    return {{
        {"PARAM_DT_SPECTRUM_NBINS", &spectrum->nbins},
        {"PARAM_DT_SPECTRUM_STEP", &spectrum->step},
    }};
}

void SRV_UnbindDTSpectrum(SRVDTSpectrum_t* spectrum) { SRV_UnbindParameterValues(valueBindings(spectrum)); }

SRVStatus_t SRV_InitDTSpectrum(SRVBoard_t* board, uint32_t index) {
    if (board == nullptr || index >= SRV_MAX_DT_SPECTRA)
        return SRV_ERR_RESOURCE;
    SRVDTSpectrum_t* spectrum = &board->dtSpectra[index];
    if (!SRV_BindParameterValues(board, spectrum->collection, valueBindings(spectrum)))
        return SRV_ERR_RESOURCE;
    spectrum->enabled = 0;
    spectrum->referenceChannel = 0;
    spectrum->entries = 0;
    spectrum->outOfRange = 0;
    // A board opened anew (a run file) finds the lists of the previous one.
    SRV_FreeDTSpectrum(spectrum);
    spectrum->armed = 1;
    return SRV_SUCCESS;
}

void SRV_FreeDTSpectrum(SRVDTSpectrum_t* spectrum) {
    if (spectrum == nullptr)
        return;
    c_free(spectrum->pendingReference);
    c_free(spectrum->pendingPartner);
    spectrum->pendingReference = nullptr;
    spectrum->pendingPartner = nullptr;
    std::memset(spectrum->leftover, 0, sizeof spectrum->leftover);
}

// ================================================================= fill

int SRV_FillDTSpectrum(SRVDTSpectrum_t* spectrum, const c_ChannelRecord_t* channels, uint32_t channelCount,
                       uint32_t i) {
    if (spectrum == nullptr)
        return SRV_DT_NO_RECORD;
    if (spectrum->armed == 0) {
        if (i != 0)
            return 0; // this readout is done
        spectrum->armed = 1;
    }
    if (channels == nullptr || spectrum->nbins == nullptr || spectrum->step == nullptr)
        return 0;
    const uint32_t r = static_cast<uint16_t>(spectrum->referenceChannel);
    const uint32_t p = r == 0 ? 1 : 0;
    uint32_t usable = channelCount < SRV_MAX_CHANNELS ? channelCount : SRV_MAX_CHANNELS;
    if (usable > DPPL_MAX_CHANNELS)
        usable = DPPL_MAX_CHANNELS;
    if (r >= usable || p >= usable)
        return 0;

    const c_ChannelRecord_t& reference = channels[r];
    const c_ChannelRecord_t& partner = channels[p];
    const uint32_t R = eventCount(reference);
    const uint32_t P = eventCount(partner);
    // A readout in which the partner delivered nothing pairs nothing; the
    // stamps carried so far wait for the next one.
    if (P == 0 || i >= R)
        return 0;
    // The pair at min(R, P) - 1 ends the readout without being histogrammed
    // (also reached when the events before it were skipped).
    if (i + 1 >= (R < P ? R : P)) {
        endReadout(spectrum, reference, partner, r, p);
        return 0;
    }

    const uint32_t Lr = carried(spectrum->leftover[r], spectrum->pendingReference);
    const uint32_t Lp = carried(spectrum->leftover[p], spectrum->pendingPartner);
    uint64_t a = i < Lr ? spectrum->pendingReference[i] : reference.events[i - Lr].timeStamp;
    uint64_t b = i < Lp ? spectrum->pendingPartner[i] : partner.events[i - Lp].timeStamp;
    histogram(spectrum, static_cast<int64_t>(a - b) / 1000);
    return 0;
}

void SRV_ClearDTSpectrum(SRVDTSpectrum_t* spectrum) {
    if (spectrum == nullptr)
        return;
    std::memset(spectrum->counts, 0, sizeof spectrum->counts);
    spectrum->entries = 0;
    spectrum->outOfRange = 0;
    std::memset(spectrum->leftover, 0, sizeof spectrum->leftover);
}

void SRV_SetDTReferenceChannel(SRVDTSpectrum_t* spectrum, uint32_t channel) {
    if (spectrum == nullptr || spectrum->referenceChannel == channel)
        return;
    // The carried stamps belong to the old pair of channels.
    std::memset(spectrum->leftover, 0, sizeof spectrum->leftover);
    spectrum->referenceChannel = channel;
}

uint32_t SRV_DTBinCount(const SRVDTSpectrum_t* spectrum) { return spectrum != nullptr ? binCount(spectrum->nbins) : 0; }

// ============================================================== lookup

SRVStatus_t SRV_GetDTSpectrum(SRVBoard_t* board, const int32_t path[], uint32_t pathLength, SRVDTSpectrum_t** out) {
    if (board == nullptr || out == nullptr)
        return SRV_ERR_INVALID_PARAMETER;
    return findSpectrum(board, path, pathLength, out);
}
