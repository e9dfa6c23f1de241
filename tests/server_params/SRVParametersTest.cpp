/* The server parameter tree on the fake board: the build and its order, the
 * lookups and validity tests, the failures that end the build, and the
 * free. */
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ServerParamsSupport.h"

using namespace srvtest;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* A copy of the basic fixture folder with one text of one file replaced. */
std::string variant(const std::string& file, const std::string& from, const std::string& to) {
    char folder[] = "/tmp/srvparams-defs-XXXXXX";
    EXPECT_NE(mkdtemp(folder), nullptr);
    for (const char* name : {"ServerDefinitions.xml", "ServerParams.xml"}) {
        std::string text = readFile(fixture("basic") + "/" + name);
        if (file == name) {
            size_t at = text.find(from);
            EXPECT_NE(at, std::string::npos) << from;
            if (at != std::string::npos)
                text.replace(at, from.size(), to);
        }
        std::ofstream(std::string(folder) + "/" + name) << text;
    }
    return folder;
}

class ServerParamTree : public FakeBoardTest {
protected:
    std::string treeLog() { return readLog("SRV_CommonLog.txt"); }

    /* Nothing of a failed or freed tree is left in the board record. */
    void expectNoTree() {
        EXPECT_EQ(board->collection, nullptr);
        for (const SRVChannel_t& ch : board->channels) {
            EXPECT_EQ(ch.collection, nullptr);
            EXPECT_EQ(ch.waveform, nullptr);
            EXPECT_EQ(ch.energySpectra[0].collection, nullptr);
            EXPECT_EQ(ch.energySpectra[0].rois[0].collection, nullptr);
            EXPECT_EQ(ch.mcsSpectra[0].collection, nullptr);
        }
        EXPECT_EQ(board->dtSpectra[0].collection, nullptr);
        EXPECT_EQ(board->hv[0].collection, nullptr);
        EXPECT_EQ(board->hv[0].ranges[0].collection, nullptr);
        EXPECT_EQ(board->lvdsGroups[0], nullptr);
        EXPECT_EQ(board->virtualTraces[0], nullptr);
        EXPECT_EQ(board->monOuts[0], nullptr);
        EXPECT_EQ(board->parameterIndexes.count, 0u);
    }
};

TEST_F(ServerParamTree, BuildsEveryObjectOfTheBoard) {
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << treeLog();

    EXPECT_NE(SRV_GetBoardParameter(board, code("PARAM_RECLEN")), nullptr);
    SRVParameter_t* soft = SRV_GetBoardParameter(board, code("PARAM_BOARD_SOFT"));
    ASSERT_NE(soft, nullptr);
    EXPECT_EQ(soft->value, 3);

    for (int ch = 0; ch < 2; ++ch) {
        SRVParameter_t* threshold = SRV_GetChannelParameter(board, ch, code("PARAM_CH_THRESHOLD"));
        ASSERT_NE(threshold, nullptr);
        EXPECT_EQ(threshold->utilParam, channelParam(ch, DPPL_PARAM_CH_THRESHOLD));
        EXPECT_EQ(board->channels[ch].channelNumber, (uint32_t)ch);
        // The spectrum's bin count binds its own channel's library parameter.
        SRVParameter_t* bins = SRV_GetEnergySpectrumParameter(board, ch, 0, code("PARAM_ENERGY_SPECTRUM_NBINS"));
        ASSERT_NE(bins, nullptr);
        EXPECT_EQ(bins->utilParam, channelParam(ch, DPPL_PARAM_CH_SPECTRUM_NBINS));
        EXPECT_EQ(bins->index[1], (uint32_t)ch);
        EXPECT_NE(SRV_GetROIParameter(board, ch, 0, 0, code("PARAM_ROI_HIGH")), nullptr);
        // The complex trigger wrote its default into every channel.
        EXPECT_EQ(channelParam(ch, DPPL_PARAM_CH_ENABLED)->value, 1);
        // The last-waveform copy: 16-bit analog and 8-bit digital slots.
        c_Waveform_t* waveform = board->channels[ch].waveform;
        ASSERT_NE(waveform, nullptr);
        for (const c_Trace_t& trace : waveform->traces) {
            EXPECT_NE(trace.samples, nullptr);
            EXPECT_EQ(trace.capacity, 131072u);
        }
    }
    SRVParameter_t* roiLow = SRV_GetROIParameter(board, 1, 0, 0, code("PARAM_ROI_LOW"));
    ASSERT_NE(roiLow, nullptr);
    EXPECT_EQ(roiLow->index[1], 1u);
    EXPECT_EQ(roiLow->index[2], 0u);
    EXPECT_EQ(roiLow->index[3], 0u);

    // Only channel 0 has MCS firmware.
    EXPECT_EQ(board->channels[0].mcsSpectrumCount, 1u);
    EXPECT_EQ(board->channels[1].mcsSpectrumCount, 0u);
    EXPECT_NE(SRV_GetMCSSpectrumParameter(board, 0, 0, code("PARAM_MCS_CHANNELS")), nullptr);
    EXPECT_EQ(SRV_GetMCSSpectrumParameter(board, 1, 0, code("PARAM_MCS_CHANNELS")), nullptr);
    EXPECT_NE(treeLog().find("Invalid MCS Spectrum '0'. Can't find parameter '4100'."), std::string::npos);

    EXPECT_NE(SRV_GetDTSpectrumParameter(board, 0, code("PARAM_DT_SPECTRUM_STEP")), nullptr);
    EXPECT_NE(SRV_GetLVDSGroupParameter(board, 0, code("PARAM_LVDSGRP_MODE")), nullptr);
    for (int t = 0; t < 5; ++t) {
        SRVParameter_t* probe = SRV_GetVirtualTraceParameter(board, t, code("PARAM_VTRACE_PROBE"));
        ASSERT_NE(probe, nullptr);
        EXPECT_EQ(probe->value, t);
    }
    EXPECT_NE(SRV_GetHVChannelParameter(board, 0, code("PARAM_HVCH_ON")), nullptr);
    for (int r = 0; r < 2; ++r) {
        SRVParameter_t* vset = SRV_GetHVRangeParameter(board, 0, r, code("PARAM_HVCH_VSET"));
        ASSERT_NE(vset, nullptr);
        EXPECT_EQ(vset->value, 100 * (r + 1)) << "each range binds its own library range";
        EXPECT_EQ(board->hv[0].ranges[r].range, &dig->hv[0].ranges[r]);
    }
    EXPECT_EQ(board->hv[0].rangeCount, 2u);
    EXPECT_NE(SRV_GetMonOutParameter(board, 0, code("PARAM_MONOUT_ENABLE")), nullptr);

    // Every parameter reads its value.
    double value = 0;
    for (int32_t c = board->collection->firstCode; c <= board->collection->lastCode; ++c) {
        SRVParameter_t* p = SRV_GetBoardParameter(board, c);
        if (p != nullptr) {
            EXPECT_EQ(SRVParameter_GetValue(dig, p, &value), 0) << p->codename;
        }
    }
}

TEST_F(ServerParamTree, ParametersTheBoardLacksAreSkipped) {
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << treeLog();
    int32_t gate = 0;
    EXPECT_NE(SRV_GetParameterCode(board, "PARAM_CH_GATE", &gate), 0);
    EXPECT_EQ(SRV_GetChannelParameter(board, 0, 1003), nullptr);
    EXPECT_NE(treeLog().find("Digitizer does not support parameter 'PARAM_CH_GATE'."), std::string::npos);
    EXPECT_NE(treeLog().find("Digitizer does not support parameter 'PARAM_CH_UNDEFINED'."), std::string::npos);
    EXPECT_EQ(board->channels[0].collection->count, 4) << "threshold, two gains and the trigger";
}

TEST_F(ServerParamTree, LookupsTestEveryIndex) {
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << treeLog();
    struct Case {
        const char* name;
        bool valid;
    } cases[] = {
        {"channel 1", SRV_IsValidChannel(board, 1)},
        {"virtual trace 4 of 2 + 3", SRV_IsValidVirtualTrace(board, 4)},
        {"HV range 1", SRV_IsValidHVRange(board, 0, 1)},
        {"ROI 0", SRV_IsValidROI(board, 1, 0, 0)},
        {"MCS spectrum of channel 0", SRV_IsValidMCSSpectrum(board, 0, 0)},
        {"time-interval spectrum 0", SRV_IsValidDTSpectrum(board, 0)},
        {"MCS support of channel 0", SRV_IsMCSSupported(board, 0)},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(c.valid) << c.name;

    Case invalid[] = {
        {"channel 2", SRV_IsValidChannel(board, 2)},
        {"channel -1", SRV_IsValidChannel(board, -1)},
        {"virtual trace 5", SRV_IsValidVirtualTrace(board, 5)},
        {"LVDS group 1", SRV_IsValidLVDSGroup(board, 1)},
        {"LVDS group -1", SRV_IsValidLVDSGroup(board, -1)},
        {"HV channel 1", SRV_IsValidHVChannel(board, 1)},
        {"HV range 2", SRV_IsValidHVRange(board, 0, 2)},
        {"HV range -1", SRV_IsValidHVRange(board, 0, -1)},
        {"monitor output 1", SRV_IsValidMonOut(board, 1)},
        {"energy spectrum 1", SRV_IsValidEnergySpectrum(board, 0, 1)},
        {"energy spectrum -1", SRV_IsValidEnergySpectrum(board, 0, -1)},
        {"ROI 1", SRV_IsValidROI(board, 0, 0, 1)},
        {"ROI of channel -1", SRV_IsValidROI(board, -1, 0, 0)},
        {"MCS spectrum of channel 1", SRV_IsValidMCSSpectrum(board, 1, 0)},
        {"time-interval spectrum 1", SRV_IsValidDTSpectrum(board, 1)},
        {"time-interval spectrum -1", SRV_IsValidDTSpectrum(board, -1)},
        {"MCS support of channel 1", SRV_IsMCSSupported(board, 1)},
        {"MCS support of channel -5", SRV_IsMCSSupported(board, -5)},
        {"no board", SRV_IsValidChannel(nullptr, 0)},
    };
    for (const Case& c : invalid)
        EXPECT_FALSE(c.valid) << c.name;

    int32_t low = code("PARAM_ROI_LOW");
    EXPECT_EQ(SRV_GetROIParameter(board, 0, 0, 1, low), nullptr);
    EXPECT_NE(treeLog().find("FAKE_7: Invalid ROI '1'. Can't find parameter '4300'."), std::string::npos);
    EXPECT_EQ(SRV_GetChannelParameter(board, -1, code("PARAM_CH_THRESHOLD")), nullptr);
    EXPECT_NE(treeLog().find("Invalid channel '-1'. Can't find parameter '1000'."), std::string::npos);
    EXPECT_EQ(SRV_GetChannelParameter(nullptr, 0, 1000), nullptr);
    EXPECT_NE(treeLog().find("NULL digitizer pointer. Can't find parameter '1000'."), std::string::npos);
    EXPECT_EQ(SRV_GetChannelParameter(board, 0, 99999), nullptr) << "a code outside the collection";
    EXPECT_EQ(SRV_GetBoardParameter(board, low), nullptr) << "a code of another category";
}

TEST_F(ServerParamTree, FreeLeavesNothingAndMayRunTwice) {
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << treeLog();
    board->channels[0].listSave.timeTags = (uint64_t*)c_calloc(4, sizeof(uint64_t));
    SRV_FreeServerParameters(board);
    expectNoTree();
    EXPECT_EQ(board->channels[0].listSave.timeTags, nullptr);
    EXPECT_FALSE(SRV_IsValidEnergySpectrum(board, 0, 0));
    SRV_FreeServerParameters(board);
    // A second build on the same record (a reopened board) works as the first.
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << treeLog();
    EXPECT_NE(SRV_GetChannelParameter(board, 1, code("PARAM_CH_THRESHOLD")), nullptr);
}

TEST_F(ServerParamTree, BoardWithoutOptionalObjectsBuildsNoneOfTheirCollections) {
    dig->descriptor.LVDSGroups = 0;
    dig->descriptor.AnalogVTraces = 0;
    dig->descriptor.DigitalVTraces = 0;
    dig->descriptor.HVChannels = 0;
    dig->descriptor.MonOuts = 0;
    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << treeLog();
    EXPECT_EQ(board->lvdsGroups[0], nullptr);
    EXPECT_EQ(board->virtualTraces[0], nullptr);
    EXPECT_EQ(board->hv[0].collection, nullptr);
    EXPECT_EQ(board->monOuts[0], nullptr);
    EXPECT_NE(board->channels[1].collection, nullptr);
}

TEST_F(ServerParamTree, CountsBeyondTheRecordsAreBounded) {
    // A board that reports more objects than the board record can hold.
    c_BoardDescriptor_t& d = dig->descriptor;
    d.NumChannels = 200;
    d.LVDSGroups = 100;
    d.AnalogVTraces = 0xFFFFFFFFu;
    d.DigitalVTraces = 2;
    d.HVChannels = 9;
    d.MonOuts = 5;
    dig->hv[0].rangeCount = 10;
    for (int ch = 2; ch < SRV_MAX_CHANNELS; ++ch)
        dig->channels[ch].coll = channelCollection(&dig->channels[ch], ch);
    EXPECT_EQ(SRV_ChannelCount(board), (uint32_t)SRV_MAX_CHANNELS);
    EXPECT_EQ(SRV_LVDSGroupCount(board), (uint32_t)SRV_MAX_LVDS_GROUPS);
    EXPECT_EQ(SRV_VirtualTraceCount(board), (uint32_t)SRV_MAX_VIRTUAL_TRACES);
    EXPECT_EQ(SRV_HVChannelCount(board), (uint32_t)SRV_MAX_HV_CHANNELS);
    EXPECT_EQ(SRV_HVRangeCount(board, 0), (uint32_t)SRV_MAX_HV_RANGES);
    EXPECT_EQ(SRV_MonOutCount(board), 1u) << "the digitizer record holds one monitor output";

    ASSERT_EQ(SRV_InitServerParameters(board), SRV_SUCCESS) << treeLog();
    EXPECT_NE(board->channels[SRV_MAX_CHANNELS - 1].collection, nullptr);
    EXPECT_EQ(board->hv[0].rangeCount, (uint32_t)SRV_MAX_HV_RANGES);
    EXPECT_FALSE(SRV_IsValidChannel(board, SRV_MAX_CHANNELS));
    EXPECT_FALSE(SRV_IsValidVirtualTrace(board, SRV_MAX_VIRTUAL_TRACES));
    EXPECT_FALSE(SRV_IsValidHVChannel(board, SRV_MAX_HV_CHANNELS));
    EXPECT_EQ(SRV_GetHVRangeParameter(board, 1, 3, 3100), nullptr);
    EXPECT_NE(readLog("SRVParametersLog.txt").find("Board reports 200 channels; the server serves 64 of them."),
              std::string::npos);
}

/* Builds that fail: the board open gets -31 and nothing of the tree stays. */
struct FailureCase {
    const char* name;
    const char* file;
    const char* from;
    const char* to;
    const char* message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ServerParamTreeFailure : public ServerParamTree, public ::testing::WithParamInterface<FailureCase> {
protected:
    std::string folder() const override { return variant(GetParam().file, GetParam().from, GetParam().to); }
    void TearDown() override {
        std::filesystem::remove_all(folder_);
        ServerParamTree::TearDown();
    }
    void SetUp() override {
        ServerParamTree::SetUp();
        folder_ = std::getenv("MORVANESERVERDIR");
    }
    std::string folder_;
};

TEST_P(ServerParamTreeFailure, FreesWhatItBuilt) {
    EXPECT_EQ(SRV_InitServerParameters(board), SRV_ERR_SERVER_PARAMETERS);
    EXPECT_NE(treeLog().find(GetParam().message), std::string::npos) << treeLog();
    expectNoTree();
}

INSTANTIATE_TEST_SUITE_P(
    Build, ServerParamTreeFailure,
    ::testing::Values(
        FailureCase{"TwoParametersWithOneCode", "ServerParams.xml", R"(<Parameter codename="PARAM_CH_FGAIN_TEMP"/>)",
                    R"(<Parameter codename="PARAM_CH_FGAIN_TEMP" code="1000"/>)",
                    "Can't insert server parameter 'Fine gain correction' into collection. Unknown error."},
        FailureCase{"LastCategoryWithoutDefinitions", "ServerDefinitions.xml",
                    R"(<PARAM_MONOUT_ENABLE code="5000" name="Monitor output" utilparam="DPPL_PARAM_MONOUT_ENABLE"/>)",
                    "", "Can't create server Monitor Output parameters."},
        FailureCase{"LevelOutsideTheVector", "ServerDefinitions.xml", R"(<SRVROIParameters level="3">)",
                    R"(<SRVROIParameters level="4">)", "Index level 4 of category 'SRVROIParameters'"},
        FailureCase{"UnreadableServerParams", "ServerParams.xml", "</ServerParameters>", "", "Invalid XML document"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

} // namespace
