// Statistics of the event source: rate, line centroid, pile-up, dead time,
// seeding, and the waveforms.
#include "SimBoardTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <thread>

using namespace simtest;

namespace {

const char* kOnePeak = R"(<?xml version="1.0"?>
<SimulatedBoards>
  <Board name="line">
    <Address link="usb" number="0"/>
    <Info model="L1" modelNumber="1" channels="4" family="16" boardFirmware="1.0" channelFirmware="128.70" adcBits="14"/>
    <Signal rate="5000" resolvingTime="1000" noise="3" riseTime="20" decayTime="2000">
      <Peak centroid="3000" sigma="10" weight="1"/>
      <Continuum weight="0"/>
    </Signal>
  </Board>
  <Board name="lines">
    <Address link="usb" number="1"/>
    <Info model="L2" modelNumber="2" channels="2" family="16" boardFirmware="1.0" channelFirmware="128.70" adcBits="14"/>
    <Signal rate="10000">
      <Peak centroid="3000" sigma="20" weight="2"/>
      <Peak centroid="6000" sigma="50" weight="1"/>
      <Continuum weight="1" slope="300"/>
    </Signal>
  </Board>
</SimulatedBoards>
)";

class SimBoardSource : public ::testing::Test {
protected:
    void SetUp() override {
        ZarnSim_ResetFaults();
        ASSERT_EQ(0, board.result);
        ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_MANUAL);
    }
    void TearDown() override { ZarnSim_ResetFaults(); }
    void Write(uint32_t address, uint32_t value) {
        EXPECT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle, address, value));
    }
    // Runs for seconds of board time, reading as it goes so that nothing is lost.
    Decoded Acquire(double seconds, double step = 0.05) { return AcquireOn(board, seconds, step); }
    Decoded AcquireOn(const OpenBoard& on, double seconds, double step = 0.05) {
        Decoded all;
        EXPECT_EQ(0, ZARN_DGTZ_SWStartAcquisition(on.handle));
        for (double t = 0; t < seconds - 1e-9; t += step) {
            ZarnSim_AdvanceClock(on.link, static_cast<uint64_t>(step * 1e9));
            Append(all, DrainBoard(on.link));
        }
        EXPECT_EQ(0, ZARN_DGTZ_SWStopAcquisition(on.handle));
        Append(all, DrainBoard(on.link));
        return all;
    }
    static void Append(Decoded& all, const Decoded& d) {
        all.wellFormed = all.wellFormed && d.wellFormed;
        all.aggregates += d.aggregates;
        all.events.insert(all.events.end(), d.events.begin(), d.events.end());
    }
    TestEncoderScope encoder{128};
    EnvScope file{"ZARN_SIMBOARD_FILE", WriteProfiles("Line.xml", kOnePeak)};
    OpenBoard board{0, 0};
};

TEST_F(SimBoardSource, RateAndCentroidWithinTheirStatistics) {
    ZarnSim_SetSeed(board.link, 7);
    Decoded d = Acquire(4.0);
    ASSERT_TRUE(d.wellFormed);
    // 4 channels x 5000/s x 4 s = 80000 expected, sigma ~283
    double expected = 4 * 5000 * 4.0;
    EXPECT_NEAR(expected, static_cast<double>(d.events.size()), 5 * std::sqrt(expected));
    for (uint32_t c = 0; c < 4; ++c) {
        uint64_t generated = 0, pileups = 0, lost = 0;
        ZarnSim_GetChannelCounts(board.link, c, &generated, &pileups, &lost);
        EXPECT_EQ(0u, lost);
        size_t delivered = std::count_if(d.events.begin(), d.events.end(), [c](auto& e) { return e.channel == c; });
        EXPECT_EQ(generated, delivered) << "channel " << c;
    }
    double sum = 0;
    size_t n = 0;
    for (const TestEvent& e : d.events) {
        if (e.flags & ZARN_SIM_EVENT_PILEUP)
            continue;
        sum += e.energy;
        ++n;
    }
    double mean = sum / n;
    EXPECT_NEAR(3000.0, mean, 5 * 10.0 / std::sqrt(n)); // sigma 10 (plus rounding)
    // time tags ascend within a channel and stay within the run (10 ns periods)
    uint64_t last[4] = {0, 0, 0, 0};
    for (const TestEvent& e : d.events) {
        EXPECT_GE(e.timeTag, last[e.channel]);
        last[e.channel] = e.timeTag;
        EXPECT_LT(e.timeTag, 400'000'000u);
    }
}

// Every component of the line spectrum by its share, centroid and width
// (the continuum by its mean), on a board of two lines and a continuum.
TEST_F(SimBoardSource, LineSpectrumFollowsItsWeightsAndWidths) {
    OpenBoard lines{0, 1};
    ASSERT_EQ(0, lines.result);
    ZarnSim_SetClockMode(lines.link, ZARN_SIM_CLOCK_MANUAL);
    ZarnSim_SetSeed(lines.link, 19);
    Decoded d = AcquireOn(lines, 1.0, 0.1);
    ASSERT_TRUE(d.wellFormed);
    struct Component {
        const char* name;
        double low, high; // energies counted as this component's: 25 sigma apart from the others
        double share, mean, sigma;
        double spread; // standard error of the deviation in sigma / sqrt(2k): 2 for the exponential
    };
    const Component components[] = {{"continuum", 0, 2500, 0.25, 300, 300, 2},
                                    {"line 3000", 2500, 4500, 0.5, 3000, 20, 1},
                                    {"line 6000", 4500, 16384, 0.25, 6000, 50, 1}};
    const double n = static_cast<double>(d.events.size());
    ASSERT_GT(n, 15000.0); // 2 channels x 10000/s x 1 s
    for (const Component& c : components) {
        std::vector<double> energies;
        for (const TestEvent& e : d.events)
            if (e.energy >= c.low && e.energy < c.high)
                energies.push_back(e.energy);
        const double k = static_cast<double>(energies.size());
        const double mean = std::accumulate(energies.begin(), energies.end(), 0.0) / k;
        double squares = 0;
        for (double e : energies)
            squares += (e - mean) * (e - mean);
        const double sigma = std::sqrt(squares / (k - 1));
        // five standard errors of each estimate
        EXPECT_NEAR(c.share, k / n, 5 * std::sqrt(c.share * (1 - c.share) / n)) << c.name;
        EXPECT_NEAR(c.mean, mean, 5 * c.sigma / std::sqrt(k)) << c.name;
        EXPECT_NEAR(c.sigma, sigma, 5 * c.spread * c.sigma / std::sqrt(2 * k)) << c.name;
    }
}

TEST_F(SimBoardSource, PileUpFollowsTheResolvingTime) {
    ZarnSim_SetSeed(board.link, 11);
    ZarnSim_SetRate(board.link, -1, 100000); // 100 kcps, 1 us resolving time
    Decoded d = Acquire(0.2, 0.01);
    size_t piled =
        std::count_if(d.events.begin(), d.events.end(), [](auto& e) { return (e.flags & ZARN_SIM_EVENT_PILEUP) != 0; });
    // a pulse is piled up when its neighbour on either side is closer than tau
    double p = 1 - std::exp(-2 * 100000 * 1e-6);
    double n = static_cast<double>(d.events.size());
    EXPECT_NEAR(p, piled / n, 5 * std::sqrt(p * (1 - p) / n));
}

TEST_F(SimBoardSource, DeadTimeRegisterGivesTheBusyFraction) {
    ZarnSim_SetSeed(board.link, 5);
    ZarnSim_SetRate(board.link, -1, 100000);
    Write(0x8120, 0x1);
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    uint32_t value = 0;
    ASSERT_EQ(0, ZARN_DGTZ_ReadRegister(board.handle, 0x10E0, &value)); // clears the count
    double real = 0, dead = 0;
    for (int i = 0; i < 20; ++i) {
        ZarnSim_AdvanceClock(board.link, 10'000'000);
        DrainBoard(board.link);
        ASSERT_EQ(0, ZARN_DGTZ_ReadRegister(board.handle, 0x10DC, &value));
        real += value;
        ASSERT_EQ(0, ZARN_DGTZ_ReadRegister(board.handle, 0x10E0, &value));
        dead += value;
    }
    EXPECT_EQ(20'000'000.0, real); // 0.2 s in 10 ns periods
    // busy union of 1 us windows at 100 kcps: 1 - exp(-r tau) = 9.5 %
    EXPECT_NEAR(1 - std::exp(-0.1), dead / real, 0.01);
}

TEST_F(SimBoardSource, SeedMakesRunsReproducible) {
    auto run = [this](uint64_t seed) {
        ZarnSim_SetSeed(board.link, seed);
        Decoded d = Acquire(0.1);
        std::vector<uint64_t> fingerprint;
        for (const TestEvent& e : d.events)
            fingerprint.push_back(e.timeTag * 65536 + e.energy + e.channel);
        return fingerprint;
    };
    std::vector<uint64_t> a = run(1234), b = run(1234), c = run(4321);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST_F(SimBoardSource, DisabledAndGatedChannelsStaySilent) {
    Write(0x8120, 0x5); // channels 0 and 2
    Write(0x12A0, 0);   // channel 2's run gate closed
    Decoded d = Acquire(0.1);
    ASSERT_FALSE(d.events.empty());
    for (const TestEvent& e : d.events)
        EXPECT_EQ(0u, e.channel);
}

TEST_F(SimBoardSource, ShutDownChannelsProduceNothing) {
    ZarnSim_RaiseCondition(board.link, ZARN_SIM_COND_ADC_SHUTDOWN, 0x2);
    Decoded d = Acquire(0.1);
    for (const TestEvent& e : d.events)
        EXPECT_NE(1u, e.channel);
    uint32_t dead = 0;
    ASSERT_EQ(0, ZARN_DGTZ_ReadRegister(board.handle, 0x11E0, &dead));
    EXPECT_EQ(10'000'000u, dead) << "a shut-down channel is dead for the whole run";
}

TEST_F(SimBoardSource, WaveformsFollowRecordLengthPolarityAndHeight) {
    ZarnSim_SetSeed(board.link, 3);
    Write(0x8000, (1u << 16) | 0x100);
    Write(0x8020, 50);       // 400 samples
    Write(0x8038, 25);       // 100 samples before the trigger
    Write(0x1180, 1u << 16); // channel 1 negative, its baseline near the top
    Write(0x1198, 0x1999);
    const double full = 16383;
    const double baselines[2] = {full * (1 - 0xE666 / 65535.0), full * (1 - 0x1999 / 65535.0)};
    Write(0x8120, 0x3);
    Decoded d = Acquire(0.01);
    ASSERT_GT(d.events.size(), 50u);
    for (const TestEvent& e : d.events) {
        if (e.flags & ZARN_SIM_EVENT_PILEUP)
            continue;
        ASSERT_EQ(400u, e.samples.size());
        double baseline = baselines[e.channel];
        double before = std::accumulate(e.samples.begin(), e.samples.begin() + 90, 0.0) / 90;
        EXPECT_NEAR(baseline, before, 3.0);
        int extreme = e.channel == 1 ? *std::min_element(e.samples.begin(), e.samples.end())
                                     : *std::max_element(e.samples.begin(), e.samples.end());
        EXPECT_NEAR(e.channel == 1 ? baseline - e.energy : baseline + e.energy, extreme, 15.0);
        EXPECT_NEAR(baseline, e.samples[99], 15.0) << "the pulse starts after the pre-trigger";
    }
}

// The noise before the pulse: the profile's deviation (3 counts, plus the
// rounding to whole counts), white within an event and independent between
// events; after it, the pulse decays with the profile's decay time.
TEST_F(SimBoardSource, WaveformNoiseIsWhiteAndThePulseDecaysWithTheProfile) {
    ZarnSim_SetSeed(board.link, 23);
    Write(0x8000, (1u << 16) | 0x100);
    Write(0x8020, 50); // 400 samples
    Write(0x8038, 25); // 100 samples before the trigger
    Write(0x8120, 0x1);
    const double baseline = 16383 * (1 - 0xE666 / 65535.0);
    Decoded d = Acquire(0.04);
    ASSERT_GT(d.events.size(), 150u);
    constexpr size_t kQuiet = 90;
    double squares = 0, lagged = 0, across = 0;
    size_t samples = 0, pairs = 0, crossed = 0;
    const std::vector<int16_t>* previous = nullptr;
    for (const TestEvent& e : d.events) {
        ASSERT_EQ(400u, e.samples.size());
        for (size_t i = 0; i < kQuiet; ++i) {
            double r = e.samples[i] - baseline;
            squares += r * r;
            ++samples;
            if (i + 1 < kQuiet) {
                lagged += r * (e.samples[i + 1] - baseline);
                ++pairs;
            }
            if (previous) {
                across += r * ((*previous)[i] - baseline);
                ++crossed;
            }
        }
        previous = &e.samples;
        if (e.flags & ZARN_SIM_EVENT_PILEUP)
            continue;
        // 2000 ns after the trigger (within one 10 ns sample), rise 20 ns, decay 2000 ns
        const double tr = 20, td = 2000, t = 1995;
        const double tPeak = std::log(td / tr) * tr * td / (td - tr);
        const double pulse = (std::exp(-t / td) - std::exp(-t / tr)) / (std::exp(-tPeak / td) - std::exp(-tPeak / tr));
        // 15: five noise deviations, and the half sample of the unknown fine time
        EXPECT_NEAR(baseline + e.energy * pulse, e.samples[300], 15.0 + e.energy * 0.0025);
    }
    const double variance = squares / samples;
    // five standard errors of each estimate
    EXPECT_NEAR(std::sqrt(9.0 + 1.0 / 12), std::sqrt(variance), 5 * 3.0 / std::sqrt(2.0 * samples));
    EXPECT_NEAR(0.0, lagged / pairs / variance, 5 / std::sqrt(static_cast<double>(pairs)));
    EXPECT_NEAR(0.0, across / crossed / variance, 5 / std::sqrt(static_cast<double>(crossed)));
}

TEST_F(SimBoardSource, FullMemoryLosesEventsAndCountsThemDead) {
    Write(0x8120, 0x1);
    Write(0x800C, 1); // two aggregates of memory
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    ZarnSim_AdvanceClock(board.link, 100'000'000); // 500 pulses, room for 32
    uint64_t generated = 0, pileups = 0, lost = 0;
    ZarnSim_GetChannelCounts(board.link, 0, &generated, &pileups, &lost);
    Decoded d = DrainBoard(board.link);
    EXPECT_EQ(32u, d.events.size());
    EXPECT_EQ(generated - lost, 32u + 0u);
    ASSERT_EQ(0, ZARN_DGTZ_SWStopAcquisition(board.handle));
    EXPECT_NEAR(500.0, static_cast<double>(generated), 5 * std::sqrt(500.0));
}

TEST_F(SimBoardSource, ConcurrentCallersOnOneBoardAreSafe) {
    ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_AS_FAST_AS_READ);
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    std::atomic<bool> bad{false};
    std::thread reader([&] {
        for (int i = 0; i < 200; ++i) {
            std::vector<uint32_t> words = ReadTransfer(board.link, 1u << 16);
            if (!DecodeBuffer(words.data(), words.size()).wellFormed)
                bad = true;
        }
    });
    std::thread writer([&] {
        for (uint32_t i = 0; i < 2000; ++i) {
            uint32_t value = 0;
            if (ZarnComm_Write32(board.link, 0x1100 | 0x6C, i) != 0)
                bad = true;
            if (ZARN_DGTZ_ReadRegister(board.handle, 0x10DC, &value) != 0)
                bad = true;
        }
    });
    reader.join();
    writer.join();
    EXPECT_FALSE(bad);
}

} // namespace
