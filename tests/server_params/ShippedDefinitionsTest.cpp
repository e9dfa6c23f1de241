/* The shipped server definition files, and the tree they build on the
 * default simulated board. */
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "SRV_Globals.h"
#include "ServerParamsSupport.h"

using namespace srvtest;

namespace {

const char* const kCategories[] = {
    "SRVBoardParameters",      "SRVChannelParameters", "SRVLVDSGroupParameters",      "SRVVirtualTraceParameters",
    "SRVHVChannelParameters",  "SRVHVRangeParameters", "SRVEnergySpectrumParameters", "SRVMCSSpectrumParameters",
    "SRVDTSpectrumParameters", "SRVROIParameters",     "SRVMonOutParameters",
};

std::vector<xmlNodePtr> elementsOf(xmlDocPtr doc, const std::string& xpath) {
    std::vector<xmlNodePtr> nodes;
    c_xml_nodeset_t* set = c_xml_getnodeset(doc, xpath.c_str());
    for (int i = 0; set != nullptr && i < set->count; ++i)
        nodes.push_back(set->nodes[i]);
    c_xml_freenodeset(set);
    return nodes;
}

std::string attr(xmlNodePtr node, const char* name) {
    const char* text = c_xml_getattributevalue(node, name, 0);
    return text != nullptr ? text : "";
}

class ServerParamShipped : public ::testing::Test {
protected:
    void SetUp() override {
        useFreshLogFolder();
        setUpGlobals(MORVANE_DEFINITIONS_DIR);
        params = c_xml_newfile(MORVANE_DEFINITIONS_DIR "/ServerParams.xml");
        ASSERT_NE(params, nullptr);
    }
    void TearDown() override {
        c_xml_freedoc(params);
        tearDownGlobals();
        dropLogFolderIfPassed();
    }
    xmlDocPtr defs() const { return SRV_Globals->serverDefinitions; }
    xmlDocPtr params = nullptr;
};

TEST_F(ServerParamShipped, CategoriesHoldDistinctCodesInRangesOfTheirOwn) {
    std::vector<std::pair<long, long>> ranges;
    for (const char* category : kCategories) {
        int32_t level = SRV_GetCategoryIndexLevel(category);
        EXPECT_GE(level, 0) << category;
        EXPECT_LE(level, 3) << category;
        std::set<long> codes;
        for (xmlNodePtr node :
             elementsOf(defs(), std::string("/ServerDefinitions/ServerParameters/") + category + "/*")) {
            std::string code = attr(node, "code");
            char* end = nullptr;
            long value = std::strtol(code.c_str(), &end, 10);
            EXPECT_TRUE(!code.empty() && *end == '\0') << node->name << " has no decimal code";
            EXPECT_TRUE(codes.insert(value).second) << category << ": code " << value << " twice";
            EXPECT_LE(std::strlen((const char*)node->name), 47u) << node->name;
            EXPECT_LE(attr(node, "name").size(), 47u) << node->name;
        }
        ASSERT_FALSE(codes.empty()) << category;
        ranges.emplace_back(*codes.begin(), *codes.rbegin());
    }
    for (size_t i = 0; i < ranges.size(); ++i)
        for (size_t j = i + 1; j < ranges.size(); ++j)
            EXPECT_TRUE(ranges[i].second < ranges[j].first || ranges[j].second < ranges[i].first)
                << kCategories[i] << " and " << kCategories[j] << " overlap";
}

TEST_F(ServerParamShipped, EveryOfferedParameterIsDefinedAndBindsALibraryParameter) {
    for (const char* category : kCategories) {
        for (xmlNodePtr node : elementsOf(params, std::string("/ServerParameters/") + category + "/Parameter")) {
            std::string codename = attr(node, "codename");
            std::vector<xmlNodePtr> definition =
                elementsOf(defs(), "/ServerDefinitions/ServerParameters/" + std::string(category) + "/" + codename);
            ASSERT_EQ(definition.size(), 1u) << category << "/" << codename;
            bool serverOnly = xmlHasProp(node, (const xmlChar*)"utilparam") != nullptr;
            std::string util = attr(definition[0], "utilparam");
            if (serverOnly) {
                EXPECT_TRUE(util.empty()) << codename;
                for (const char* range : {"min", "max", "incr", "defval"})
                    EXPECT_FALSE(attr(node, range).empty()) << codename << " lacks " << range;
            } else {
                int32_t code = -1;
                EXPECT_EQ(c_getParamCodeFromCodeName(util.c_str(), &code), 0) << codename << " binds " << util;
            }
        }
    }
}

TEST_F(ServerParamShipped, ParametersThatTheServerLooksUpByNameExist) {
    const std::map<std::string, std::vector<const char*>> named = {
        {"SRVChannelParameters", {"PARAM_CH_FGAIN_TEMP", "PARAM_CH_ENERGY_FINE_GAIN"}},
        {"SRVEnergySpectrumParameters",
         {"PARAM_ENERGY_SPECTRUM_LLD", "PARAM_ENERGY_SPECTRUM_ULD", "PARAM_ENERGY_SPECTRUM_GSTAB_ROIL",
          "PARAM_ENERGY_SPECTRUM_GSTAB_ROIH", "PARAM_ENERGY_SPECTRUM_GSTAB_TIME", "PARAM_ENERGY_SPECTRUM_GSTAB_MODE",
          "PARAM_ENERGY_SPECTRUM_GSTAB_PPMC"}},
        {"SRVROIParameters", {"PARAM_ROI_LOW", "PARAM_ROI_HIGH"}},
        {"SRVMCSSpectrumParameters",
         {"PARAM_MCS_CHANNELS", "PARAM_MCS_SW_DWELL_ENABLE", "PARAM_MCS_HW_DWELL_ENABLE", "PARAM_MCS_SW_SWEEP_ENABLE",
          "PARAM_MCS_HW_SWEEP_ENABLE", "PARAM_MCS_MODE", "PARAM_MCS_DWELL_TIME", "PARAM_MCS_ACQ_MODE",
          "PARAM_MCS_PRESET_PASSES"}},
        {"SRVDTSpectrumParameters", {"PARAM_DT_SPECTRUM_NBINS", "PARAM_DT_SPECTRUM_STEP"}},
    };
    for (const auto& [category, codenames] : named) {
        for (const char* codename : codenames) {
            EXPECT_EQ(
                elementsOf(params, "/ServerParameters/" + category + "/Parameter[@codename='" + codename + "']").size(),
                1u)
                << category << "/" << codename;
        }
    }
}

/* The default simulated board: the 8-channel pulse-height board on usb link
 * 0, node 0. */
class ServerParamSimulatedBoard : public ServerParamShipped {
protected:
    void SetUp() override {
        ServerParamShipped::SetUp();
        if (HasFatalFailure())
            return;
        board = &SRV_Globals->board;
        c_ConnParams_t link = {};
        ASSERT_EQ(c_newDigitizer(&board->digitizer, &link), 0);
        opened = true;
    }
    void TearDown() override {
        if (opened) {
            SRV_FreeServerParameters(board);
            EXPECT_EQ(c_freeDgtz(&board->digitizer), 0);
        }
        ServerParamShipped::TearDown();
    }
    SRVBoard_t* board = nullptr;
    bool opened = false;
};

/* Every parameter of a collection reads its value; returns how many. */
int readAll(c_Digitizer_t* dig, c_ParamCollection_t* collection) {
    int read = 0;
    for (int32_t code = collection->firstCode; code <= collection->lastCode; ++code) {
        SRVParameter_t* p = reinterpret_cast<SRVParameter_t*>(_pretrieve(collection, code));
        if (p == nullptr)
            continue;
        double value = 0;
        EXPECT_EQ(SRVParameter_GetValue(dig, p, &value), 0) << p->codename;
        ++read;
    }
    return read;
}

TEST_F(ServerParamSimulatedBoard, TreeBuildsAndEveryParameterReadsItsValue) {
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << readLog("SRV_CommonLog.txt");
    c_Digitizer_t* dig = &board->digitizer;
    EXPECT_GT(readAll(dig, board->collection), 0);
    ASSERT_EQ(SRV_ChannelCount(board), 8u);
    for (uint32_t ch = 0; ch < SRV_ChannelCount(board); ++ch) {
        SRVChannel_t& channel = board->channels[ch];
        EXPECT_GT(readAll(dig, channel.collection), 0) << "channel " << ch;
        EXPECT_GE(readAll(dig, channel.energySpectra[0].collection), 7) << "the spectrum's own parameters";
        EXPECT_EQ(readAll(dig, channel.energySpectra[0].rois[0].collection), 2);
        for (uint32_t m = 0; m < channel.mcsSpectrumCount; ++m)
            readAll(dig, channel.mcsSpectra[m].collection);
        EXPECT_EQ(channel.mcsSpectrumCount, SRV_IsMCSSupported(board, (int32_t)ch) ? 1u : 0u);
    }
    EXPECT_EQ(readAll(dig, board->dtSpectra[0].collection), 2);
    for (uint32_t g = 0; g < SRV_LVDSGroupCount(board); ++g)
        readAll(dig, board->lvdsGroups[g]);
    for (uint32_t t = 0; t < SRV_VirtualTraceCount(board); ++t)
        readAll(dig, board->virtualTraces[t]);
    for (uint32_t h = 0; h < SRV_HVChannelCount(board); ++h) {
        readAll(dig, board->hv[h].collection);
        for (uint32_t r = 0; r < board->hv[h].rangeCount; ++r)
            readAll(dig, board->hv[h].ranges[r].collection);
    }
    for (uint32_t o = 0; o < SRV_MonOutCount(board); ++o)
        readAll(dig, board->monOuts[o]);
}

/* The gain stabiliser of every spectrum works on these two channel
 * parameters; without them the tree of a server that has it cannot build. */
TEST_F(ServerParamSimulatedBoard, EveryChannelOffersTheGainParameters) {
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << readLog("SRV_CommonLog.txt");
    for (const char* codename : {"PARAM_CH_FGAIN_TEMP", "PARAM_CH_ENERGY_FINE_GAIN"}) {
        int32_t code = -1;
        ASSERT_EQ(SRV_GetParameterCode(board, codename, &code), 0)
            << codename << ": the board lacks the library parameter it binds";
        for (uint32_t ch = 0; ch < SRV_ChannelCount(board); ++ch)
            EXPECT_NE(SRV_GetChannelParameter(board, (int32_t)ch, code), nullptr) << codename << " of " << ch;
    }
}

TEST_F(ServerParamSimulatedBoard, BoardWithoutMCSFirmwareHasNoMCSSpectrum) {
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << readLog("SRV_CommonLog.txt");
    if (SRV_IsMCSSupported(board, 0))
        GTEST_SKIP() << "the simulated board has MCS firmware";
    EXPECT_EQ(board->channels[0].mcsSpectrumCount, 0u);
    EXPECT_EQ(board->channels[0].mcsSpectra[0].collection, nullptr);
    EXPECT_EQ(SRV_GetMCSSpectrumParameter(board, 0, 0, 4100), nullptr);
    EXPECT_NE(readLog("SRV_CommonLog.txt").find("Invalid MCS Spectrum '0'. Can't find parameter '4100'."),
              std::string::npos);
}

} // namespace
