// The gain stabiliser: the net count and centroid above a straight
// baseline, the reference and the weighted correction over five periods on
// slot histograms built by hand, regions that must not index past a slot,
// and the per-cycle step on the simulated board's channel 0 (its interval,
// its modes, collecting the cycle's events, applying the factor).
#include <cmath>
#include <memory>

#include "../spectra/SpectraTestSupport.h"
#include "SRV_GainStabilizer.h"

using namespace spectest;

namespace {

// Counts of a peak centred on `centre` (weights 1, 2, 4, 2, 1 times `scale`:
// a net count of 10 x scale) on a flat baseline over lo .. hi.
void addPeak(double* h, uint32_t lo, uint32_t hi, uint32_t centre, double scale, double baseline = 10) {
    for (uint32_t b = lo; b <= hi; b++)
        h[b] += baseline;
    const double weights[] = {1, 2, 4, 2, 1};
    for (int k = 0; k < 5; k++)
        h[centre - 2 + k] += weights[k] * scale;
}

double slotSum(const SRVGainStabilizer_t* g) {
    double sum = 0;
    for (const auto& slot : g->hist)
        for (double v : slot)
            sum += v;
    return sum;
}

TEST(GainStabStatistics, NetCountAndCentroidAboveAStraightBaseline) {
    struct Case {
        const char* what;
        uint32_t lo, hi, centre;
        double scale;
        double slopePerBin; // baseline b(x) = 10 + slope x
        bool enough;
    } cases[] = {
        {"plenty on a flat baseline", 50, 150, 100, 600, 0, true},
        {"exactly 5000 is not enough", 50, 150, 100, 500, 0, false},
        {"a sloped baseline is subtracted", 50, 150, 90, 600, 2, true},
        {"the last bin of a slot", 32700, 32767, 32750, 600, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<double> h(SRV_SPECTRUM_MAX_BINS, 0.0);
        for (uint32_t b = c.lo; b <= c.hi; b++)
            h[b] = 10 + c.slopePerBin * b;
        addPeak(h.data(), c.lo, c.hi, c.centre, c.scale, 0);
        EXPECT_EQ(SRV_GainStabHasStatistics(h.data(), c.lo, c.hi), c.enough);
        double centroid = -1;
        EXPECT_EQ(SRV_GainStabCentroid(h.data(), c.lo, c.hi, &centroid), c.enough);
        EXPECT_NEAR(centroid, c.centre, 1e-9);
    }
}

TEST(GainStabStatistics, RegionsOutsideASlotHaveNoStatistics) {
    std::vector<double> h(SRV_SPECTRUM_MAX_BINS, 1000.0);
    struct {
        uint32_t lo, hi;
    } regions[] = {{0, 32768}, {100, 99}, {100, 101}, {0xFFFFFFFEu, 1}, {40000, 50000}};
    for (auto& r : regions) {
        double centroid = -1;
        EXPECT_FALSE(SRV_GainStabCentroid(h.data(), r.lo, r.hi, &centroid)) << r.lo << ".." << r.hi;
        EXPECT_EQ(centroid, 0.0);
    }
    EXPECT_FALSE(SRV_GainStabHasStatistics(nullptr, 0, 10));
    // Three bins: both baseline windows lie on the same bins, no 0/0 slope.
    double centroid = -1;
    EXPECT_FALSE(SRV_GainStabCentroid(h.data(), 10, 12, &centroid));
    EXPECT_EQ(centroid, 0.0);
}

// A stabiliser on its own, with the values its parameters would cache.
struct Stabilizer {
    Stabilizer() : g(static_cast<SRVGainStabilizer_t*>(std::calloc(1, sizeof(SRVGainStabilizer_t)))) {
        g->roiLow = &lo;
        g->roiHigh = &hi;
        g->factor = &factor;
        g->interval = &interval;
        g->mode = &mode;
        g->ppmc = &ppmc;
        g->enabled = 1;
    }
    ~Stabilizer() { std::free(g); }
    // One period: a peak at `centre` into the slot being filled, then the
    // update.
    int period(uint32_t centre, double scale = 600) {
        addPeak(g->hist[g->slot], 50, 150, centre, scale);
        return SRV_UpdateGainCorrection(g);
    }
    SRVGainStabilizer_t* g;
    double lo = 50, hi = 150, factor = 1.0, interval = 0, mode = 1, ppmc = 0;
};

TEST(GainStabUpdate, TheFifthPeriodCorrectsByTheWeightedCentroidOfFive) {
    Stabilizer s;
    for (uint32_t k = 1; k <= 4; k++) {
        SCOPED_TRACE(k);
        ASSERT_EQ(s.period(100), 0);
        EXPECT_EQ(s.factor, 1.0);
        EXPECT_EQ(s.g->periodCount, k);
        EXPECT_EQ(s.g->slot, k);
        EXPECT_EQ(s.g->referenceSet, 1);
        EXPECT_DOUBLE_EQ(s.g->reference, 100.0);
    }
    // The peak moves to 104 in the fifth period: the weighted centroid is
    // (15/16 x 100 + 104) / (31/16), and the factor the ratio to it, not
    // 100 / 104.
    ASSERT_EQ(s.period(104), 0);
    const double weighted = (0.9375 * 100 + 104) / 1.9375;
    EXPECT_NEAR(s.factor, 100 / weighted, 1e-12);
    EXPECT_EQ(s.g->periodCount, 5u);
    EXPECT_EQ(s.g->slot, 4u);
    // The slots moved down one: the newest is empty again, the one before
    // holds the peak at 104.
    double centroid = 0;
    EXPECT_TRUE(SRV_GainStabCentroid(s.g->hist[3], 50, 150, &centroid));
    EXPECT_NEAR(centroid, 104, 1e-9);
    for (uint32_t b = 50; b <= 150; b++)
        ASSERT_EQ(s.g->hist[4][b], 0.0);

    // Every further period corrects again, building on the factor.
    double before = s.factor;
    ASSERT_EQ(s.period(104), 0);
    EXPECT_NEAR(s.factor, before * 100 / ((0.4375 * 100 + 1.5 * 104) / 1.9375), 1e-12);
}

TEST(GainStabUpdate, TooLittleStatisticsKeepsCollectingIntoTheSameSlot) {
    Stabilizer s;
    EXPECT_EQ(s.period(100, 400), SRV_ERR_LOW_STATISTICS);
    EXPECT_EQ(s.g->periodCount, 0u);
    EXPECT_EQ(s.g->slot, 0u);
    EXPECT_EQ(s.g->referenceSet, 0);
    // More counts in the same slot reach the limit; the baseline counted
    // twice is subtracted all the same.
    EXPECT_EQ(s.period(100, 200), 0);
    EXPECT_EQ(s.g->periodCount, 1u);
    EXPECT_DOUBLE_EQ(s.g->reference, 100.0);
    EXPECT_EQ(s.factor, 1.0);
}

TEST(GainStabUpdate, RegionsThatDoNotFitASlotCountAsTooLittleStatistics) {
    struct {
        double lo, hi;
    } regions[] = {{-1, 150}, {50, 32768}, {50, 1e12}, {100, 101}, {NAN, 150}, {50, NAN}};
    for (auto& r : regions) {
        Stabilizer s;
        addPeak(s.g->hist[0], 50, 150, 100, 600);
        s.lo = r.lo;
        s.hi = r.hi;
        EXPECT_EQ(SRV_UpdateGainCorrection(s.g), SRV_ERR_LOW_STATISTICS) << r.lo << ".." << r.hi;
        EXPECT_EQ(s.g->periodCount, 0u);
        EXPECT_EQ(SRV_GainStabTakeReference(s.g), SRV_ERR_LOW_STATISTICS);
    }
}

TEST(GainStabState, ResetSwitchAndNullRecords) {
    Stabilizer s;
    ASSERT_EQ(s.period(100), 0);
    s.factor = 1.3;
    s.g->enabled = 0;
    EXPECT_EQ(SRV_ResetGainStabilizer(s.g), 0);
    EXPECT_EQ(s.g->periodCount, 1u) << "a disabled stabiliser is not reset";
    s.g->enabled = 1;
    EXPECT_EQ(SRV_ResetGainStabilizer(s.g), 0);
    EXPECT_EQ(s.g->periodCount, 0u);
    EXPECT_EQ(s.g->slot, 0u);
    EXPECT_EQ(s.g->referenceSet, 0);
    EXPECT_EQ(s.factor, 1.0);
    EXPECT_EQ(slotSum(s.g), 0.0);
    EXPECT_DOUBLE_EQ(s.g->reference, 100.0) << "kept until the next reference is taken";
    EXPECT_EQ(SRV_ResetGainStabilizer(nullptr), SRV_ERR_RESOURCE);
    EXPECT_NE(SRV_ApplyGainCorrection(nullptr, s.g), 0);
}

// The per-cycle step on channel 0 of the simulated board.
class GainStabCycle : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        if (HasFatalFailure())
            return;
        g_ = &spectrum(0)->gainStabilizer;
        for (double* value : {g_->roiLow, g_->roiHigh, g_->factor, g_->interval, g_->mode, g_->ppmc})
            ASSERT_NE(value, nullptr);
        saved_ = {*g_->roiLow, *g_->roiHigh, *g_->interval, *g_->mode, *g_->ppmc};
        *g_->roiLow = 50;
        *g_->roiHigh = 150;
        *g_->interval = 0;
        g_->lastUpdate = 0;
    }
    void TearDown() override {
        g_->enabled = 0;
        *g_->roiLow = saved_[0];
        *g_->roiHigh = saved_[1];
        *g_->interval = saved_[2];
        *g_->mode = saved_[3];
        *g_->ppmc = saved_[4];
        *g_->factor = 1.0;
        SRV_ApplyGainCorrection(board_, g_);
        BoardTest::TearDown();
    }
    // A readout of channel 0: 10 events in every bin of 50 .. 150 and a
    // peak of net 6000 at `centre` (the bin count keeps energy = bin).
    void deliverPeak(uint32_t centre) {
        std::vector<Event> events;
        std::vector<double> h(SRV_SPECTRUM_MAX_BINS, 0.0);
        addPeak(h.data(), 50, 150, centre, 600);
        for (uint32_t b = 50; b <= 150; b++)
            for (int n = 0; n < static_cast<int>(h[b]); n++)
                events.push_back(Event{static_cast<uint16_t>(b)});
        deliver(0, events);
    }
    SRVGainStabilizer_t* g_ = nullptr;
    std::vector<double> saved_;
};

TEST_F(GainStabCycle, NothingHappensWhileDisabledOrBeforeTheIntervalHasPassed) {
    *g_->mode = 1;
    deliverPeak(100);
    EXPECT_EQ(handleGainStabilization(board_, g_), 0);
    EXPECT_EQ(g_->lastUpdate, 0u);
    EXPECT_EQ(slotSum(g_), 0.0);

    ASSERT_EQ(SRV_SwitchGainStabilizer(spectrum(0), 1), 0);
    *g_->interval = 1000;
    g_->lastUpdate = c_get_time();
    uint64_t last = g_->lastUpdate;
    EXPECT_EQ(handleGainStabilization(board_, g_), 0);
    EXPECT_EQ(g_->lastUpdate, last);
    EXPECT_EQ(slotSum(g_), 0.0) << "the cycles between updates collect nothing";
}

TEST_F(GainStabCycle, ModesOffUnknownAndTemperatureWithoutASensor) {
    ASSERT_EQ(SRV_SwitchGainStabilizer(spectrum(0), 1), 0);
    *g_->factor = 1.25;
    *g_->mode = 0;
    EXPECT_EQ(handleGainStabilization(board_, g_), 0);
    EXPECT_GT(g_->lastUpdate, 0u);
    EXPECT_EQ(*g_->factor, 1.25) << "mode 0 applies nothing";

    *g_->mode = 3;
    g_->lastUpdate = 0;
    EXPECT_EQ(handleGainStabilization(board_, g_), -8);
    EXPECT_NE(log("SRV_GainStabilizer.txt").find("Unsupported stabilization mode: 3"), std::string::npos);
    EXPECT_GT(g_->lastUpdate, 0u);

    // The simulated board has no ADC temperature: nothing applied.
    *g_->mode = 2;
    g_->lastUpdate = 0;
    EXPECT_EQ(handleGainStabilization(board_, g_), -1);
    EXPECT_NE(log("SRV_GainStabilizer.txt").find("Cannot get ADC0 temperature, cannot apply gain correction."),
              std::string::npos);
    EXPECT_EQ(*g_->factor, 1.25);

    // Through the cycle a failing stabiliser is logged by the cycle, and the
    // next channel's events of the same readout still reach its spectrum.
    *g_->mode = 3;
    g_->lastUpdate = 0;
    deliver(0, 3, 100);
    deliver(1, 5, 100);
    uint64_t before = sumOfBins(1);
    EXPECT_EQ(SRV_ProcessCycle(board_), 0);
    EXPECT_NE(log("SRVBoardThreadLog.txt").find("Error in handleGainStabilization."), std::string::npos);
    EXPECT_EQ(sumOfBins(1), before + 5);
}

TEST_F(GainStabCycle, PeakModeCollectsEachIntervalsEventsAndCorrectsFromTheFifth) {
    *g_->mode = 1;
    ASSERT_EQ(SRV_SwitchGainStabilizer(spectrum(0), 1), 0);
    ASSERT_EQ(*g_->factor, 1.0);
    deliverPeak(100);
    for (uint32_t k = 1; k <= 4; k++) {
        SCOPED_TRACE(k);
        g_->lastUpdate = 0;
        ASSERT_EQ(handleGainStabilization(board_, g_), 0);
        EXPECT_EQ(g_->periodCount, k);
        EXPECT_EQ(*g_->factor, 1.0);
    }
    EXPECT_DOUBLE_EQ(g_->reference, 100.0);
    deliverPeak(104);
    g_->lastUpdate = 0;
    ASSERT_EQ(handleGainStabilization(board_, g_), 0);
    const double expected = 100 / ((0.9375 * 100 + 104) / 1.9375);
    EXPECT_NEAR(*g_->factor, expected, 1e-6);
    // The factor reached the library's parameter.
    c_Parameter_t* correction = param(0, DPPL_PARAM_CH_FGAIN_TEMP);
    ASSERT_NE(correction, nullptr);
    EXPECT_NEAR(correction->value, expected, 1e-6);
    EXPECT_NE(log("SRV_GainStabilizer.txt").find("New Fine Gain correction value"), std::string::npos);

    // Disabling keeps the factor.
    ASSERT_EQ(SRV_SwitchGainStabilizer(spectrum(0), 0), 0);
    EXPECT_NEAR(*g_->factor, expected, 1e-6);
    EXPECT_EQ(g_->periodCount, 5u);
}

TEST_F(GainStabCycle, EnergiesPastTheSlotsAreNotCollected) {
    // With 16384 bins and 14-bit energies the shift is 0, so a 16-bit energy
    // can name a bin past the 32768 of a slot; a region reaching there must
    // not let it in.
    *g_->mode = 1;
    *g_->roiLow = 0;
    *g_->roiHigh = 70000;
    ASSERT_EQ(SRV_SwitchGainStabilizer(spectrum(0), 1), 0);
    std::vector<Event> events(50, Event{40000});
    events.resize(100, Event{65535});
    deliver(0, events);
    ASSERT_EQ(handleGainStabilization(board_, g_), 0);
    EXPECT_EQ(slotSum(g_), 0.0);
    EXPECT_EQ(g_->periodCount, 0u);
}

} // namespace
