// The multichannel-scaling accumulation on data built by hand: the three
// accumulation modes over passes, the preset number of passes, slots outside
// the record, and the cycle's handling of MCS events on the simulated board
// (which has no sweep-signal parameter, so every sweep signal it tries is
// logged as a failure and can be counted).
#include <algorithm>
#include <cmath>
#include <memory>

#include "../spectra/SpectraTestSupport.h"
#include "SRV_MCS.h"

using namespace spectest;

namespace {

// A record on its own, with the values its parameters would cache. The
// record is allocated alone, so a write past its counts hits the guard zone.
struct McsRecord {
    McsRecord(double slots, double acqMode, double presetPasses)
        : record(static_cast<SRVMCSSpectrum_t*>(std::calloc(1, sizeof(SRVMCSSpectrum_t))), &std::free), slots_(slots),
          acqMode_(acqMode), preset_(presetPasses) {
        record->mcsChannels = &slots_;
        record->acqMode = &acqMode_;
        record->presetPasses = &preset_;
        record->pass = 1;
    }
    SRVMCSSpectrum_t* operator->() { return record.get(); }

    // One sweep: slot s gets `base + s`, the first slot carries the start
    // marker.
    void sweep(uint32_t base) {
        for (uint16_t s = 0; s < static_cast<uint16_t>(slots_); s++)
            ASSERT_EQ(SRV_AddMCSDatum(record.get(), s == 0 ? 1 : 0, s, base + s), 0);
    }

    std::unique_ptr<SRVMCSSpectrum_t, decltype(&std::free)> record;
    double slots_, acqMode_, preset_;
};

TEST(McsAccumulation, ModesAndPresetPassesOverRepeatedSweeps) {
    struct Case {
        const char* what;
        double acqMode;
        double preset;
        uint32_t sweeps;
        uint32_t slot2; // counts[2] afterwards (sweep k gives 10k + slot)
        uint32_t state;
        uint32_t pass;
    } cases[] = {
        // Pass 1 replaces, passes 2 and 3 add; the third last slot reaches
        // the preset and the pass stays there.
        {"replace then add, preset 3", 2, 3, 3, 12 + 22 + 32, SRV_MCS_STATE_PRESET_REACHED, 3},
        // Data after the preset still accumulate; the pass does not move.
        {"replace then add, past preset", 2, 3, 4, 12 + 22 + 32 + 42, SRV_MCS_STATE_PRESET_REACHED, 3},
        {"add without limit", 1, 0, 3, 12 + 22 + 32, SRV_MCS_STATE_RUNNING, 4},
        {"replace keeps the last pass", 0, 0, 3, 32, SRV_MCS_STATE_RUNNING, 4},
        {"unknown mode changes nothing", 7, 0, 2, 0, SRV_MCS_STATE_RUNNING, 3},
        {"mode truncated", 1.9, 0, 2, 12 + 22, SRV_MCS_STATE_RUNNING, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        McsRecord mcs(4, c.acqMode, c.preset);
        for (uint32_t k = 1; k <= c.sweeps; k++)
            mcs.sweep(10 * k);
        EXPECT_EQ(mcs->counts[2], c.slot2);
        EXPECT_EQ(mcs->state, c.state);
        EXPECT_EQ(mcs->pass, c.pass);
        EXPECT_EQ(mcs->counts[4], 0u) << "only the slots of a sweep are written";
    }
}

TEST(McsAccumulation, AStartMarkerRunsAgainUntilTheNextLastSlotAfterThePreset) {
    McsRecord mcs(4, 1, 1);
    mcs.sweep(0);
    ASSERT_EQ(mcs->state, static_cast<uint32_t>(SRV_MCS_STATE_PRESET_REACHED));
    ASSERT_EQ(SRV_AddMCSDatum(mcs.record.get(), 1, 0, 5), 0);
    EXPECT_EQ(mcs->state, static_cast<uint32_t>(SRV_MCS_STATE_RUNNING));
    ASSERT_EQ(SRV_AddMCSDatum(mcs.record.get(), 0, 3, 5), 0);
    EXPECT_EQ(mcs->state, static_cast<uint32_t>(SRV_MCS_STATE_PRESET_REACHED));
    EXPECT_EQ(mcs->pass, 1u);
}

TEST(McsAccumulation, SlotsOutsideTheRecordAndMissingRecordsAreRefusedSafely) {
    // A sweep as long as the record: the last slot is the record's last.
    McsRecord full(SRV_MCS_MAX_SLOTS, 1, 0);
    ASSERT_EQ(SRV_AddMCSDatum(full.record.get(), 0, SRV_MCS_MAX_SLOTS - 1, 9), 0);
    EXPECT_EQ(full->counts[SRV_MCS_MAX_SLOTS - 1], 9u);
    EXPECT_EQ(full->pass, 2u);
    // Slots past the record (a 16-bit slot number can say up to 65535) are
    // dropped whole: nothing written, no pass completed.
    McsRecord mcs(65536, 1, 0);
    for (uint32_t slot : {32768u, 40000u, 65535u})
        EXPECT_EQ(SRV_AddMCSDatum(mcs.record.get(), 1, static_cast<uint16_t>(slot), 7), 0);
    EXPECT_EQ(mcs->pass, 1u);
    EXPECT_EQ(mcs->state, 0u);
    EXPECT_EQ(SRV_AddMCSDatum(nullptr, 0, 0, 1), SRV_ERR_RESOURCE);
    EXPECT_EQ(SRV_ClearMCSSpectrum(nullptr), SRV_ERR_RESOURCE);

    // The slot count that command 46 sends stays inside the record.
    struct {
        double value;
        uint32_t slots;
    } counts[] = {{4, 4}, {4.7, 4}, {32768, 32768}, {100000, 32768}, {-3, 0}, {NAN, 0}};
    for (auto& c : counts) {
        McsRecord r(c.value, 1, 0);
        EXPECT_EQ(SRV_MCSSlotCount(r.record.get()), c.slots) << c.value;
    }
}

TEST(McsAccumulation, ClearZeroesTheCountsAndRestartsAtPassOne) {
    McsRecord mcs(4, 1, 0);
    mcs.sweep(10);
    mcs.sweep(20);
    ASSERT_EQ(SRV_ClearMCSSpectrum(mcs.record.get()), 0);
    for (uint32_t s = 0; s < 4; s++)
        EXPECT_EQ(mcs->counts[s], 0u);
    EXPECT_EQ(mcs->state, 0u);
    EXPECT_EQ(mcs->pass, 1u);
}

// The cycle on the simulated board with an MCS spectrum bound by hand to
// channel 0 (the board's firmware has none).
class McsCycle : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        if (HasFatalFailure())
            return;
        frame_ = &board_->channels[0];
        ASSERT_EQ(frame_->mcsSpectrumCount, 0u) << "the simulated board has no MCS firmware";
        frame_->mcsSpectrumCount = 1;
        mcs_ = &frame_->mcsSpectra[0];
        mcs_->mcsChannels = &slots_;
        mcs_->acqMode = &acqMode_;
        mcs_->presetPasses = &preset_;
        mcs_->channelIndex = 0;
        SRV_ClearMCSSpectrum(mcs_);
    }
    void TearDown() override {
        frame_->mcsSpectrumCount = 0;
        mcs_->mcsChannels = mcs_->acqMode = mcs_->presetPasses = nullptr;
        SRV_ClearMCSSpectrum(mcs_);
        BoardTest::TearDown();
    }
    // MCS data of channel 0 in one readout: (start marker, slot, count).
    void deliverData(const std::vector<std::tuple<uint8_t, int16_t, uint32_t>>& data) {
        deliver(0, data.size(), 100, EVTFLAG_MCS);
        for (size_t i = 0; i < data.size(); i++) {
            c_DPPEvent_t& e = dig_->channels[0].events[i];
            e.specialFlag = std::get<0>(data[i]);
            e.specialIndex = std::get<1>(data[i]);
            e.specialWord1 = std::get<2>(data[i]);
        }
    }
    static size_t sweepAttempts() {
        std::string text = log("SRV_MCSLog.txt");
        size_t n = 0;
        for (size_t at = text.find("DPPL_PARAM_CH_MCS_SWEEP_SIGNAL' with code"); at != std::string::npos;
             at = text.find("DPPL_PARAM_CH_MCS_SWEEP_SIGNAL' with code", at + 1))
            n++;
        return n;
    }

    SRVChannel_t* frame_ = nullptr;
    SRVMCSSpectrum_t* mcs_ = nullptr;
    double slots_ = 4, acqMode_ = 2, preset_ = 2;
};

TEST_F(McsCycle, DataAccumulateAndOnlyAnUnfinishedLastSlotAsksForTheNextSweep) {
    size_t before = sweepAttempts();
    deliverData({{1, 0, 5}, {0, 1, 6}, {0, 2, 7}, {0, 3, 8}, {1, 0, 1}, {0, 1, 1}, {0, 2, 1}, {0, 3, 1}});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(mcs_->counts[0], 6u);
    EXPECT_EQ(mcs_->counts[3], 9u);
    EXPECT_EQ(mcs_->state, static_cast<uint32_t>(SRV_MCS_STATE_PRESET_REACHED));
    EXPECT_EQ(mcs_->pass, 2u);
    // MCS data count as input but never reach the energy spectrum.
    EXPECT_EQ(board_->channels[0].inputCount, 8u);
    EXPECT_EQ(spectrum(0)->total.entries, 0u);
    // The end of pass 1 asked for a sweep (refused: no such parameter on this
    // board); the end of the preset pass did not.
    EXPECT_EQ(sweepAttempts(), before + 1);

    // Slots the record doesn't have are dropped and ask for nothing; pseudo
    // events never reach the spectrum.
    before = sweepAttempts();
    deliverData({{1, -1, 50}, {0, 3, 2}});
    dig_->channels[0].events[1].flags |= EVTFLAG_PSEUDO;
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(mcs_->counts[3], 9u);
    EXPECT_EQ(mcs_->state, static_cast<uint32_t>(SRV_MCS_STATE_PRESET_REACHED));
    EXPECT_EQ(sweepAttempts(), before);
}

TEST_F(McsCycle, WithoutAPresetEveryLastSlotAsksForASweep) {
    preset_ = 0;
    acqMode_ = 1;
    size_t before = sweepAttempts();
    deliverData(
        {{1, 0, 1}, {0, 1, 1}, {0, 2, 1}, {0, 3, 1}, {1, 0, 1}, {0, 1, 1}, {0, 2, 1}, {0, 3, 1}, {1, 0, 1}, {0, 3, 1}});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(mcs_->pass, 4u);
    EXPECT_EQ(mcs_->counts[3], 3u);
    EXPECT_EQ(sweepAttempts(), before + 3);
}

TEST_F(McsCycle, AChannelWithoutAnMcsSpectrumIgnoresMcsData) {
    frame_->mcsSpectrumCount = 0;
    deliverData({{1, 0, 5}, {0, 3, 8}});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(mcs_->counts[0], 0u);
    EXPECT_EQ(mcs_->state, 0u);
}

TEST_F(McsCycle, SweepSignalsAndLookupsRefuseWhatTheBoardLacks) {
    EXPECT_EQ(SRV_SendMCSSweepSignal(board_, 0), SRV_ERR_INVALID_PARAMETER);
    EXPECT_EQ(SRV_SendMCSSweepSignal(board_, -1), SRV_ERR_INVALID_PARAMETER);
    EXPECT_EQ(SRV_SendMCSSweepSignal(board_, 64), SRV_ERR_INVALID_PARAMETER);

    SRVMCSSpectrum_t* found = nullptr;
    struct {
        std::vector<int32_t> path;
        SRVStatus_t status;
    } cases[] = {
        {{0, 2, 0, 10}, SRV_SUCCESS},
        {{0, 10, 0, 2, 7}, SRV_SUCCESS},           // order free, odd last element ignored
        {{5, 2, 0, 10, 0, 2}, SRV_SUCCESS},        // a later pair replaces an earlier one
        {{0, 2, 0, 9}, SRV_ERR_INVALID_PARAMETER}, // energy spectrum type
        {{0, 2}, SRV_ERR_INVALID_PARAMETER},       // no spectrum index
        {{0, 2, 1, 10}, SRV_ERR_INVALID_PARAMETER},
        {{8, 2, 0, 10}, SRV_ERR_INVALID_PARAMETER},
        {{-1, 2, 0, 10}, SRV_ERR_INVALID_PARAMETER},
    };
    for (auto& c : cases) {
        found = nullptr;
        EXPECT_EQ(SRV_GetMCSSpectrum(board_, c.path.data(), static_cast<uint32_t>(c.path.size()), &found), c.status)
            << testing::PrintToString(c.path);
        if (c.status == SRV_SUCCESS) {
            EXPECT_EQ(found, mcs_);
        }
    }
}

} // namespace
