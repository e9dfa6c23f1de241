/*
 * SRVParameters: build, lookups and free of the server parameter tree.
 */
#include "SRVParameters.h"
#include "SRVRequest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SRV_DTSpectrum.h"
#include "SRV_GainStabilizer.h"
#include "SRV_MCS.h"
#include "SRV_Spectra.h"

namespace {

/* The tree shares the common server log with the board open that builds it;
 * the module's own log takes what the build adds about bounded counts. */
const c_LogModule_t kTreeLog = {"SRV_CommonLog.txt", "SRV_Common"};
const c_LogModule_t kLog = {"SRVParametersLog.txt", "SRVParameters"};

constexpr size_t kQuerySize = 512;
constexpr uint32_t kWaveformSamples = 131072;

/* The category element names, in the slot order of the global levels. */
const char* const kCategoryNames[SRV_LEVEL_COUNT] = {
    "SRVBoardParameters",          "SRVChannelParameters",        "SRVLVDSGroupParameters",
    "SRVVirtualTraceParameters",   "SRVHVChannelParameters",      "SRVHVRangeParameters",
    "SRVEnergySpectrumParameters", "SRVMCSSpectrumParameters",    "SRVDTSpectrumParameters",
    "SRVROIParameters",            "SRVMonOutParameters",
};

uint32_t bounded(uint64_t reported, uint32_t capacity) { return reported < capacity ? (uint32_t)reported : capacity; }

constexpr uint32_t minOf(uint32_t a, uint32_t b) { return a < b ? a : b; }

bool indexBelow(int32_t index, uint32_t count) { return index >= 0 && (uint32_t)index < count; }

SRVParameter_t* retrieve(const c_ParamCollection_t* collection, int32_t code) {
    return reinterpret_cast<SRVParameter_t*>(_pretrieve(collection, code));
}

/* ---------------------------------------------------------- code range */

/* The highest or the lowest "code" among the definitions of a category. */
bool categoryCodeBound(const char* category, bool highest, int32_t* code) {
    const char* format =
        highest ? "/ServerDefinitions/ServerParameters/%s/*[not(@code < preceding-sibling::*/@code) and "
                  "not(@code < following-sibling::*/@code)]"
                : "/ServerDefinitions/ServerParameters/%s/*[not(@code > preceding-sibling::*/@code) and "
                  "not(@code > following-sibling::*/@code)]";
    char query[kQuerySize];
    c_xml_nodeset_t* nodes = nullptr;
    if (c_xml_snprintf(query, sizeof query, format, category) >= 0 && SRV_Globals != nullptr) {
        nodes = c_xml_getnodeset(SRV_Globals->serverDefinitions, query);
    }
    bool found = false;
    if (nodes != nullptr && nodes->count > 0) {
        const char* text = c_xml_getattributevalue(nodes->nodes[0], "code", 0);
        char* end = nullptr;
        long value = text != nullptr ? std::strtol(text, &end, 0) : 0;
        if (text != nullptr && end != text && value >= INT32_MIN && value <= INT32_MAX) {
            *code = (int32_t)value;
            found = true;
        }
    }
    c_xml_freenodeset(nodes);
    if (!found) {
        c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__, highest ? "Can't get %s with maximum code."
                                                            : "Can't get %s with minimum code.",
                  category);
    }
    return found;
}

/* ------------------------------------------------------ last waveform */

void freeWaveform(c_Waveform_t** waveform) {
    if (*waveform == nullptr) return;
    for (c_Trace_t& trace : (*waveform)->traces) c_free(trace.samples);
    c_free(*waveform);
    *waveform = nullptr;
}

/* The channel's copy of its last waveform: analog slots of 16-bit samples,
 * digital slots of one byte a sample. NULL when any allocation fails. */
c_Waveform_t* allocWaveform() {
    c_Waveform_t* waveform = (c_Waveform_t*)c_calloc(1, sizeof(c_Waveform_t));
    if (waveform == nullptr) return nullptr;
    for (int slot = 0; slot < DPPL_TRACE_SLOTS; ++slot) {
        size_t sampleSize = slot < DPPL_ANALOG_TRACES ? sizeof(int16_t) : sizeof(uint8_t);
        c_Trace_t& trace = waveform->traces[slot];
        trace.samples = c_calloc(kWaveformSamples, sampleSize);
        if (trace.samples == nullptr) {
            freeWaveform(&waveform);
            return nullptr;
        }
        trace.probe = 0;
        trace.capacity = kWaveformSamples;
    }
    return waveform;
}

/* --------------------------------------------------------------- build */

/* One pass of the build: the board record, the ServerParams.xml document and
 * the index vector that every object writes its index into. */
struct Builder {
    SRVBoard_t* board;
    xmlDocPtr paramsDoc;
    uint32_t index[SRV_PARAM_INDEX_SLOTS];

    c_Digitizer_t* dig() { return &board->digitizer; }

    int32_t level(int slot) const { return SRV_Globals->levels[slot]; }

    /* Writes the object's index into its category's slot and builds its
     * collection; NULL after logging `failure`. */
    c_ParamCollection_t* create(int slot, uint32_t objectIndex, const char* failure) {
        index[level(slot)] = objectIndex;
        c_ParamCollection_t* collection =
            SRV_CreateParameterCollection(board, paramsDoc, kCategoryNames[slot], index, level(slot));
        if (collection == nullptr) fail(failure);
        return collection;
    }

    void fail(const char* message) { c_extendedLogMsg(&kTreeLog, dig(), C_LOG_ERROR, __LINE__, "%s", message); }

    bool failStatus(const char* format, SRVStatus_t status) {
        c_extendedLogMsg(&kTreeLog, dig(), C_LOG_ERROR, __LINE__, format, status);
        return false;
    }

    bool buildSpectrum(uint32_t ch, uint32_t es) {
        SRVChannel_t& channel = board->channels[ch];
        SRVEnergySpectrum_t& spectrum = channel.energySpectra[es];
        spectrum.collection = create(SRV_LEVEL_ENERGY_SPECTRUM, es, "Can't create server Energy Spectrum parameters.");
        if (spectrum.collection == nullptr) return false;
        if (SRVStatus_t status = SRV_InitEnergySpectrum(board, ch, es); status != 0) {
            return failStatus("Can't initialize server energy spectra (%hi).", status);
        }
        if (SRVStatus_t status = SRV_InitGainStabilizer(board, &spectrum); status != 0) {
            return failStatus("Can't initialize server gain stabilizer (%hi).", status);
        }
        spectrum.roiCount = SRV_MAX_ROIS;
        for (uint32_t r = 0; r < spectrum.roiCount; ++r) {
            spectrum.rois[r].collection = create(SRV_LEVEL_ROI, r, "Can't create server ROI parameters.");
            if (spectrum.rois[r].collection == nullptr) return false;
            if (SRVStatus_t status = SRV_InitROI(board, ch, es, r); status != 0) {
                return failStatus("Can't initialize server ROI (%hi).", status);
            }
        }
        return true;
    }

    bool buildChannel(uint32_t ch) {
        SRVChannel_t& channel = board->channels[ch];
        channel.channelNumber = ch;
        channel.collection = create(SRV_LEVEL_CHANNEL, ch, "Can't create server channels parameters.");
        if (channel.collection == nullptr) return false;
        channel.waveform = allocWaveform();
        if (channel.waveform == nullptr) {
            fail("Can't initialize server channel last waveform structure.");
            return false;
        }
        channel.energySpectrumCount = SRV_MAX_ENERGY_SPECTRA;
        for (uint32_t es = 0; es < channel.energySpectrumCount; ++es) {
            if (!buildSpectrum(ch, es)) return false;
        }
        channel.mcsSpectrumCount = SRV_IsMCSSupported(board, (int32_t)ch) ? SRV_MAX_MCS_SPECTRA : 0;
        for (uint32_t m = 0; m < channel.mcsSpectrumCount; ++m) {
            channel.mcsSpectra[m].collection =
                create(SRV_LEVEL_MCS_SPECTRUM, m, "Can't create server MCS Spectrum parameters.");
            if (channel.mcsSpectra[m].collection == nullptr) return false;
            if (SRVStatus_t status = SRV_InitMCSSpectrum(board, ch, m); status != 0) {
                return failStatus("Can't initialize server MCS spectra (%hi).", status);
            }
        }
        return true;
    }

    bool buildDTSpectra() {
        board->dtSpectrumCount = SRV_MAX_DT_SPECTRA;
        for (uint32_t d = 0; d < board->dtSpectrumCount; ++d) {
            board->dtSpectra[d].collection = create(SRV_LEVEL_DT_SPECTRUM, d, "Can't create Delta T Spectrum parameters.");
            if (board->dtSpectra[d].collection == nullptr) return false;
            if (SRVStatus_t status = SRV_InitDTSpectrum(board, d); status != 0) {
                return failStatus("Can't initialize server Delta T spectra (%hi).", status);
            }
        }
        return true;
    }

    bool buildHVChannel(uint32_t h) {
        SRVHVBlock_t& block = board->hv[h];
        block.collection = create(SRV_LEVEL_HV_CHANNEL, h, "Can't create server HV channels parameters.");
        if (block.collection == nullptr) return false;
        uint32_t ranges = SRV_HVRangeCount(board, h);
        for (uint32_t r = 0; r < ranges; ++r) {
            block.ranges[r].collection = create(SRV_LEVEL_HV_RANGE, r, "Can't create server HV Range parameters.");
            if (block.ranges[r].collection == nullptr) return false;
            block.ranges[r].range = &board->digitizer.hv[h].ranges[r];
        }
        block.rangeCount = ranges;
        return true;
    }

    /* Builds the collections of every object of one board-wide kind. */
    bool buildEach(int slot, uint32_t count, c_ParamCollection_t** collections, const char* failure) {
        for (uint32_t i = 0; i < count; ++i) {
            collections[i] = create(slot, i, failure);
            if (collections[i] == nullptr) return false;
        }
        return true;
    }

    /* Notes every count of the board that the board record cannot hold. */
    void noteBoundedCounts() {
        const c_BoardDescriptor_t& d = board->digitizer.descriptor;
        struct {
            const char* what;
            uint64_t reported;
            uint32_t served;
        } counts[] = {
            {"channels", d.NumChannels, SRV_ChannelCount(board)},
            {"LVDS groups", d.LVDSGroups, SRV_LVDSGroupCount(board)},
            {"virtual traces", (uint64_t)d.AnalogVTraces + d.DigitalVTraces, SRV_VirtualTraceCount(board)},
            {"HV channels", d.HVChannels, SRV_HVChannelCount(board)},
            {"monitor outputs", d.MonOuts, SRV_MonOutCount(board)},
        };
        for (const auto& count : counts) {
            if (count.reported > count.served) {
                c_extendedLogMsg(&kLog, dig(), C_LOG_WARNING, __LINE__,
                                 "Board reports %llu %s; the server serves %u of them.",
                                 (unsigned long long)count.reported, count.what, count.served);
            }
        }
        for (uint32_t h = 0; h < SRV_HVChannelCount(board); ++h) {
            uint32_t reported = board->digitizer.hv[h].rangeCount;
            if (reported > SRV_HVRangeCount(board, h)) {
                c_extendedLogMsg(&kLog, dig(), C_LOG_WARNING, __LINE__,
                                 "HV channel %u reports %u ranges; the server serves %u of them.", h, reported,
                                 SRV_HVRangeCount(board, h));
            }
        }
    }

    bool build() {
        for (uint32_t& slot : index) slot = SRV_PARAM_NO_INDEX;
        noteBoundedCounts();
        board->collection = create(SRV_LEVEL_BOARD, 0, "Can't create server board parameters.");
        if (board->collection == nullptr) return false;
        for (uint32_t ch = 0; ch < SRV_ChannelCount(board); ++ch) {
            if (!buildChannel(ch)) return false;
        }
        if (!buildDTSpectra()) return false;
        if (!buildEach(SRV_LEVEL_LVDS_GROUP, SRV_LVDSGroupCount(board), board->lvdsGroups,
                       "Can't create server LVDS Group parameters.")) {
            return false;
        }
        if (!buildEach(SRV_LEVEL_VIRTUAL_TRACE, SRV_VirtualTraceCount(board), board->virtualTraces,
                       "Can't create server Virtual Trace parameters.")) {
            return false;
        }
        for (uint32_t h = 0; h < SRV_HVChannelCount(board); ++h) {
            if (!buildHVChannel(h)) return false;
        }
        return buildEach(SRV_LEVEL_MON_OUT, SRV_MonOutCount(board), board->monOuts,
                         "Can't create server Monitor Output parameters.");
    }
};

/* Every category level must name a slot of the four-slot index vector. */
bool levelsFit(const SRVBoard_t* board) {
    for (int slot = 0; slot < SRV_LEVEL_COUNT; ++slot) {
        int32_t level = SRV_Globals->levels[slot];
        if (level < 0 || level >= SRV_PARAM_INDEX_SLOTS) {
            c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__,
                             "Index level %i of category '%s' doesn't fit the index vector.", level,
                             kCategoryNames[slot]);
            return false;
        }
    }
    return true;
}

/* "$(MORVANESERVERDIR)/ServerParams.xml", with the built-in folder when the
 * variable is unset or empty; freed by the caller. */
char* serverParamsPath() {
    char* folder = c_getExpandedString("$(MORVANESERVERDIR)");
    if (folder == nullptr) return nullptr;
    const char* base = folder[0] != '\0' ? folder : MORVANE_DEFAULT_SERVER_DIR;
    static const char kFileName[] = "/ServerParams.xml";
    size_t size = std::strlen(base) + sizeof kFileName;
    char* path = (char*)c_malloc(size);
    if (path != nullptr && c_xml_snprintf(path, size, "%s%s", base, kFileName) < 0) {
        c_free(path);
        path = nullptr;
    }
    c_free(folder);
    return path;
}

/* ---------------------------------------------------------------- free */

/* Clears what the set-up modules bound into the tree, so that no record
 * keeps pointing into freed parameters. */
void unbindChannel(SRVChannel_t& channel) {
    for (SRVEnergySpectrum_t& spectrum : channel.energySpectra) {
        spectrum.nbins = nullptr;
        spectrum.uld = nullptr;
        spectrum.lld = nullptr;
        for (SRVROI_t& roi : spectrum.rois) {
            roi.high = nullptr;
            roi.low = nullptr;
        }
        SRVGainStabilizer_t& stabilizer = spectrum.gainStabilizer;
        stabilizer.roiLow = nullptr;
        stabilizer.roiHigh = nullptr;
        stabilizer.factor = nullptr;
        stabilizer.interval = nullptr;
        stabilizer.mode = nullptr;
        stabilizer.ppmc = nullptr;
    }
    for (SRVMCSSpectrum_t& mcs : channel.mcsSpectra) {
        mcs.mcsChannels = nullptr;
        mcs.dwellTime = nullptr;
        mcs.swDwellEnable = nullptr;
        mcs.hwDwellEnable = nullptr;
        mcs.swSweepEnable = nullptr;
        mcs.hwSweepEnable = nullptr;
        mcs.presetPasses = nullptr;
        mcs.mode = nullptr;
        mcs.acqMode = nullptr;
    }
}

void freeCollection(c_ParamCollection_t** collection) {
    SRV_FreeParameterCollection(*collection);
    *collection = nullptr;
}

void freeChannel(SRVChannel_t& channel) {
    freeWaveform(&channel.waveform);
    for (SRVEnergySpectrum_t& spectrum : channel.energySpectra) {
        freeCollection(&spectrum.collection);
        for (SRVROI_t& roi : spectrum.rois) freeCollection(&roi.collection);
        spectrum.roiCount = 0;
    }
    for (SRVMCSSpectrum_t& mcs : channel.mcsSpectra) freeCollection(&mcs.collection);
    SRVListSave_t& list = channel.listSave;
    c_free(list.timeTags);
    list.timeTags = nullptr;
    c_free(list.energies);
    list.energies = nullptr;
    c_free(list.flags);
    list.flags = nullptr;
    freeCollection(&channel.collection);
    unbindChannel(channel);
    channel.energySpectrumCount = 0;
    channel.mcsSpectrumCount = 0;
}

}  // namespace

/* --------------------------------------------------------------- counts */

uint32_t SRV_ChannelCount(const SRVBoard_t* board) {
    if (board == nullptr) return 0;
    return bounded(board->digitizer.descriptor.NumChannels, minOf(SRV_MAX_CHANNELS, DPPL_MAX_CHANNELS));
}

uint32_t SRV_LVDSGroupCount(const SRVBoard_t* board) {
    if (board == nullptr) return 0;
    return bounded(board->digitizer.descriptor.LVDSGroups, minOf(SRV_MAX_LVDS_GROUPS, DPPL_MAX_LVDS_GROUPS));
}

uint32_t SRV_VirtualTraceCount(const SRVBoard_t* board) {
    if (board == nullptr) return 0;
    const c_BoardDescriptor_t& d = board->digitizer.descriptor;
    return bounded((uint64_t)d.AnalogVTraces + d.DigitalVTraces, minOf(SRV_MAX_VIRTUAL_TRACES, DPPL_MAX_VTRACES));
}

uint32_t SRV_HVChannelCount(const SRVBoard_t* board) {
    if (board == nullptr) return 0;
    return bounded(board->digitizer.descriptor.HVChannels, minOf(SRV_MAX_HV_CHANNELS, DPPL_MAX_HV_CHANNELS));
}

uint32_t SRV_HVRangeCount(const SRVBoard_t* board, uint32_t hvChannel) {
    if (hvChannel >= SRV_HVChannelCount(board)) return 0;
    return bounded(board->digitizer.hv[hvChannel].rangeCount, minOf(SRV_MAX_HV_RANGES, DPPL_MAX_HV_RANGES));
}

uint32_t SRV_MonOutCount(const SRVBoard_t* board) {
    if (board == nullptr) return 0;
    return bounded(board->digitizer.descriptor.MonOuts, minOf(SRV_MAX_MON_OUTS, DPPL_MAX_MONOUTS));
}

/* --------------------------------------------------------------- build */

SRVStatus_t SRV_InitServerParameters(SRVBoard_t* board) {
    if (board == nullptr || SRV_Globals == nullptr) {
        c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__, "Can't build server parameters without a board record.");
        return SRV_ERR_SERVER_PARAMETERS;
    }
    if (!levelsFit(board)) return SRV_ERR_SERVER_PARAMETERS;
    char* path = serverParamsPath();
    if (path == nullptr) {
        c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't expand path '%s.'",
                         "$(MORVANESERVERDIR)/ServerParams.xml");
        return SRV_ERR_SERVER_PARAMETERS;
    }
    xmlDocPtr paramsDoc = c_xml_newfile(path);
    if (paramsDoc == nullptr) {
        c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Invalid XML document '%s'.", path);
        c_free(path);
        return SRV_ERR_SERVER_PARAMETERS;
    }
    bool built = false;
    if (_map_init(&board->parameterIndexes, SRV_PARAMETER_INDEXES_SLOTS) != 0) {
        c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Can't initialize parameter indexes map.");
    } else {
        Builder builder{board, paramsDoc, {}};
        built = builder.build();
    }
    c_xml_freedoc(paramsDoc);
    c_free(path);
    if (!built) {
        SRV_FreeServerParameters(board);
        return SRV_ERR_SERVER_PARAMETERS;
    }
    return SRV_SUCCESS;
}

c_ParamCollection_t* SRV_CreateParameterCollection(SRVBoard_t* board, xmlDocPtr paramsDoc, const char* category,
                                                   const uint32_t* indexVector, int32_t level) {
    if (board == nullptr || category == nullptr) return nullptr;
    int32_t highest = 0;
    int32_t lowest = 0;
    if (!categoryCodeBound(category, true, &highest) || !categoryCodeBound(category, false, &lowest)) return nullptr;
    int64_t size = (int64_t)highest - lowest + 1;
    if (size <= 0 || size > INT32_MAX) {
        c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__, "Invalid code range [%i:%i] of %s.", lowest, highest, category);
        return nullptr;
    }
    c_ParamCollection_t* collection = _pcnew((int32_t)size, lowest);
    if (collection == nullptr) return nullptr;

    char query[kQuerySize];
    c_xml_nodeset_t* nodes = nullptr;
    if (c_xml_snprintf(query, sizeof query, "/ServerParameters/%s/Parameter", category) >= 0) {
        nodes = c_xml_getnodeset(paramsDoc, query);
    }
    if (nodes == nullptr) {
        c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't get %s nodes.", category);
        return collection;
    }
    for (int i = 0; i < nodes->count; ++i) {
        xmlNodePtr node = nodes->nodes[i];
        SRVParameter_t* param = SRVParameter_Create(&board->digitizer, node, indexVector, level);
        if (param == nullptr) {
            const char* codename = c_xml_getattributevalue(node, "codename", 0);
            c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_INFO, __LINE__,
                             "Digitizer does not support parameter '%s'.",
                             codename != nullptr ? codename : (const char*)node->name);
            continue;
        }
        const char* failure = nullptr;
        if (_map_set(&board->parameterIndexes, param->codename, &param->code, sizeof param->code) != 0) {
            failure = "Can't insert server parameter '%s' into parameter indexes map. Unknown error.";
        } else if (_pcinsert(collection, reinterpret_cast<c_Parameter_t*>(param), param->code) != 0) {
            failure = "Can't insert server parameter '%s' into collection. Unknown error.";
        }
        if (failure != nullptr) {
            /* The category fails as a whole: a collection missing one of its
             * parameters would hide the fault from every later lookup. */
            c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__, failure, param->name);
            SRVParameter_Free(param);
            SRV_FreeParameterCollection(collection);
            c_xml_freenodeset(nodes);
            return nullptr;
        }
    }
    c_xml_freenodeset(nodes);
    return collection;
}

/* ---------------------------------------------------------------- free */

void SRV_FreeParameterCollection(c_ParamCollection_t* collection) {
    if (collection == nullptr) return;
    for (int64_t code = collection->firstCode; code <= collection->lastCode; ++code) {
        SRVParameter_Free(retrieve(collection, (int32_t)code));
    }
    _pcfree(collection);
}

void SRV_FreeServerParameters(SRVBoard_t* board) {
    if (board == nullptr) return;
    /* Every slot of the board record's arrays, whatever the counts say: a
     * build that failed half-way, or a digitizer record that changed its
     * counts since, leaves nothing behind. */
    for (SRVChannel_t& channel : board->channels) freeChannel(channel);
    for (SRVDTSpectrum_t& spectrum : board->dtSpectra) {
        SRV_FreeDTSpectrum(&spectrum);
        freeCollection(&spectrum.collection);
        spectrum.nbins = nullptr;
        spectrum.step = nullptr;
    }
    board->dtSpectrumCount = 0;
    for (SRVHVBlock_t& block : board->hv) {
        for (SRVHVRangeSlot_t& range : block.ranges) {
            freeCollection(&range.collection);
            range.range = nullptr;
        }
        block.rangeCount = 0;
        freeCollection(&block.collection);
    }
    for (c_ParamCollection_t*& collection : board->lvdsGroups) freeCollection(&collection);
    for (c_ParamCollection_t*& collection : board->virtualTraces) freeCollection(&collection);
    for (c_ParamCollection_t*& collection : board->monOuts) freeCollection(&collection);
    freeCollection(&board->collection);
    _map_deinit(&board->parameterIndexes);
}

/* -------------------------------------------------------------- lookups */

int SRV_GetParameterCode(SRVBoard_t* board, const char* codename, int32_t* code) {
    if (board == nullptr || codename == nullptr || code == nullptr) return -1;
    const int32_t* stored = (const int32_t*)_map_get(&board->parameterIndexes, codename);
    if (stored == nullptr) return -1;
    *code = *stored;
    return 0;
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

bool SRV_IsValidMonOut(const SRVBoard_t* board, int32_t monOut) {
    return indexBelow(monOut, SRV_MonOutCount(board));
}

bool SRV_IsValidDTSpectrum(const SRVBoard_t* board, int32_t spectrum) {
    return board != nullptr && indexBelow(spectrum, bounded(board->dtSpectrumCount, SRV_MAX_DT_SPECTRA));
}

bool SRV_IsValidEnergySpectrum(const SRVBoard_t* board, int32_t channel, int32_t spectrum) {
    if (!SRV_IsValidChannel(board, channel)) return false;
    return indexBelow(spectrum, bounded(board->channels[channel].energySpectrumCount, SRV_MAX_ENERGY_SPECTRA));
}

bool SRV_IsValidMCSSpectrum(const SRVBoard_t* board, int32_t channel, int32_t spectrum) {
    if (!SRV_IsValidChannel(board, channel)) return false;
    return indexBelow(spectrum, bounded(board->channels[channel].mcsSpectrumCount, SRV_MAX_MCS_SPECTRA));
}

bool SRV_IsValidHVRange(const SRVBoard_t* board, int32_t hvChannel, int32_t range) {
    if (!SRV_IsValidHVChannel(board, hvChannel)) return false;
    return indexBelow(range, SRV_HVRangeCount(board, (uint32_t)hvChannel));
}

bool SRV_IsValidROI(const SRVBoard_t* board, int32_t channel, int32_t spectrum, int32_t roi) {
    if (!SRV_IsValidEnergySpectrum(board, channel, spectrum)) return false;
    const SRVEnergySpectrum_t& es = board->channels[channel].energySpectra[spectrum];
    return indexBelow(roi, bounded(es.roiCount, SRV_MAX_ROIS));
}

bool SRV_IsMCSSupported(SRVBoard_t* board, int32_t channel) {
    if (!SRV_IsValidChannel(board, channel)) return false;
    return c_pfindc(&board->digitizer, channel, DPPL_PARAM_CH_MCS_CHANNELS) != nullptr;
}

namespace {

/* The common shape of the getters: a NULL board, then the index test with
 * its message, then the collection's slot. */
bool boardGiven(const SRVBoard_t* board, int32_t code) {
    if (board != nullptr) return true;
    c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__, "NULL digitizer pointer. Can't find parameter '%i'.", code);
    return false;
}

bool indexValid(const SRVBoard_t* board, bool valid, const char* format, int32_t index, int32_t code) {
    if (!valid) c_extendedLogMsg(&kTreeLog, &board->digitizer, C_LOG_ERROR, __LINE__, format, index, code);
    return valid;
}

/* A getter of an indexed object: isValid() tests the index once the board is
 * there, collectionOf() gives the object's collection once it passed. */
template <class IsValid, class CollectionOf>
SRVParameter_t* indexedParameter(SRVBoard_t* board, int32_t code, IsValid isValid, const char* format, int32_t index,
                                 CollectionOf collectionOf) {
    if (!boardGiven(board, code)) return nullptr;
    if (!indexValid(board, isValid(), format, index, code)) return nullptr;
    return retrieve(collectionOf(), code);
}

}  // namespace

SRVParameter_t* SRV_GetBoardParameter(SRVBoard_t* board, int32_t code) {
    if (!boardGiven(board, code)) return nullptr;
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
        "Invalid LVDS Group '%i'. Can't find parameter '%i'.", group,
        [&] { return board->lvdsGroups[group]; });
}

SRVParameter_t* SRV_GetVirtualTraceParameter(SRVBoard_t* board, int32_t trace, int32_t code) {
    return indexedParameter(
        board, code, [&] { return SRV_IsValidVirtualTrace(board, trace); },
        "Invalid Virtual Trace '%i'. Can't find parameter '%i'.", trace,
        [&] { return board->virtualTraces[trace]; });
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
        "Invalid Monitor Output '%i'. Can't find parameter '%i'.", monOut,
        [&] { return board->monOuts[monOut]; });
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

/* =====================================================================
 * Parameter commands: the lookup of a parameter from the index path of a
 * request, the value table of a parameter (values, value code names and
 * descriptions), its information record, and the handlers of commands 13,
 * 14, 15 (set, get, describe), 39, 40 (channel auto-set) and 53 (sample
 * advance).
 * ===================================================================== */

namespace parameter_commands {
namespace {

const c_LogModule_t kCommandLog = {"SRVParametersLog.txt", "SRVParameters"};

const char kComplexCodename[] = "NOT DEFINED";
const char kComplexDescription[] = "Not defined.";
const char kRangeCodename[] = "Range parameter.";
/* A range parameter describes its value as "%.3f" in at most this many
 * characters. */
constexpr size_t kRangeDescriptionMax = 46;

/* Data-mask bits of commands 13 and 14. */
constexpr uint64_t kSetValue = 0x1;
constexpr uint64_t kSetCodename = 0x2;
constexpr uint64_t kSetKnown = kSetValue | kSetCodename;
constexpr uint64_t kGetValue = 0x1;
constexpr uint64_t kGetCodename = 0x2;
constexpr uint64_t kGetDescription = 0x4;
constexpr uint64_t kGetKnown = kGetValue | kGetCodename | kGetDescription;
/* Data-mask bits 0 to 13 of command 15. */
constexpr int kInfoBits = 14;
constexpr uint64_t kInfoKnown = (1ull << kInfoBits) - 1;
/* cmdMaskIn bits 0 to 2 of commands 39 and 40: one option word each, giving
 * the library's mode bits 0x2, 0x4 and 0x8. */
constexpr int kAutoSetOptions = 3;
constexpr uint64_t kAutoSetKnown = (1ull << kAutoSetOptions) - 1;

/* The object indexes of an index path; every type keeps the last index
 * given, -1 when none was. */
struct ObjectAddress {
    int32_t channel = -1;
    int32_t hvChannel = -1;
    int32_t hvRange = -1;
    int32_t lvdsGroup = -1;
    int32_t virtualTrace = -1;
    int32_t code = -1;
    int32_t energySpectrum = -1;
    int32_t mcsSpectrum = -1;
    int32_t roi = -1;
    int32_t monOut = -1;
    int32_t dtSpectrum = -1;
};

/* Reads the (index, type) pairs; a trailing lone element is ignored. False
 * for a type that addresses no parameter's owner. */
bool readAddress(const int32_t* path, uint32_t length, ObjectAddress* address) {
    const SRVPathSlot_t slots[] = {
        {SRV_OBJ_CHANNEL, &address->channel},
        {SRV_OBJ_HV_CHANNEL, &address->hvChannel},
        {SRV_OBJ_HV_RANGE, &address->hvRange},
        {SRV_OBJ_LVDS_GROUP, &address->lvdsGroup},
        {SRV_OBJ_VIRTUAL_TRACE, &address->virtualTrace},
        {SRV_OBJ_PARAMETER, &address->code},
        {SRV_OBJ_ENERGY_SPECTRUM, &address->energySpectrum},
        {SRV_OBJ_MCS_SPECTRUM, &address->mcsSpectrum},
        {SRV_OBJ_ROI, &address->roi},
        {SRV_OBJ_MON_OUT, &address->monOut},
        {SRV_OBJ_DT_SPECTRUM, &address->dtSpectrum},
    };
    return SRV_ReadIndexPath(path, length, slots, sizeof slots / sizeof slots[0]);
}

/* The collection of the first object of each category, in the order in
 * which a code is looked for, with the object type of the category. */
struct CategoryProbe {
    int32_t objectType;
    const c_ParamCollection_t* collection;
};

constexpr int kCategoryCount = 11;

void categoryProbes(const SRVBoard_t* board, CategoryProbe probes[kCategoryCount]) {
    const SRVChannel_t& channel = board->channels[0];
    const SRVEnergySpectrum_t& spectrum = channel.energySpectra[0];
    const CategoryProbe table[kCategoryCount] = {
        {SRV_OBJ_BOARD, board->collection},
        {SRV_OBJ_CHANNEL, channel.collection},
        {SRV_OBJ_HV_CHANNEL, board->hv[0].collection},
        {SRV_OBJ_HV_RANGE, board->hv[0].ranges[0].collection},
        {SRV_OBJ_ENERGY_SPECTRUM, spectrum.collection},
        {SRV_OBJ_ROI, spectrum.rois[0].collection},
        {SRV_OBJ_MCS_SPECTRUM, channel.mcsSpectra[0].collection},
        {SRV_OBJ_LVDS_GROUP, board->lvdsGroups[0]},
        {SRV_OBJ_VIRTUAL_TRACE, board->virtualTraces[0]},
        {SRV_OBJ_MON_OUT, board->monOuts[0]},
        {SRV_OBJ_DT_SPECTRUM, board->dtSpectra[0].collection},
    };
    for (int i = 0; i < kCategoryCount; ++i) probes[i] = table[i];
}

SRVParameter_t* parameterOf(SRVBoard_t* board, int32_t objectType, const ObjectAddress& a) {
    switch (objectType) {
    case SRV_OBJ_BOARD: return SRV_GetBoardParameter(board, a.code);
    case SRV_OBJ_CHANNEL: return SRV_GetChannelParameter(board, a.channel, a.code);
    case SRV_OBJ_HV_CHANNEL: return SRV_GetHVChannelParameter(board, a.hvChannel, a.code);
    case SRV_OBJ_HV_RANGE: return SRV_GetHVRangeParameter(board, a.hvChannel, a.hvRange, a.code);
    case SRV_OBJ_ENERGY_SPECTRUM: return SRV_GetEnergySpectrumParameter(board, a.channel, a.energySpectrum, a.code);
    case SRV_OBJ_ROI: return SRV_GetROIParameter(board, a.channel, a.energySpectrum, a.roi, a.code);
    case SRV_OBJ_MCS_SPECTRUM: return SRV_GetMCSSpectrumParameter(board, a.channel, a.mcsSpectrum, a.code);
    case SRV_OBJ_LVDS_GROUP: return SRV_GetLVDSGroupParameter(board, a.lvdsGroup, a.code);
    case SRV_OBJ_VIRTUAL_TRACE: return SRV_GetVirtualTraceParameter(board, a.virtualTrace, a.code);
    case SRV_OBJ_MON_OUT: return SRV_GetMonOutParameter(board, a.monOut, a.code);
    case SRV_OBJ_DT_SPECTRUM: return SRV_GetDTSpectrumParameter(board, a.dtSpectrum, a.code);
    default: return nullptr;
    }
}

/* ------------------------------------------------------ value table */

/* One entry of a parameter's value table. */
struct ValueEntry {
    double value;
    const char* codename;
    const char* description;
};

/* Calls visit(entry) for each entry of the value table in order, until it
 * returns true; the number of entries visited. A range parameter has no
 * table. */
template <class Visit> uint32_t visitValues(const SRVParameter_t* param, Visit visit) {
    uint32_t visited = 0;
    int32_t kind = SRVParameters_GetKind(param);
    if (kind != C_PARAM_TYPE_LIST) return 0;
    if (param->type == SRV_PARAM_TYPE_COMPLEX) {
        const List_t* list = param->paramValueList;
        for (const List_t* node = list != nullptr ? list->first : nullptr; node != nullptr; node = node->next) {
            const SRVParamValue_t* value = (const SRVParamValue_t*)node->data;
            if (value == nullptr) continue;
            ++visited;
            if (visit(ValueEntry{value->code, kComplexCodename, kComplexDescription})) break;
        }
        return visited;
    }
    const c_Parameter_t* p = param->utilParam;
    uint32_t count = p->count < C_PARAM_MAX_VALUES ? p->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < count; ++i) {
        ++visited;
        if (visit(ValueEntry{p->values[i].value, p->values[i].codename, p->values[i].name})) break;
    }
    return visited;
}

/* Copies text behind what out already holds, within its 48 bytes. */
void appendText(char out[SRV_PARAM_TEXT_SIZE], const char* text, size_t limit = SRV_PARAM_TEXT_SIZE - 1) {
    size_t used = strnlen(out, SRV_PARAM_TEXT_SIZE - 1);
    size_t room = limit > used ? limit - used : 0;
    std::snprintf(out + used, room + 1, "%.*s", (int)room, text);
}

/* The table entry whose value equals value exactly; false when none. */
bool findEntry(const SRVParameter_t* param, double value, ValueEntry* found) {
    bool matched = false;
    visitValues(param, [&](const ValueEntry& entry) {
        if (entry.value != value) return false;
        *found = entry;
        matched = true;
        return true;
    });
    return matched;
}

/* ----------------------------------------------------- request helpers */

/* Reads the data mask and the index path of commands 13 to 15 and looks the
 * parameter up; false with the status when the request can't be taken. */
bool readParameterRequest(SRVBoard_t* board, SRVRequest* request, uint64_t* dataMask, SRVParameter_t** param,
                          SRVStatus_t* status) {
    int32_t path[SRV_INDEX_PATH_MAX];
    uint32_t length = 0;
    if (!request->maskAndPath(dataMask, path, &length)) {
        *status = request->status();
        return false;
    }
    *status = (SRVStatus_t)SRVParameters_FindByCode(board, path, length, param);
    return *status == SRV_SUCCESS;
}

/* The channel of a channel signal, checked against the board before it
 * reaches the library; -33 after "Channel '%i' not found.". */
SRVStatus_t checkSignalChannel(const SRVBoard_t* board, int32_t channel) {
    if (SRV_IsValidChannel(board, channel)) return SRV_SUCCESS;
    c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Channel '%i' not found.", channel);
    return SRV_ERR_UNSUPPORTED;
}

/* ------------------------------------------------------- command 15 */

/* Appends the command-15 fields of the set bits, in bit order. */
void appendInfoFields(SRVReply* reply, uint64_t dataMask, const SRVParameterInfo_t& info) {
    for (int bit = 0; bit < kInfoBits; ++bit) {
        if ((dataMask & (1ull << bit)) == 0) continue;
        switch (bit) {
        case 0: reply->text(info.name, SRV_PARAM_TEXT_SIZE); break;
        case 1: reply->text(info.codename, SRV_PARAM_TEXT_SIZE); break;
        case 2: reply->u32(info.flags); break;
        case 3: reply->text(info.unitSymbol, SRV_PARAM_TEXT_SIZE); break;
        case 4: reply->text(info.unitBase, SRV_PARAM_TEXT_SIZE); break;
        case 5: reply->i32(info.unitPower); break;
        case 6: reply->i32(info.kind); break;
        case 7: reply->f64(info.min); break;
        case 8: reply->f64(info.max); break;
        case 9: reply->f64(info.step); break;
        case 10: reply->u32(info.count); break;
        case 11: reply->f64(info.values, info.count); break;
        case 12:
            reply->u32(info.count);
            reply->text(&info.valueCodenames[0][0], info.count * SRV_PARAM_TEXT_SIZE);
            break;
        case 13:
            reply->u32(info.count);
            reply->text(&info.valueDescriptions[0][0], info.count * SRV_PARAM_TEXT_SIZE);
            break;
        }
    }
}

/* The end of the signal commands 39, 40 and 54 under the board lock: the
 * header and status, or -33 for any cmdMaskOut bit. Releases the lock. */
void* finishSignal(SRVBoard_t* board, SRVCommand_t command, uint64_t maskOut, SRVStatus_t result, uint32_t* replySize,
                   SRVStatus_t* status) {
    SRVReply reply(command);
    if (result == SRV_SUCCESS && !reply.ok()) result = SRV_ERR_SERIALIZE;
    if (result == SRV_SUCCESS && maskOut != 0) {
        SRV_LogUnsupportedMask(&kCommandLog, board, "cmdMaskOut", maskOut, maskOut);
        result = SRV_ERR_UNSUPPORTED;
    }
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

/* ------------------------------------------------ commands 39 and 40 */

enum class AutoSet { Start, Stop };

void* autoSet(AutoSet action, SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
              uint32_t* replySize, SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t maskIn = 0;
    uint64_t maskOut = 0;
    int32_t channel = 0;
    if (request.u64(&maskIn) && request.u64(&maskOut)) request.i32(&channel);
    uint32_t mode = 0;
    for (int option = 0; option < kAutoSetOptions && request.ok(); ++option) {
        if ((maskIn & (1ull << option)) == 0) continue;
        uint32_t word = 0;
        if (request.u32(&word) && word != 0) mode |= 0x2u << option;
    }
    if (!request.ok()) {
        *status = request.status();
        return nullptr;
    }
    if ((maskIn & ~kAutoSetKnown) != 0) {
        SRV_LogUnsupportedMask(&kCommandLog, board, "cmdMaskIn", maskIn, maskIn & ~kAutoSetKnown);
        *status = SRV_ERR_UNSUPPORTED;
        return nullptr;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS) return nullptr;
    SRVStatus_t result = checkSignalChannel(board, channel);
    if (result == SRV_SUCCESS) {
        bool starting = action == AutoSet::Start;
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_INFO, __LINE__,
                         starting ? "Starting parameter auto-set for channel %u."
                                  : "Stopping parameter auto-set for channel %u.",
                         (unsigned)channel);
        int signalled = starting ? c_cautosetstart(&board->digitizer, channel, mode)
                                 : c_cautosetstop(&board->digitizer, (uint32_t)channel, mode);
        if (signalled != 0) {
            c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__,
                             starting ? "DPPLayer error (%i) starting auto-set." : "DPPLayer error (%i) stopping auto-set.",
                             signalled);
            result = SRV_ERR_LIBRARY;
        }
    }
    return finishSignal(board, command, maskOut, result, replySize, status);
}

}  // namespace
}  // namespace parameter_commands

using namespace parameter_commands;

/* --------------------------------------------------------------- lookup */

int32_t SRVParameters_GetParameterType(SRVBoard_t* board, int32_t code) {
    if (board != nullptr) {
        CategoryProbe probes[kCategoryCount];
        categoryProbes(board, probes);
        for (const CategoryProbe& probe : probes) {
            const c_ParamCollection_t* c = probe.collection;
            if (c != nullptr && code >= c->firstCode && code <= c->lastCode) return probe.objectType;
        }
    }
    c_lprintf(&kCommandLog, C_LOG_ERROR, __LINE__, "Parameter type for id '%i' not found.", code);
    return SRV_OBJ_PARAMETER;
}

int SRVParameters_FindByCode(SRVBoard_t* board, const int32_t* path, uint32_t length, SRVParameter_t** out) {
    if (out != nullptr) *out = nullptr;
    if (board == nullptr || out == nullptr || (path == nullptr && length != 0)) return SRV_ERR_INVALID_PARAMETER;
    ObjectAddress address;
    if (!readAddress(path, length, &address)) return SRV_ERR_INVALID_PARAMETER;
    int32_t objectType = SRVParameters_GetParameterType(board, address.code);
    SRVParameter_t* param = objectType != SRV_OBJ_PARAMETER ? parameterOf(board, objectType, address) : nullptr;
    if (param == nullptr) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_WARNING, __LINE__,
                         "Can't find parameter with code '%i'.", address.code);
        return SRV_ERR_INVALID_PARAMETER;
    }
    *out = param;
    return SRV_SUCCESS;
}

/* ---------------------------------------------------- values and kinds */

int32_t SRVParameters_GetKind(const SRVParameter_t* param) {
    if (param == nullptr) return -1;
    switch (param->type) {
    case SRV_PARAM_TYPE_COMPLEX: return C_PARAM_TYPE_LIST;
    case SRV_PARAM_TYPE_SIMPLE:
    case SRV_PARAM_TYPE_SERVER_ONLY: {
        const c_Parameter_t* p = param->utilParam;
        if (p == nullptr || (p->type != C_PARAM_TYPE_RANGE && p->type != C_PARAM_TYPE_LIST)) return -1;
        return p->type;
    }
    default: return -1;
    }
}

uint32_t SRVParameters_GetValuesList(const SRVParameter_t* param, double* values,
                                     char (*codenames)[SRV_PARAM_TEXT_SIZE], char (*descriptions)[SRV_PARAM_TEXT_SIZE],
                                     uint32_t capacity) {
    uint32_t filled = 0;
    uint32_t total = visitValues(param, [&](const ValueEntry& entry) {
        if (filled < capacity) {
            if (values != nullptr) values[filled] = entry.value;
            if (codenames != nullptr) std::snprintf(codenames[filled], SRV_PARAM_TEXT_SIZE, "%s", entry.codename);
            if (descriptions != nullptr) std::snprintf(descriptions[filled], SRV_PARAM_TEXT_SIZE, "%s", entry.description);
            ++filled;
        }
        return false;
    });
    return total;
}

int SRVParameters_GetValueFromCodename(const SRVParameter_t* param, const char* codename, double* value) {
    if (param == nullptr || codename == nullptr || value == nullptr) return SRV_ERR_RESOURCE;
    if (SRVParameters_GetKind(param) != C_PARAM_TYPE_LIST) return SRV_ERR_PARAMETER_VALUE;
    bool matched = false;
    visitValues(param, [&](const ValueEntry& entry) {
        if (std::strncmp(entry.codename, codename, SRV_PARAM_TEXT_SIZE) != 0) return false;
        *value = entry.value;
        matched = true;
        return true;
    });
    if (!matched) {
        c_lprintf(&kCommandLog, C_LOG_ERROR, __LINE__, "Value codename '%.*s' not found for parameter '%s'.",
                  (int)(SRV_PARAM_TEXT_SIZE - 1), codename, param->name);
        return SRV_ERR_INVALID_PARAMETER;
    }
    return SRV_SUCCESS;
}

int SRVParameters_GetValueCodename(const SRVParameter_t* param, double value, char codename[SRV_PARAM_TEXT_SIZE]) {
    if (param == nullptr || codename == nullptr) return SRV_ERR_RESOURCE;
    if (SRVParameters_GetKind(param) == C_PARAM_TYPE_RANGE) {
        appendText(codename, kRangeCodename);
        return SRV_SUCCESS;
    }
    ValueEntry entry;
    if (!findEntry(param, value, &entry)) return SRV_ERR_PARAMETER_VALUE;
    appendText(codename, entry.codename);
    return SRV_SUCCESS;
}

int SRVParameters_GetValueDescription(const SRVParameter_t* param, double value,
                                      char description[SRV_PARAM_TEXT_SIZE]) {
    if (param == nullptr || description == nullptr) return SRV_ERR_RESOURCE;
    if (SRVParameters_GetKind(param) == C_PARAM_TYPE_RANGE) {
        char number[SRV_PARAM_TEXT_SIZE];
        std::snprintf(number, sizeof number, "%.3f", value);
        appendText(description, number, kRangeDescriptionMax);
        return SRV_SUCCESS;
    }
    ValueEntry entry;
    if (!findEntry(param, value, &entry)) return SRV_ERR_PARAMETER_VALUE;
    appendText(description, entry.description);
    return SRV_SUCCESS;
}

/* ------------------------------------------------------- information */

int SRVParameters_GetInfo(c_Digitizer_t* dig, const SRVParameter_t* param, SRVParameterInfo_t* info) {
    if (param == nullptr || info == nullptr) return SRV_ERR_GENERIC;
    std::memset(info, 0, sizeof *info);
    info->kind = SRVParameters_GetKind(param);
    if (info->kind == -1) {
        c_extendedLogMsg(&kCommandLog, dig, C_LOG_ERROR, __LINE__,
                         "Can't get infos for parameter %s. Invalid parameter format.", param->name);
        return SRV_ERR_GENERIC;
    }
    const c_Parameter_t* p = param->utilParam;
    if (param->type != SRV_PARAM_TYPE_COMPLEX && p != nullptr) {
        std::snprintf(info->unitSymbol, sizeof info->unitSymbol, "%s", p->unitSymbol);
        std::snprintf(info->unitBase, sizeof info->unitBase, "%s", p->unitBase);
        std::snprintf(info->unitName, sizeof info->unitName, "%s", p->unitName);
        info->unitPower = p->unitPower;
        uint8_t readOnly = c_getAccessTypeCode("READONLY");
        uint8_t readWrite = c_getAccessTypeCode("READWRITE");
        uint8_t writeOnly = c_getAccessTypeCode("WRITEONLY");
        auto is = [&](uint8_t code) { return code != 0xFF && p->accesstype == code; };
        if (p->acqon) info->flags |= 0x1;
        if (p->hvconfig) info->flags |= 0x2;
        if (p->hvon) info->flags |= 0x4;
        if (is(readOnly) || is(readWrite)) info->flags |= 0x8;
        if (is(writeOnly) || is(readWrite)) info->flags |= 0x10;
    }
    if (info->kind == C_PARAM_TYPE_LIST) {
        info->valueCategory = param->valueCategory;
        uint32_t total = SRVParameters_GetValuesList(param, info->values, info->valueCodenames, info->valueDescriptions,
                                                     SRV_PARAM_INFO_MAX_VALUES);
        info->count = total < SRV_PARAM_INFO_MAX_VALUES ? total : SRV_PARAM_INFO_MAX_VALUES;
        if (total > SRV_PARAM_INFO_MAX_VALUES) {
            c_extendedLogMsg(&kCommandLog, dig, C_LOG_WARNING, __LINE__,
                             "Parameter '%s' has %u values; only the first %u are described.", param->name, total,
                             (unsigned)SRV_PARAM_INFO_MAX_VALUES);
        }
    } else if (p != nullptr) {
        info->min = p->min;
        info->max = p->max;
        info->step = p->incr;
    }
    std::snprintf(info->name, sizeof info->name, "%s", param->name);
    std::snprintf(info->codename, sizeof info->codename, "%s", param->codename);
    return SRV_SUCCESS;
}

/* ---------------------------------------------------- command handlers */

void* SRV_CmdSetParameter(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status) {
    uint64_t dataMask = 0;
    SRVParameter_t* param = nullptr;
    SRVRequest request(payload, payloadSize);
    if (!readParameterRequest(board, &request, &dataMask, &param, status)) return nullptr;
    double value = 0;
    bool complete = (dataMask & kSetValue) == 0 || request.f64(&value);
    if (complete && (dataMask & kSetCodename) != 0) {
        char codename[SRV_PARAM_TEXT_SIZE];
        // A codename the parameter does not know is refused like a missing field.
        complete = request.text(codename, sizeof codename) &&
                   SRVParameters_GetValueFromCodename(param, codename, &value) == 0;
    }
    if (!complete) {
        *status = SRV_ERR_DESERIALIZE;
        return nullptr;
    }
    if ((dataMask & ~kSetKnown) != 0) {
        SRV_LogUnsupportedMask(&kCommandLog, board, "dataMask", dataMask, dataMask & ~kSetKnown);
        *status = SRV_ERR_UNSUPPORTED;
        return nullptr;
    }
    if ((dataMask & kSetKnown) == 0) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_WARNING, __LINE__, "No value provided.");
        *status = SRV_ERR_UNSUPPORTED;
        return nullptr;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS) return nullptr;
    SRVReply reply(command);
    SRVStatus_t result = SRV_SUCCESS;
    if (SRVParameter_SetValue(&board->digitizer, param, value) != 0) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Error setting parameter '%s'.",
                         param->name);
        result = SRV_ERR_PARAMETER_VALUE;
    } else if (!reply.ok()) {
        result = SRV_ERR_SERIALIZE;
    }
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

void* SRV_CmdGetParameter(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status) {
    uint64_t dataMask = 0;
    SRVParameter_t* param = nullptr;
    SRVRequest request(payload, payloadSize);
    if (!readParameterRequest(board, &request, &dataMask, &param, status)) return nullptr;
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS) return nullptr;
    double value = 0;
    if (SRVParameter_GetValue(&board->digitizer, param, &value) != 0) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Error getting parameter '%s'.",
                         param->name);
        *status = SRV_UnlockBoardInto(board, SRV_ERR_PARAMETER_VALUE);
        return nullptr;
    }
    SRVReply reply(command);
    if ((dataMask & kGetValue) != 0) reply.f64(value);
    for (uint64_t bit : {kGetCodename, kGetDescription}) {
        if (!reply.ok() || (dataMask & bit) == 0) continue;
        char text[SRV_PARAM_TEXT_SIZE] = {};
        int found = bit == kGetCodename ? SRVParameters_GetValueCodename(param, value, text)
                                        : SRVParameters_GetValueDescription(param, value, text);
        if (found != 0) {
            c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_WARNING, __LINE__,
                             "Value '%f' not found for parameter '%s'.", value, param->name);
            *status = SRV_UnlockBoardInto(board, SRV_ERR_PARAMETER_VALUE);
            return nullptr;
        }
        reply.text(text, sizeof text);
    }
    return SRV_FinishGetReply(&reply, &kCommandLog, board, dataMask, kGetKnown, SRV_SUCCESS, replySize, status);
}

void* SRV_CmdGetParameterInfo(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                              uint32_t* replySize, SRVStatus_t* status) {
    uint64_t dataMask = 0;
    SRVParameter_t* param = nullptr;
    SRVRequest request(payload, payloadSize);
    if (!readParameterRequest(board, &request, &dataMask, &param, status)) return nullptr;
    /* The record is large (two tables of 20 texts): keep it off the stack. */
    SRVParameterInfo_t* info = (SRVParameterInfo_t*)c_malloc(sizeof(SRVParameterInfo_t));
    if (info == nullptr) {
        *status = SRV_ERR_RESOURCE;
        return nullptr;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS) {
        c_free(info);
        return nullptr;
    }
    SRVReply reply(command);
    SRVStatus_t result = (SRVStatus_t)SRVParameters_GetInfo(&board->digitizer, param, info);
    if (result == SRV_SUCCESS) appendInfoFields(&reply, dataMask, *info);
    c_free(info);
    return SRV_FinishGetReply(&reply, &kCommandLog, board, dataMask, kInfoKnown, result, replySize, status);
}

void* SRV_CmdStartAutoSet(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status) {
    return autoSet(AutoSet::Start, board, command, payload, payloadSize, replySize, status);
}

void* SRV_CmdStopAutoSet(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                         uint32_t* replySize, SRVStatus_t* status) {
    return autoSet(AutoSet::Stop, board, command, payload, payloadSize, replySize, status);
}

void* SRV_CmdSampleAdvance(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                           uint32_t* replySize, SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t maskIn = 0;
    uint64_t maskOut = 0;
    int32_t channel = 0;
    if (!request.u64(&maskIn) || !request.u64(&maskOut) || !request.i32(&channel)) {
        *status = request.status();
        return nullptr;
    }
    if (maskIn != 0) {
        SRV_LogUnsupportedMask(&kCommandLog, board, "cmdMaskIn", maskIn, maskIn);
        *status = SRV_ERR_UNSUPPORTED;
        return nullptr;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS) return nullptr;
    SRVStatus_t result = checkSignalChannel(board, channel);
    if (result == SRV_SUCCESS) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_INFO, __LINE__,
                         "Generating Sample Advance signal for channel %u.", (unsigned)channel);
        int signalled = c_csampleadvance(&board->digitizer, channel);
        if (signalled != 0) {
            c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__,
                             "DPPLayer error (%i) generating sample advance signal.", signalled);
            result = SRV_ERR_LIBRARY;
        }
    }
    return finishSignal(board, command, maskOut, result, replySize, status);
}
