// The per-cycle processing on events put by hand into the simulated board's
// record: where events land in the spectrum, which events count, the stop
// criteria, bin counts that must not index past the histogram, and the dead
// time.
#include <cmath>
#include <map>

#include "SRV_List.h"
#include "SpectraTestSupport.h"
#include "ZarnSimulator.h"

using namespace spectest;

namespace {

class Cycle : public BoardTest {};

TEST_F(Cycle, EnergiesLandInTheBinsOfTheShiftForTheBinCount) {
    ASSERT_EQ(spectrum(0)->adcBits, 14u);
    struct Case {
        double nbins;
        uint16_t energy;
        uint32_t bin;
    } cases[] = {
        {4096, 16383, 4095},   {4096, 0, 0},        {4096, 7, 1},        {4096, 2620, 655},
        {16384, 16383, 16383}, {16384, 9410, 9410}, {1024, 16383, 1023}, {1024, 5540, 346},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "nbins " << c.nbins << " energy " << c.energy);
        ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
        *spectrum(0)->nbins = c.nbins;
        deliver(0, 3, c.energy);
        ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        EXPECT_EQ(spectrum(0)->counts[c.bin], 3u);
        EXPECT_EQ(sumOfBins(0), 3u);
        EXPECT_EQ(spectrum(0)->total.entries, 3u);
        EXPECT_EQ(board_->channels[0].inputCount, 3u);
    }
}

TEST_F(Cycle, FlagsDecideWhatCountsAsInputAndWhatIsHistogrammed) {
    struct Case {
        uint32_t flags;
        bool input;
        bool histogrammed;
    } cases[] = {
        {0, true, true},
        {EVTFLAG_PSEUDO, false, false},
        {EVTFLAG_PILEUP, true, false},
        {1u << 18, false, false},
        {0x400, true, false},
        {EVTFLAG_MCS, true, false},
        {EVTFLAG_SATURATED | EVTFLAG_ROLLOVER, true, true},
        {0x20000, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags);
        ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
        c_DPPEvent_t event{};
        event.flags = c.flags;
        EXPECT_EQ(SRV_IsValidEnergyEvent(&event), c.histogrammed);
        deliver(0, 5, 1000, c.flags);
        ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        EXPECT_EQ(board_->channels[0].inputCount, c.input ? 5u : 0u);
        EXPECT_EQ(spectrum(0)->total.entries, c.histogrammed ? 5u : 0u);
        EXPECT_EQ(spectrum(0)->counts[1000], c.histogrammed ? 5u : 0u);
        EXPECT_EQ(spectrum(0)->total.overflows + spectrum(0)->total.underflows, 0u);
    }
}

TEST_F(Cycle, PseudoEventsLeaveEveryCounterAndTheEventTimesAlone) {
    uint64_t lastEvent = board_->channels[0].lastEventTime - 50;
    board_->channels[0].lastEventTime = lastEvent;
    deliver(0, 10, 200, EVTFLAG_PSEUDO);
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    const SRVEnergySpectrum_t* s = spectrum(0);
    EXPECT_EQ(board_->channels[0].inputCount, 0u);
    EXPECT_EQ(s->total.entries + s->total.overflows + s->total.underflows, 0u);
    EXPECT_EQ(sumOfBins(0), 0u);
    EXPECT_EQ(board_->channels[0].lastEventTime, lastEvent);
}

TEST_F(Cycle, LevelsAndTheRegionOfInterestSplitTheEvents) {
    SRVEnergySpectrum_t* s = spectrum(0);
    *s->nbins = 4096; // shift 2
    *s->lld = 100;
    *s->uld = 3000;
    *s->rois[0].low = 500;
    *s->rois[0].high = 600;
    deliver(
        0,
        {{4 * 99}, {4 * 100}, {4 * 499}, {4 * 500}, {4 * 550}, {4 * 600}, {4 * 601}, {4 * 3000}, {4 * 3001}, {16383}});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(s->total.underflows, 1u);
    EXPECT_EQ(s->total.overflows, 2u);
    EXPECT_EQ(s->total.entries, 7u);
    EXPECT_EQ(s->rois[0].entries, 3u);
    EXPECT_EQ(s->counts[99], 0u);
    EXPECT_EQ(s->counts[100], 1u);
    EXPECT_EQ(s->counts[3000], 1u);
    EXPECT_EQ(s->counts[3001], 0u);
    // The cycle counters hold this cycle only.
    EXPECT_EQ(s->cycle.entries, 7u);
    EXPECT_EQ(s->cycle.underflows, 1u);
    EXPECT_EQ(s->cycle.overflows, 2u);
    deliver(0, 2, 4 * 550);
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(s->cycle.entries, 2u);
    EXPECT_EQ(s->cycle.overflows, 0u);
    EXPECT_EQ(s->total.entries, 9u);
    EXPECT_EQ(s->rois[0].entries, 5u);
}

TEST_F(Cycle, ChannelsThatDoNotAcquireAreSkipped) {
    for (int32_t status : {ACQSTATUS_STOPPED, ACQSTATUS_PAUSED, ACQSTATUS_UNDETERMINED}) {
        deliver(1, 4, 300);
        dig_->channels[1].acqStatus = status;
        ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        EXPECT_EQ(spectrum(1)->total.entries, 0u) << "status " << status;
        EXPECT_EQ(board_->channels[1].inputCount, 0u);
    }
    deliver(1, 4, 300);
    dig_->channels[1].acqStatus = ACQSTATUS_STOPPING; // the last data of a stop still count
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(spectrum(1)->total.entries, 4u);
}

TEST_F(Cycle, TotalCountsLimitMetInTheMiddleOfABufferStopsThere) {
    param(0, DPPL_PARAM_CH_STOP_MODE_TOTAL_COUNTS)->value = 1000;
    deliver(0, 1500, 2000);
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    const c_DPPEvent_t* events = dig_->channels[0].events;
    EXPECT_EQ(spectrum(0)->total.entries, 1000u);
    EXPECT_EQ(board_->channels[0].inputCount, 1000u);
    EXPECT_EQ(events[999].flags & EVTFLAG_STOP_CRITERION, 0u);
    EXPECT_NE(events[1000].flags & EVTFLAG_STOP_CRITERION, 0u);
    EXPECT_EQ(events[1001].flags & EVTFLAG_STOP_CRITERION, 0u);
    std::string text = log("SRVBoardThreadLog.txt");
    EXPECT_NE(text.find("Stop criteria for mode '2' met! Stop value = '1000'"), std::string::npos);
}

TEST_F(Cycle, CountsInTheRegionLimitStopsAtItsCount) {
    SRVEnergySpectrum_t* s = spectrum(0);
    *s->rois[0].low = 100;
    *s->rois[0].high = 199;
    param(0, DPPL_PARAM_CH_STOP_MODE_COUNTS_IN_ROI)->value = 20;
    std::vector<Event> events;
    for (int i = 0; i < 100; i++)
        events.push_back({static_cast<uint16_t>(i % 2 == 0 ? 150 : 5000)});
    deliver(0, events);
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(s->rois[0].entries, 20u);
    EXPECT_EQ(s->total.entries, 39u); // the 20th ROI event, then one outside before the check
    EXPECT_NE(dig_->channels[0].events[39].flags & EVTFLAG_STOP_CRITERION, 0u);
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

TEST_F(Cycle, AMetCriterionStopsTheChannelOnTheDeviceAndTheWholeBoardElsewhere) {
    struct Case {
        uint32_t family;
        const char* stop;
    } cases[] = {
        {family_, "Stopping Acquisition..."},
        {DPPL_FAMILY_MORVANE, "Stopping Acquisition for channel '2'..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stop);
        setFamily(c.family);
        ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(2)), SRV_SUCCESS);
        param(2, DPPL_PARAM_CH_STOP_MODE_TOTAL_COUNTS)->value = 10;
        size_t before = occurrences(log("SRVBoardThreadLog.txt"), c.stop);
        deliver(2, 20, 100);
        ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        EXPECT_EQ(spectrum(2)->total.entries, 10u);
        EXPECT_EQ(occurrences(log("SRVBoardThreadLog.txt"), c.stop), before + 1);
    }
}

TEST_F(Cycle, ChannelAutoTriggersRunOnlyWithWaveformsOn) {
    const std::string refused = "Cannot send SW Trigger (err=";
    param(3, DPPL_PARAM_CH_AUTO_TRG_TIMEOUT)->value = 1000; // 1 ms
    board_->channels[3].lastEventTime = c_get_time() - 50;
    deliver(3, {});
    size_t before = occurrences(log("SRVBoardThreadLog.txt"), refused);
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(occurrences(log("SRVBoardThreadLog.txt"), refused), before);
    // This board refuses a channel trigger (only the register-level device
    // has one): the refusal shows the trigger was sent, and the cycle goes on.
    waveforms()->value = 1;
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(occurrences(log("SRVBoardThreadLog.txt"), refused), before + 1);
    EXPECT_NE(log("SRVBoardThreadLog.txt").find("Error managing channel AutoTrigger."), std::string::npos);
    param(3, DPPL_PARAM_CH_AUTO_TRG_TIMEOUT)->value = 0;
}

TEST_F(Cycle, ATimeLimitReachedBeforeStopsAChannelWithoutEvents) {
    spectrum(0)->total.realTimeNs = 5000000;
    param(0, DPPL_PARAM_CH_STOP_MODE_REALTIME)->value = 5000000;
    deliver(0, {});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    std::string text = log("SRVBoardThreadLog.txt");
    EXPECT_NE(text.find("Stop criteria for mode '0' met! Stop value = '5000000'"), std::string::npos);
}

TEST_F(Cycle, StopCriteriaFollowTheirModesAndIgnoreZeroLimits) {
    SRVEnergySpectrum_t* s = spectrum(0);
    s->total = {200, 300, 0, 40, 0, 0}; // live, real, dead, entries
    s->rois[0].entries = 7;
    struct Case {
        uint64_t limits[SRV_STOP_MODES];
        bool met;
    } cases[] = {
        {{0, 0, 0, 0}, false},  {{300, 0, 0, 0}, true},  {{301, 0, 0, 0}, false},
        {{0, 200, 0, 0}, true}, {{0, 201, 0, 0}, false}, {{0, 0, 40, 0}, true},
        {{0, 0, 41, 0}, false}, {{0, 0, 0, 7}, true},    {{0, 0, 0, 8}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SRV_CheckStopCriteria(board_, s, c.limits), c.met)
            << c.limits[0] << " " << c.limits[1] << " " << c.limits[2] << " " << c.limits[3];
    uint64_t limits[SRV_STOP_MODES];
    param(0, DPPL_PARAM_CH_STOP_MODE_LIVETIME)->value = -5; // a negative limit is no limit
    param(0, DPPL_PARAM_CH_STOP_MODE_TOTAL_COUNTS)->value = 1e6;
    ASSERT_TRUE(SRV_GetStopLimits(board_, 0, limits));
    EXPECT_EQ(limits[1], 0u);
    EXPECT_EQ(limits[2], 1000000u);
}

// Bin counts and energies that would index past the histogram: every event
// is counted once, as an entry, an underflow or an overflow, and no bin at or
// above the bin count (nor the histogram's size) is touched.
TEST_F(Cycle, NoBinCountOrEnergyIndexesPastTheSpectrum) {
    const double nan = std::nan("");
    for (double nbins : {0.0, 1000.0, 40000.0, 65536.0, 131072.0, 32768.0, -8.0, nan, 1.0}) {
        SCOPED_TRACE(testing::Message() << "nbins " << nbins);
        SRVEnergySpectrum_t* s = spectrum(0);
        ASSERT_EQ(SRV_ClearEnergySpectrum(s), SRV_SUCCESS);
        std::memset(&s->gainStabilizer.hist[0][0], 0, sizeof s->gainStabilizer.hist[0]);
        *s->nbins = nbins;
        std::vector<Event> events;
        for (uint32_t energy = 0; energy <= 65535; energy += 97)
            events.push_back({static_cast<uint16_t>(energy)});
        events.push_back({65535});
        deliver(0, events);
        ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        uint32_t bins = SRV_SpectrumBinCount(s);
        EXPECT_LE(bins, static_cast<uint32_t>(SRV_SPECTRUM_MAX_BINS));
        EXPECT_EQ(s->total.entries + s->total.overflows + s->total.underflows, events.size());
        EXPECT_EQ(sumOfBins(0, 0, bins), s->total.entries);
        EXPECT_EQ(sumOfBins(0, bins), 0u);
        // The record after the histogram is untouched.
        EXPECT_EQ(s->gainStabilizer.hist[0][0], 0.0);
    }
}

TEST_F(Cycle, TheBinShiftStaysWithinTheHistogramForAnyScale) {
    SRVEnergySpectrum_t* s = spectrum(0);
    uint32_t adcBits = s->adcBits;
    struct Case {
        uint32_t adcBits;
        double nbins;
        uint32_t shift;
    } cases[] = {
        {14, 4096, 2}, {14, 16384, 0}, {14, 32768, 0}, {14, 1000, 5},
        {14, 0, 14},   {16, 256, 8},   {40, 1024, 16}, {0, 1024, 0},
    };
    for (const Case& c : cases) {
        s->adcBits = c.adcBits;
        *s->nbins = c.nbins;
        EXPECT_EQ(SRV_SpectrumBinShift(s), c.shift) << c.adcBits << " bits, " << c.nbins << " bins";
    }
    s->adcBits = adcBits;
    // A bin count that is not a power of two fills bins below it only.
    *s->nbins = 1000;
    deliver(0, 1, 16383);
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(s->counts[511], 1u);
}

// List mode and the histogram see one bin scale: every listed energy is the
// bin that the same cycle counted the event in, for any bin count.
TEST_F(Cycle, ListedEnergiesAreTheBinsTheCycleCounted) {
    SRVListSave_t* list = &board_->channels[0].listSave;
    list->enabled = 1;
    list->withEnergy = 1;
    list->keepFlag400 = 1;
    list->allEnergies = 1;
    list->format = SRV_LIST_FORMAT_NONE;
    list->bufferSize = 64;
    SRV_ResizeListBuffers(list);
    for (double nbins : {4096.0, 3000.0, 6144.0, 1000.0, 16384.0}) {
        SCOPED_TRACE(testing::Message() << "nbins " << nbins);
        ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
        *spectrum(0)->nbins = nbins;
        std::vector<Event> events;
        for (uint16_t energy : {0, 7, 2620, 5540, 9410, 16383})
            events.push_back({energy});
        deliver(0, events);
        ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        ASSERT_EQ(list->count, events.size());
        std::map<uint16_t, uint32_t> listed;
        for (uint32_t i = 0; i < list->count; i++)
            listed[list->energies[i]]++;
        for (const auto& [bin, count] : listed)
            EXPECT_EQ(spectrum(0)->counts[bin], count) << "bin " << bin;
        EXPECT_EQ(spectrum(0)->total.entries, events.size());
        EXPECT_EQ(sumOfBins(0), events.size());
        list->count = 0;
    }
    SRV_FreeListSave(list);
    list->enabled = 0;
}

TEST_F(Cycle, SoftwareSCACountsOnlyOnTheRegisterLevelDevice) {
    param(0, DPPL_PARAM_CH_SCA_ENABLE)->value = 1;
    c_Parameter_t* counts = param(0, DPPL_PARAM_CH_SCA_COUNTS);
    counts->value = 0;
    deliver(0, {{100}, {200, 0x20000}, {300}, {400, EVTFLAG_PSEUDO}});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(counts->value, 0.0);
    setFamily(DPPL_FAMILY_MORVANE);
    deliver(0, {{100}, {200, 0x20000}, {300}, {400, EVTFLAG_PSEUDO}});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(counts->value, 2.0);
    param(0, DPPL_PARAM_CH_SCA_ENABLE)->value = 0;
}

TEST_F(Cycle, TheSCARateIsCountsPerMillisecondSinceTheLastRate) {
    setFamily(DPPL_FAMILY_MORVANE);
    param(0, DPPL_PARAM_CH_SCA_ENABLE)->value = 1;
    ASSERT_EQ(SRV_ResetSCACounters(board_, 0, 12345), SRV_SUCCESS);
    EXPECT_EQ(param(0, DPPL_PARAM_CH_SCA_START_TIME)->value, 12345.0);
    param(0, DPPL_PARAM_CH_SCA_COUNTS)->value = 3000;
    ASSERT_EQ(SRV_UpdateSCARate(board_, 0, 1500), SRV_SUCCESS);
    EXPECT_DOUBLE_EQ(param(0, DPPL_PARAM_CH_SCA_RATE)->value, 2.0);
    param(0, DPPL_PARAM_CH_SCA_COUNTS)->value = 3500;
    ASSERT_EQ(SRV_UpdateSCARate(board_, 0, 2000), SRV_SUCCESS);
    EXPECT_DOUBLE_EQ(param(0, DPPL_PARAM_CH_SCA_RATE)->value, 0.25);

    // Through the cycle: more than a second since the channel's SCA time.
    board_->channels[0].scaTime = c_get_time() - 2000;
    param(0, DPPL_PARAM_CH_SCA_COUNTS)->value = 3500 + 4000;
    deliver(0, {});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_NEAR(param(0, DPPL_PARAM_CH_SCA_RATE)->value, 2.0, 0.01);
    EXPECT_GE(board_->channels[0].scaTime + 100, c_get_time());

    // With the SCA off a reset changes nothing.
    param(0, DPPL_PARAM_CH_SCA_ENABLE)->value = 0;
    ASSERT_EQ(SRV_ResetSCACounters(board_, 0, 99), SRV_SUCCESS);
    EXPECT_EQ(param(0, DPPL_PARAM_CH_SCA_START_TIME)->value, 12345.0);
}

TEST_F(Cycle, EventTimesAndThePeriodMoveWithTheCycle) {
    uint64_t before = c_get_time();
    board_->lastEventTime = before - 1000;
    spectrum(0)->period = 100;
    spectrum(0)->periodStart = before - 200;
    spectrum(1)->period = 0;
    spectrum(1)->periodStart = before - 200;
    board_->channels[1].lastEventTime = before - 1000;
    deliver(0, 1, 10);
    deliver(1, {});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_GE(board_->channels[0].lastEventTime, before);
    EXPECT_GE(board_->lastEventTime, before);
    EXPECT_EQ(board_->channels[1].lastEventTime, before - 1000);
    EXPECT_GE(spectrum(0)->periodStart, before);
    EXPECT_EQ(spectrum(1)->periodStart, before - 200);
}

// ------------------------------------------------------------ dead time

TEST_F(Cycle, WithoutInputTheTimesAreTheChannelSums) {
    ASSERT_EQ(SRV_AccumulateDeadTime(board_, 0, 1000000, 250000), 0);
    ASSERT_EQ(SRV_AccumulateDeadTime(board_, 0, 1000000, 250000), 0);
    const SRVSpectrumCounters_t& t = spectrum(0)->total;
    EXPECT_EQ(t.realTimeNs, 2000000u);
    EXPECT_EQ(t.deadTimeNs, 500000u);
    EXPECT_EQ(t.liveTimeNs, 1500000u);
    EXPECT_EQ(board_->channels[0].realTimeSum, 2000000u);
}

TEST_F(Cycle, TheLiveTimeIsCorrectedForTheInputRate) {
    double rise = param(0, DPPL_PARAM_CH_RCCR2_RISE)->value;
    double trise = param(0, DPPL_PARAM_CH_TRAP_TRISE)->value;
    double tflat = param(0, DPPL_PARAM_CH_TRAP_TFLAT)->value;
    double ftd = param(0, DPPL_PARAM_CH_TRAP_FTD)->value;
    double holdoff = param(0, DPPL_PARAM_CH_PEAK_HOLDOFF)->value;
    board_->channels[0].inputCount = 50000;
    ASSERT_EQ(SRV_AccumulateDeadTime(board_, 0, 1000000000, 100000000), 0);

    uint64_t live = 900000000;
    double y = 50000.0 / live;
    double yc = y / std::fma(-(rise * 1.88), y, 1.0);
    double t = 2 * (trise + 170.0) + holdoff + ftd * 0.01 * tflat + tflat;
    uint64_t corrected = static_cast<uint64_t>(std::exp(-t * yc) * live);
    const SRVSpectrumCounters_t& total = spectrum(0)->total;
    EXPECT_EQ(total.liveTimeNs, corrected);
    EXPECT_LT(total.liveTimeNs, live);
    EXPECT_EQ(total.realTimeNs, 1000000000u);
    EXPECT_EQ(total.liveTimeNs + total.deadTimeNs, total.realTimeNs);
    EXPECT_DOUBLE_EQ(board_->channels[0].icrCounts, 1e9 * yc);
    EXPECT_GT(board_->channels[0].icrCounts, 50000.0);
}

TEST_F(Cycle, DeadTimeAboveTheRealTimeLeavesNoLiveTimeInsteadOfWrapping) {
    board_->channels[0].inputCount = 10;
    ASSERT_EQ(SRV_AccumulateDeadTime(board_, 0, 1000, 4000), 0);
    EXPECT_EQ(spectrum(0)->total.liveTimeNs, 0u);
    EXPECT_EQ(spectrum(0)->total.realTimeNs, 1000u);
    // A correction model driven past its range (a rate the model can't hold)
    // still keeps the live time within the real time.
    ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
    double rise = param(0, DPPL_PARAM_CH_RCCR2_RISE)->value;
    param(0, DPPL_PARAM_CH_RCCR2_RISE)->value = 1e9;
    board_->channels[0].inputCount = 1000;
    EXPECT_EQ(SRV_AccumulateDeadTime(board_, 0, 1000, 0), 0);
    const SRVSpectrumCounters_t& t = spectrum(0)->total;
    EXPECT_LE(t.liveTimeNs, 1000u);
    EXPECT_EQ(t.liveTimeNs + t.deadTimeNs, 1000u);
    param(0, DPPL_PARAM_CH_RCCR2_RISE)->value = rise;
}

// Past the model's pole (1 - 1.88 x RISE x y <= 0) the corrected rate would
// be infinite or negative: the input count stays finite, the measured count
// scaled to the real time, and so does the live time.
TEST_F(Cycle, ADeadTimePastTheModelsPoleKeepsTheInputCountFinite) {
    double rise = param(0, DPPL_PARAM_CH_RCCR2_RISE)->value;
    const double rate = 1000.0 / 1e6; // counts per ns of live time
    for (double atOrPast : {1.0, 1.5, 100.0}) {
        SCOPED_TRACE(atOrPast);
        ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
        param(0, DPPL_PARAM_CH_RCCR2_RISE)->value = atOrPast / (1.88 * rate);
        board_->channels[0].inputCount = 1000;
        ASSERT_EQ(SRV_AccumulateDeadTime(board_, 0, 1000000, 0), 0);
        double icr = board_->channels[0].icrCounts;
        EXPECT_TRUE(std::isfinite(icr));
        EXPECT_DOUBLE_EQ(icr, 1000.0);
        const SRVSpectrumCounters_t& t = spectrum(0)->total;
        EXPECT_LE(t.liveTimeNs, 1000000u);
        EXPECT_EQ(t.liveTimeNs + t.deadTimeNs, 1000000u);
    }
    param(0, DPPL_PARAM_CH_RCCR2_RISE)->value = rise;
    EXPECT_DOUBLE_EQ(SRV_CorrectedInputRate(0.5, 0.1), 0.5 / (1.0 - 0.094));
}

// A firmware without real and dead time, or a replay without a board to read
// them from, is reported once in a run, not every cycle, and the cycle's
// other steps go on.
TEST_F(Cycle, MissingBoardTimeIsReportedOnceARun) {
    const std::string reported = "Error in c_getRealtimeAndDeadtime";
    struct Case {
        const char* name;
        uint16_t minorRev; // the Orlu firmware has the counters from 65 on
        uint8_t replay;
    } cases[] = {{"firmware without counters", 10, 0},
                 {"replay", static_cast<uint16_t>(dig_->descriptor.DPPMinorRev), 1}};
    const uint16_t minorRev = dig_->descriptor.DPPMinorRev;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dig_->descriptor.DPPMinorRev = c.minorRev;
        dig_->replay = c.replay;
        for (SRVChannel_t& channel : board_->channels)
            channel.boardTimeMissing = 0; // as a start leaves it
        if (c.replay)
            ZarnSim_FailRegisterAccess(0x10DC, 1, -1); // what a replay's register read gives
        size_t before = occurrences(log("SRVBoardThreadLog.txt"), reported);
        for (int cycle = 0; cycle < 5; cycle++) {
            deliver(0, 2, 100);
            ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        }
        EXPECT_EQ(occurrences(log("SRVBoardThreadLog.txt"), reported), before + 1);
        EXPECT_EQ(spectrum(0)->total.entries, 10u);
        ASSERT_EQ(SRV_ClearEnergySpectrum(spectrum(0)), SRV_SUCCESS);
    }
    dig_->descriptor.DPPMinorRev = minorRev;
    dig_->replay = 0;
    for (SRVChannel_t& channel : board_->channels)
        channel.boardTimeMissing = 0;
    ZarnSim_ResetFaults();
}

// A step that fails ends the channel's events of the cycle: the events
// before it, and the failing one, are in every counter, the later ones in
// none, on top of what earlier cycles counted.
TEST_F(Cycle, AFailedWaveformCopyEndsTheEventsWithThoseBeforeItCounted) {
    SRVEnergySpectrum_t* s = spectrum(0);
    *s->nbins = 4096; // shift 2
    *s->lld = 100;
    *s->rois[0].low = 500;
    *s->rois[0].high = 600;
    deliver(0, {{4 * 550}, {4 * 50}, {4 * 700}});
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    // The copy fails at the first event, which has no waveform.
    waveforms()->value = 1;
    deliver(0, {{4 * 550}, {4 * 550}, {4 * 50}});
    c_Waveform_t* kept = dig_->channels[0].events[0].waveform;
    dig_->channels[0].events[0].waveform = nullptr;
    int status = SRV_ProcessCycle(board_);
    dig_->channels[0].events[0].waveform = kept;
    waveforms()->value = 0;
    ASSERT_EQ(status, 0);
    EXPECT_NE(log("SRVBoardThreadLog.txt").find("Error copying channel 0 waveform (err = '-40')."), std::string::npos);
    EXPECT_EQ(board_->channels[0].inputCount, 4u);
    EXPECT_EQ(s->total.entries, 3u);
    EXPECT_EQ(s->total.underflows, 1u);
    EXPECT_EQ(s->rois[0].entries, 2u);
    EXPECT_EQ(s->counts[550], 2u);
    EXPECT_EQ(s->cycle.entries, 1u);
    EXPECT_EQ(s->cycle.underflows, 0u);
}

// A dead-time step that fails leaves the steps after it that need no board
// time running: the event times among them.
TEST_F(Cycle, AFailedDeadTimeStepSkipsNoOtherStep) {
    board_->channels[0].lastEventTime = c_get_time() - 1000;
    ZarnSim_FailRegisterAccess(0x10DC, 1, -1);
    deliver(0, 3, 100);
    const std::string failed = "Error in DeadTime calculations (-11).";
    size_t failures = occurrences(log("SRVBoardThreadLog.txt"), failed);
    uint64_t before = c_get_time();
    ASSERT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_EQ(occurrences(log("SRVBoardThreadLog.txt"), failed), failures + 1);
    EXPECT_GE(board_->channels[0].lastEventTime, before);
    ZarnSim_ResetFaults();
}

} // namespace

namespace {

// The whole path on the simulated board: the library acquires and decodes,
// the cycle fills the spectrum from what it decoded.
TEST_F(Cycle, AnAcquisitionOfTheSimulatedBoardFillsTheSpectrumWithConsistentTimes) {
    // The board's own buffers for a real readout; the hand-made events of
    // the other tests need the larger ones back afterwards.
    ASSERT_EQ(c_brealloc(dig_), 0);
    struct Restore {
        c_Digitizer_t* dig;
        ~Restore() { c_bfixedealloc(dig, 1u << 20, 70000, 1, 64); }
    } restore{dig_};
    ASSERT_EQ(c_bstarta(dig_), 0);
    uint64_t until = c_get_time() + 600;
    while (c_get_time() < until) {
        int32_t bytes = 0;
        ASSERT_EQ(c_getDPPEvents(dig_, &bytes), 0);
        ASSERT_EQ(SRV_ProcessCycle(board_), 0);
        c_sleep(5);
    }
    ASSERT_EQ(c_bstopa(dig_), 0);
    const SRVEnergySpectrum_t* s = spectrum(0);
    // The board's profile puts 30 % of its pulses at 2620 and 25 % at 5540
    // (ADC counts; with 16384 bins of a 14-bit ADC a bin is a count).
    EXPECT_GT(sumOfBins(0, 2580, 2660), s->total.entries * 15 / 100);
    EXPECT_GT(sumOfBins(0, 5500, 5580), s->total.entries * 10 / 100);
    EXPECT_GT(s->total.entries, 50u);
    EXPECT_EQ(sumOfBins(0), s->total.entries);
    EXPECT_GE(board_->channels[0].inputCount, s->total.entries);
    EXPECT_GT(s->total.realTimeNs, 0u);
    EXPECT_EQ(s->total.liveTimeNs + s->total.deadTimeNs, s->total.realTimeNs);
}

} // namespace
