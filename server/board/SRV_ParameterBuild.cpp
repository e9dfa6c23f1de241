/*
 * SRV_ParameterBuild: build and free of the server parameter tree of the
 * open board, and the binding of the spectra, ROIs, gain stabilisers, MCS
 * and time-interval spectra to the parameters of their collections.
 */
#include "SRV_ParameterBuild.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_DTSpectrum.h"
#include "SRV_GainStabilizer.h"
#include "SRV_Globals.h"
#include "SRV_List.h"
#include "SRV_MCS.h"
#include "SRV_Spectra.h"
#include "SRV_Waveforms.h"

namespace {

/* The tree shares the common server log with the board open that builds it;
 * the module's own log takes what the build adds about bounded counts. */
const c_LogModule_t kTreeLog = {"SRV_CommonLog.txt", "SRV_Common"};
const c_LogModule_t kLog = {"SRVParametersLog.txt", "SRVParameters"};

constexpr size_t kQuerySize = 512;

/* The category element names, in the slot order of the global levels. */
const char* const kCategoryNames[SRV_LEVEL_COUNT] = {
    "SRVBoardParameters",      "SRVChannelParameters", "SRVLVDSGroupParameters",      "SRVVirtualTraceParameters",
    "SRVHVChannelParameters",  "SRVHVRangeParameters", "SRVEnergySpectrumParameters", "SRVMCSSpectrumParameters",
    "SRVDTSpectrumParameters", "SRVROIParameters",     "SRVMonOutParameters",
};

/* ---------------------------------------------------------- code range */

/* The highest or the lowest "code" among the definitions of a category. */
bool categoryCodeBound(const char* category, bool highest, int32_t* code) {
    const char* format = highest
                             ? "/ServerDefinitions/ServerParameters/%s/*[not(@code < preceding-sibling::*/@code) and "
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
        c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__,
                  highest ? "Can't get %s with maximum code." : "Can't get %s with minimum code.", category);
    }
    return found;
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
        if (collection == nullptr)
            fail(failure);
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
        if (spectrum.collection == nullptr)
            return false;
        if (SRVStatus_t status = SRV_InitEnergySpectrum(board, ch, es); status != 0) {
            return failStatus("Can't initialize server energy spectra (%hi).", status);
        }
        if (SRVStatus_t status = SRV_InitGainStabilizer(board, &spectrum); status != 0) {
            return failStatus("Can't initialize server gain stabilizer (%hi).", status);
        }
        spectrum.roiCount = SRV_MAX_ROIS;
        for (uint32_t r = 0; r < spectrum.roiCount; ++r) {
            spectrum.rois[r].collection = create(SRV_LEVEL_ROI, r, "Can't create server ROI parameters.");
            if (spectrum.rois[r].collection == nullptr)
                return false;
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
        if (channel.collection == nullptr)
            return false;
        channel.waveform = SRV_AllocWaveform();
        if (channel.waveform == nullptr) {
            fail("Can't initialize server channel last waveform structure.");
            return false;
        }
        channel.energySpectrumCount = SRV_MAX_ENERGY_SPECTRA;
        for (uint32_t es = 0; es < channel.energySpectrumCount; ++es) {
            if (!buildSpectrum(ch, es))
                return false;
        }
        channel.mcsSpectrumCount = SRV_IsMCSSupported(board, (int32_t)ch) ? SRV_MAX_MCS_SPECTRA : 0;
        for (uint32_t m = 0; m < channel.mcsSpectrumCount; ++m) {
            channel.mcsSpectra[m].collection =
                create(SRV_LEVEL_MCS_SPECTRUM, m, "Can't create server MCS Spectrum parameters.");
            if (channel.mcsSpectra[m].collection == nullptr)
                return false;
            if (SRVStatus_t status = SRV_InitMCSSpectrum(board, ch, m); status != 0) {
                return failStatus("Can't initialize server MCS spectra (%hi).", status);
            }
        }
        return true;
    }

    bool buildDTSpectra() {
        board->dtSpectrumCount = SRV_MAX_DT_SPECTRA;
        for (uint32_t d = 0; d < board->dtSpectrumCount; ++d) {
            board->dtSpectra[d].collection =
                create(SRV_LEVEL_DT_SPECTRUM, d, "Can't create Delta T Spectrum parameters.");
            if (board->dtSpectra[d].collection == nullptr)
                return false;
            if (SRVStatus_t status = SRV_InitDTSpectrum(board, d); status != 0) {
                return failStatus("Can't initialize server Delta T spectra (%hi).", status);
            }
        }
        return true;
    }

    bool buildHVChannel(uint32_t h) {
        SRVHVBlock_t& block = board->hv[h];
        block.collection = create(SRV_LEVEL_HV_CHANNEL, h, "Can't create server HV channels parameters.");
        if (block.collection == nullptr)
            return false;
        uint32_t ranges = SRV_HVRangeCount(board, h);
        for (uint32_t r = 0; r < ranges; ++r) {
            block.ranges[r].collection = create(SRV_LEVEL_HV_RANGE, r, "Can't create server HV Range parameters.");
            if (block.ranges[r].collection == nullptr)
                return false;
            block.ranges[r].range = &board->digitizer.hv[h].ranges[r];
        }
        block.rangeCount = ranges;
        return true;
    }

    /* Builds the collections of every object of one board-wide kind. */
    bool buildEach(int slot, uint32_t count, c_ParamCollection_t** collections, const char* failure) {
        for (uint32_t i = 0; i < count; ++i) {
            collections[i] = create(slot, i, failure);
            if (collections[i] == nullptr)
                return false;
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
        for (uint32_t& slot : index)
            slot = SRV_PARAM_NO_INDEX;
        noteBoundedCounts();
        board->collection = create(SRV_LEVEL_BOARD, 0, "Can't create server board parameters.");
        if (board->collection == nullptr)
            return false;
        for (uint32_t ch = 0; ch < SRV_ChannelCount(board); ++ch) {
            if (!buildChannel(ch))
                return false;
        }
        if (!buildDTSpectra())
            return false;
        if (!buildEach(SRV_LEVEL_LVDS_GROUP, SRV_LVDSGroupCount(board), board->lvdsGroups,
                       "Can't create server LVDS Group parameters.")) {
            return false;
        }
        if (!buildEach(SRV_LEVEL_VIRTUAL_TRACE, SRV_VirtualTraceCount(board), board->virtualTraces,
                       "Can't create server Virtual Trace parameters.")) {
            return false;
        }
        for (uint32_t h = 0; h < SRV_HVChannelCount(board); ++h) {
            if (!buildHVChannel(h))
                return false;
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
    if (folder == nullptr)
        return nullptr;
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
    for (SRVEnergySpectrum_t& spectrum : channel.energySpectra)
        SRV_UnbindEnergySpectrum(&spectrum);
    for (SRVMCSSpectrum_t& mcs : channel.mcsSpectra)
        SRV_UnbindMCSSpectrum(&mcs);
}

void freeCollection(c_ParamCollection_t** collection) {
    SRV_FreeParameterCollection(*collection);
    *collection = nullptr;
}

void freeChannel(SRVChannel_t& channel) {
    SRV_FreeWaveform(channel.waveform);
    channel.waveform = nullptr;
    for (SRVEnergySpectrum_t& spectrum : channel.energySpectra) {
        freeCollection(&spectrum.collection);
        for (SRVROI_t& roi : spectrum.rois)
            freeCollection(&roi.collection);
        spectrum.roiCount = 0;
    }
    for (SRVMCSSpectrum_t& mcs : channel.mcsSpectra)
        freeCollection(&mcs.collection);
    freeCollection(&channel.collection);
    unbindChannel(channel);
    channel.energySpectrumCount = 0;
    channel.mcsSpectrumCount = 0;
}

} // namespace

/* --------------------------------------------------------------- build */

SRVStatus_t SRV_InitServerParameters(SRVBoard_t* board) {
    if (board == nullptr || SRV_Globals == nullptr) {
        c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__, "Can't build server parameters without a board record.");
        return SRV_ERR_SERVER_PARAMETERS;
    }
    if (!levelsFit(board))
        return SRV_ERR_SERVER_PARAMETERS;
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
    if (board == nullptr || category == nullptr)
        return nullptr;
    int32_t highest = 0;
    int32_t lowest = 0;
    if (!categoryCodeBound(category, true, &highest) || !categoryCodeBound(category, false, &lowest))
        return nullptr;
    int64_t size = (int64_t)highest - lowest + 1;
    if (size <= 0 || size > INT32_MAX) {
        c_lprintf(&kTreeLog, C_LOG_ERROR, __LINE__, "Invalid code range [%i:%i] of %s.", lowest, highest, category);
        return nullptr;
    }
    c_ParamCollection_t* collection = _pcnew((int32_t)size, lowest);
    if (collection == nullptr)
        return nullptr;

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
    if (collection == nullptr)
        return;
    for (int64_t code = collection->firstCode; code <= collection->lastCode; ++code) {
        SRVParameter_Free(reinterpret_cast<SRVParameter_t*>(_pretrieve(collection, (int32_t)code)));
    }
    _pcfree(collection);
}

void SRV_FreeServerParameters(SRVBoard_t* board) {
    if (board == nullptr)
        return;
    /* Every slot of the board record's arrays, whatever the counts say: a
     * build that failed half-way, or a digitizer record that changed its
     * counts since, leaves nothing behind. */
    for (SRVChannel_t& channel : board->channels)
        freeChannel(channel);
    SRV_FreeListSaves(board);
    for (SRVDTSpectrum_t& spectrum : board->dtSpectra) {
        SRV_FreeDTSpectrum(&spectrum);
        freeCollection(&spectrum.collection);
        SRV_UnbindDTSpectrum(&spectrum);
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
    for (c_ParamCollection_t*& collection : board->lvdsGroups)
        freeCollection(&collection);
    for (c_ParamCollection_t*& collection : board->virtualTraces)
        freeCollection(&collection);
    for (c_ParamCollection_t*& collection : board->monOuts)
        freeCollection(&collection);
    freeCollection(&board->collection);
    _map_deinit(&board->parameterIndexes);
}
