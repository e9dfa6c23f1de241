/*
 * SRVParameters: the server parameter tree of the open board: counts of its
 * objects, validity of object indexes, and lookups by code name and by
 * object and code.
 */
#include "SRVParameters.h"

namespace {

/* The lookups share the common server log with the board open that builds
 * the tree. */
const c_LogModule_t kTreeLog = {"SRV_CommonLog.txt", "SRV_Common"};

uint32_t bounded(uint64_t reported, uint32_t capacity) { return reported < capacity ? (uint32_t)reported : capacity; }

constexpr uint32_t minOf(uint32_t a, uint32_t b) { return a < b ? a : b; }

bool indexBelow(int32_t index, uint32_t count) { return index >= 0 && (uint32_t)index < count; }

SRVParameter_t* retrieve(const c_ParamCollection_t* collection, int32_t code) {
    return reinterpret_cast<SRVParameter_t*>(_pretrieve(collection, code));
}

} // namespace

/* --------------------------------------------------------------- counts */

uint32_t SRV_ChannelCount(const SRVBoard_t* board) {
    if (board == nullptr)
        return 0;
    return bounded(board->digitizer.descriptor.NumChannels, minOf(SRV_MAX_CHANNELS, DPPL_MAX_CHANNELS));
}

uint32_t SRV_LVDSGroupCount(const SRVBoard_t* board) {
    if (board == nullptr)
        return 0;
    return bounded(board->digitizer.descriptor.LVDSGroups, minOf(SRV_MAX_LVDS_GROUPS, DPPL_MAX_LVDS_GROUPS));
}

uint32_t SRV_VirtualTraceCount(const SRVBoard_t* board) {
    if (board == nullptr)
        return 0;
    const c_BoardDescriptor_t& d = board->digitizer.descriptor;
    return bounded((uint64_t)d.AnalogVTraces + d.DigitalVTraces, minOf(SRV_MAX_VIRTUAL_TRACES, DPPL_MAX_VTRACES));
}

uint32_t SRV_HVChannelCount(const SRVBoard_t* board) {
    if (board == nullptr)
        return 0;
    return bounded(board->digitizer.descriptor.HVChannels, minOf(SRV_MAX_HV_CHANNELS, DPPL_MAX_HV_CHANNELS));
}

uint32_t SRV_HVRangeCount(const SRVBoard_t* board, uint32_t hvChannel) {
    if (hvChannel >= SRV_HVChannelCount(board))
        return 0;
    return bounded(board->digitizer.hv[hvChannel].rangeCount, minOf(SRV_MAX_HV_RANGES, DPPL_MAX_HV_RANGES));
}

uint32_t SRV_MonOutCount(const SRVBoard_t* board) {
    if (board == nullptr)
        return 0;
    return bounded(board->digitizer.descriptor.MonOuts, minOf(SRV_MAX_MON_OUTS, DPPL_MAX_MONOUTS));
}

/* -------------------------------------------------------------- lookups */

int SRV_GetParameterCode(SRVBoard_t* board, const char* codename, int32_t* code) {
    if (board == nullptr || codename == nullptr || code == nullptr)
        return -1;
    const int32_t* stored = (const int32_t*)_map_get(&board->parameterIndexes, codename);
    if (stored == nullptr)
        return -1;
    *code = *stored;
    return 0;
}

SRVParameter_t* SRV_FindParameter(SRVBoard_t* board, const c_ParamCollection_t* collection, const char* codename) {
    int32_t code = 0;
    if (collection == nullptr || SRV_GetParameterCode(board, codename, &code) != 0)
        return nullptr;
    return retrieve(collection, code);
}

bool SRV_IsValidChannel(const SRVBoard_t* board, int32_t channel) {
    return indexBelow(channel, SRV_ChannelCount(board));
}

bool SRV_IsValidLVDSGroup(const SRVBoard_t* board, int32_t group) {
    return indexBelow(group, SRV_LVDSGroupCount(board));
}

bool SRV_IsValidVirtualTrace(const SRVBoard_t* board, int32_t trace) {
    return indexBelow(trace, SRV_VirtualTraceCount(board));
}

bool SRV_IsValidHVChannel(const SRVBoard_t* board, int32_t hvChannel) {
    return indexBelow(hvChannel, SRV_HVChannelCount(board));
}

bool SRV_IsValidMonOut(const SRVBoard_t* board, int32_t monOut) { return indexBelow(monOut, SRV_MonOutCount(board)); }

bool SRV_IsValidDTSpectrum(const SRVBoard_t* board, int32_t spectrum) {
    return board != nullptr && indexBelow(spectrum, bounded(board->dtSpectrumCount, SRV_MAX_DT_SPECTRA));
}

bool SRV_IsValidEnergySpectrum(const SRVBoard_t* board, int32_t channel, int32_t spectrum) {
    if (!SRV_IsValidChannel(board, channel))
        return false;
    return indexBelow(spectrum, bounded(board->channels[channel].energySpectrumCount, SRV_MAX_ENERGY_SPECTRA));
}

bool SRV_IsValidMCSSpectrum(const SRVBoard_t* board, int32_t channel, int32_t spectrum) {
    if (!SRV_IsValidChannel(board, channel))
        return false;
    return indexBelow(spectrum, bounded(board->channels[channel].mcsSpectrumCount, SRV_MAX_MCS_SPECTRA));
}

bool SRV_IsValidHVRange(const SRVBoard_t* board, int32_t hvChannel, int32_t range) {
    if (!SRV_IsValidHVChannel(board, hvChannel))
        return false;
    return indexBelow(range, SRV_HVRangeCount(board, (uint32_t)hvChannel));
}

bool SRV_IsValidROI(const SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t roi) {
    if (!SRV_IsValidEnergySpectrum(board, channel, spectrum))
        return false;
    const SRVEnergySpectrum_t& es = board->channels[channel].energySpectra[spectrum];
    return indexBelow(roi, bounded(es.roiCount, SRV_MAX_ROIS));
}

bool SRV_IsMCSSupported(SRVBoard_t* board, int32_t channel) {
    if (!SRV_IsValidChannel(board, channel))
        return false;
    return c_pfindc(&board->digitizer, channel, DPPL_PARAM_CH_MCS_CHANNELS) != nullptr;
}

namespace {

/* The common shape of the getters: a NULL board, then the index test with
 * its message, then the collection's slot. */
bool boardGiven(const SRVBoard_t* board, int32_t code) {
    if (board != nullptr)
        return true;
    c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__, "NULL digitizer pointer. Can't find parameter '%i'.", code);
    return false;
}

bool indexValid(const SRVBoard_t* board, bool valid, const char* format, int32_t index, int32_t code) {
    if (!valid)
        c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__, format, index, code);
    return valid;
}

/* A getter of an indexed object: isValid() tests the index once the board is
 * there, collectionOf() gives the object's collection once it passed. */
template <class IsValid, class CollectionOf>
SRVParameter_t* indexedParameter(SRVBoard_t* board, int32_t code, IsValid isValid, const char* format, int32_t index,
                                 CollectionOf collectionOf) {
    if (!boardGiven(board, code))
        return nullptr;
    if (!indexValid(board, isValid(), format, index, code))
        return nullptr;
    return retrieve(collectionOf(), code);
}

} // namespace

SRVParameter_t* SRV_GetBoardParameter(SRVBoard_t* board, int32_t code) {
    if (!boardGiven(board, code))
        return nullptr;
    return retrieve(board->collection, code);
}

SRVParameter_t* SRV_GetChannelParameter(SRVBoard_t* board, int32_t channel, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidChannel(board, channel); },
        "Invalid channel '%i'. Can't find parameter '%i'.", channel,
        [&] { return board->channels[channel].collection; });
}

SRVParameter_t* SRV_GetLVDSGroupParameter(SRVBoard_t* board, int32_t group, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidLVDSGroup(board, group); },
        "Invalid LVDS Group '%i'. Can't find parameter '%i'.", group, [&] { return board->lvdsGroups[group]; });
}

SRVParameter_t* SRV_GetVirtualTraceParameter(SRVBoard_t* board, int32_t trace, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidVirtualTrace(board, trace); },
        "Invalid Virtual Trace '%i'. Can't find parameter '%i'.", trace, [&] { return board->virtualTraces[trace]; });
}

SRVParameter_t* SRV_GetHVChannelParameter(SRVBoard_t* board, int32_t hvChannel, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidHVChannel(board, hvChannel); },
        "Invalid HV channel '%i'. Can't find parameter '%i'.", hvChannel,
        [&] { return board->hv[hvChannel].collection; });
}

SRVParameter_t* SRV_GetMonOutParameter(SRVBoard_t* board, int32_t monOut, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidMonOut(board, monOut); },
        "Invalid Monitor Output '%i'. Can't find parameter '%i'.", monOut, [&] { return board->monOuts[monOut]; });
}

SRVParameter_t* SRV_GetDTSpectrumParameter(SRVBoard_t* board, int32_t spectrum, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidDTSpectrum(board, spectrum); },
        "Invalid DT Spectrum '%i'. Can't find parameter '%i'.", spectrum,
        [&] { return board->dtSpectra[spectrum].collection; });
}

SRVParameter_t* SRV_GetEnergySpectrumParameter(SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidEnergySpectrum(board, channel, spectrum); },
        "Invalid Energy Spectrum '%i'. Can't find parameter '%i'.", spectrum,
        [&] { return board->channels[channel].energySpectra[spectrum].collection; });
}

SRVParameter_t* SRV_GetMCSSpectrumParameter(SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidMCSSpectrum(board, channel, spectrum); },
        "Invalid MCS Spectrum '%i'. Can't find parameter '%i'.", spectrum,
        [&] { return board->channels[channel].mcsSpectra[spectrum].collection; });
}

SRVParameter_t* SRV_GetHVRangeParameter(SRVBoard_t* board, int32_t hvChannel, int32_t range, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidHVRange(board, hvChannel, range); },
        "Invalid HV range '%i'. Can't find parameter '%i'.", range,
        [&] { return board->hv[hvChannel].ranges[range].collection; });
}

SRVParameter_t* SRV_GetROIParameter(SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t roi, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidROI(board, channel, spectrum, roi); },
        "Invalid ROI '%i'. Can't find parameter '%i'.", roi,
        [&] { return board->channels[channel].energySpectra[spectrum].rois[roi].collection; });
}
