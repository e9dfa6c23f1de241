/* Draq charge driver: what only the Draq board does at open, the simulated
 * encoder decoded field for field, and the group format rules and malformed
 * aggregates on hand-built words. */
#include <gtest/gtest.h>

#include "DriverSupport.h"
#include "ZarnBoard_Draq.h"

using namespace drvtest;

namespace {

/* The shipped board's descriptor, setup refusals and live run are rows of
 * FamilyBoardsTest.cpp. */

TEST(DraqOpen, ShippedBoardEnablesEveryGroupAndReportsPllUnlock) {
    LiveBoard b;
    ASSERT_EQ(0, b.open(DraqQDC()));
    EXPECT_EQ(0xFu, b.peek(0x8120) & 0xFu);
    EXPECT_EQ(0, DRAQ_CheckPLLLock(b.get()));
    ASSERT_EQ(0, ZarnSim_RaiseCondition(b.link(), ZARN_SIM_COND_PLL_UNLOCK, 0));
    EXPECT_EQ(DPPL_ERR_PLL_LOCK_LOSS, DRAQ_CheckPLLLock(b.get()));
    EXPECT_NE(0u, b->failStatus & FAILSTATUS_PLL_UNLOCK);
}

/* ------------------------------------------------------------ round trip */

struct DraqCase {
    const char* name;
    bool waves, extras;
};
void PrintTo(const DraqCase& c, std::ostream* os) { *os << c.name; }

class DraqRoundTrip : public testing::TestWithParam<DraqCase> {};

TEST_P(DraqRoundTrip, EncodedPulsesDecodeFieldForField) {
    const DraqCase& c = GetParam();
    const uint32_t samples = 32;
    Encoder enc(ZarnSim_DraqQDCEncoder, DraqFormat());
    enc.regs[0x8000] = (c.waves ? 1u << 16 : 0) | (c.extras ? 1u << 17 : 0) | (2u << 12);
    std::vector<Pulse> pulses = MakePulses(5, {1, 6, 9, 15}, 30, 3000000000ull, 60000, samples, 12);

    Record r(DraqFormat());
    r.allocate(64, c.waves ? 64 : 0, samples);
    r.channel(9, DPPL_PARAM_CH_TIME_OFFSET, -0.032); /* ns: -32 ps */
    r.load(enc.buffer(pulses, 20));
    ASSERT_EQ(0, r.walk());
    ASSERT_NO_FATAL_FAILURE(ExpectEventsOfPulses(
        r, pulses, {1u, 6u, 9u, 15u},
        [&](uint32_t ch, size_t i, const Pulse& p, const c_DPPEvent_t& e, bool saturated, bool rolled) {
            EXPECT_EQ(saturated ? 0xFFFFu : p.energy, e.energy) << ch << "/" << i;
            EXPECT_EQ(0, e.shortCharge);
            const uint32_t flags = (saturated ? EVTFLAG_SATURATED : 0) | (!c.extras && rolled ? EVTFLAG_ROLLOVER : 0);
            EXPECT_EQ(flags, e.flags) << ch << "/" << i;
            EXPECT_EQ(p.tag * 16000 - (ch == 9 ? 32 : 0), e.timeStamp) << ch << "/" << i;
            EXPECT_EQ(4u * (c.waves ? 4 : 0) + 2 + (c.extras ? 1 : 0), e.sizeWords);
            if (!c.waves) {
                EXPECT_EQ(nullptr, e.waveform);
                return;
            }
            const c_Waveform_t& w = *e.waveform;
            ASSERT_EQ(samples, w.nSamples);
            EXPECT_EQ(5, w.traces[0].probe);
            EXPECT_EQ(24, w.traces[3].probe);
            EXPECT_EQ(26, w.traces[4].probe);
            EXPECT_EQ(15, w.traces[5].probe);
            EXPECT_EQ(20, w.traces[6].probe);
            const int16_t* s0 = (const int16_t*)w.traces[0].samples;
            const uint8_t* d3 = (const uint8_t*)w.traces[3].samples;
            const uint8_t* d4 = (const uint8_t*)w.traces[4].samples;
            for (uint32_t s = 0; s < samples; ++s) {
                ASSERT_EQ(p.wave[s], s0[s]) << s;
                ASSERT_EQ(s >= p.preTrigger && s < p.preTrigger + 16 ? 1 : 0, d3[s]) << s;
                ASSERT_EQ(s >= samples / 2 ? 1 : 0, d4[s]) << s;
            }
        }));
    for (uint32_t ch : {1u, 6u, 9u, 15u})
        EXPECT_EQ(OfChannel(pulses, ch).size(), r->evtCount[ch]);
}

INSTANTIATE_TEST_SUITE_P(Formats, DraqRoundTrip,
                         testing::Values(DraqCase{"ChargeOnly", false, false}, DraqCase{"Extras", false, true},
                                         DraqCase{"Waveforms", true, false},
                                         DraqCase{"WaveformsAndExtras", true, true}),
                         [](const testing::TestParamInfo<DraqCase>& info) { return info.param.name; });

/* ------------------------------------------------------- hand-built words */

constexpr uint32_t kExtras = 1u << 28, kWaves = 1u << 27;

class DraqWords : public testing::Test {
protected:
    DraqWords() : r(DraqFormat()) { r.allocate(4, 4, 8); }
    /* Group 1 (channels 8 to 15), every channel's events from its first slot. */
    int decode(std::vector<uint32_t> words) {
        GENERIC_InvalidateReadCache(r.get());
        uint32_t numbers[8], room[8];
        c_DPPEvent_t* first[8];
        for (uint32_t j = 0; j < 8; ++j) {
            numbers[j] = 8 + j;
            room[j] = r->channels[8 + j].capacity;
            first[j] = r->channels[8 + j].events;
        }
        return DRAQ_DecodeQDCGroupAggregate(r.get(), words.data(), numbers, room, first, counts);
    }
    static uint32_t charge(uint32_t j, uint32_t value) { return (j << 28) | value; }
    Record r;
    uint32_t counts[8] = {};
};

TEST_F(DraqWords, ChargeWordPicksTheChannelAndCarriesSaturation) {
    ASSERT_EQ(0,
              decode({0x80000008u, 0, 100, charge(5, 0x1234), 200, charge(5, 0xFFFF | (1u << 26)), 300, charge(0, 7)}));
    EXPECT_EQ(2u, counts[5]);
    EXPECT_EQ(1u, counts[0]);
    EXPECT_EQ(0u, counts[1]);
    EXPECT_EQ(0x1234, r.event(13, 0).energy);
    EXPECT_EQ(1600000u, r.event(13, 0).timeStamp);
    EXPECT_EQ(EVTFLAG_SATURATED, r.event(13, 1).flags);
    EXPECT_EQ(7, r.event(8, 0).energy);
    EXPECT_EQ(2u, r->evtCount[13]);
    EXPECT_EQ(r.event(13, 1).timeStamp, r->lastChTimeStamp[13]);
}

TEST_F(DraqWords, WaveformWordBitsAndProbes) {
    /* Table D selector 1 (41); every digital bit pair on its own. */
    ASSERT_EQ(0,
              decode({0x80000008u, kWaves | (1u << 22) | 1u, 7, 0x00020001u | (1u << 14) | (1u << 31),
                      0x00040003u | (1u << 12) | (1u << 29) | (1u << 15) | (1u << 30), 0x0FFF0005u, 0, charge(3, 9)}));
    ASSERT_EQ(1u, counts[3]);
    const c_DPPEvent_t& e = r.event(11, 0);
    EXPECT_EQ(9, e.energy);
    EXPECT_EQ(7u * 16000, e.timeStamp);
    const c_Waveform_t& w = *e.waveform;
    ASSERT_EQ(8u, w.nSamples);
    const int32_t probes[7] = {41, 0, 0, 24, 26, 15, 20};
    for (int slot : {0, 3, 4, 5, 6})
        EXPECT_EQ(probes[slot], w.traces[slot].probe) << slot;
    const int16_t analog[8] = {1, 2, 3, 4, 5, 0xFFF, 0, 0};
    const uint8_t digital[4][8] = {{0, 0, 1, 0, 0, 0, 0, 0},  /* bits 12 and 28 */
                                   {0, 0, 0, 1, 0, 0, 0, 0},  /* 13 and 29 */
                                   {1, 0, 0, 1, 0, 0, 0, 0},  /* 14 and 30 */
                                   {0, 1, 1, 0, 0, 0, 0, 0}}; /* 15 and 31 */
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(analog[s], ((const int16_t*)w.traces[0].samples)[s]) << s;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(digital[k][s], ((const uint8_t*)w.traces[3 + k].samples)[s]) << "slot " << 3 + k << " " << s;
    }
}

TEST_F(DraqWords, InvalidChannelIdFailsTheAggregate) {
    EXPECT_EQ(DPPL_ERR_INVALID_EVENT, decode({0x80000006u, 0, 1, charge(2, 1), 2, 0x80000000u | 3}));
    EXPECT_EQ(0u, counts[2]);
}

TEST_F(DraqWords, StoppedChannelIsDecodedButNotDeliveredUnlessReplayed) {
    r.channel(10, DPPL_PARAM_CH_ACQ_RUN, 0);
    r.channel(11, DPPL_PARAM_CH_ACQ_RUN, 1);
    /* More events of the stopped channel than it has slots: they reuse one. */
    std::vector<uint32_t> words = {0x8000000Eu, 0};
    for (uint32_t i = 0; i < 6; ++i) {
        words.push_back(1000 - i * 100); /* falling tags: a roll-over each */
        words.push_back(charge(2, i));
    }
    ASSERT_EQ(0, decode(words));
    EXPECT_EQ(0u, counts[2]);
    EXPECT_EQ(0u, r->evtCount[10]);
    EXPECT_EQ(5u, r->channels[10].rollOver1); /* its time-tag state moved all the same */
    ASSERT_EQ(0, decode({0x80000004u, 0, 5, charge(3, 9)}));
    EXPECT_EQ(1u, counts[3]);
    r->replay = 1;
    ASSERT_EQ(0, decode({0x80000004u, 0, 5, charge(2, 9)}));
    r->replay = 0;
    EXPECT_EQ(1u, counts[2]);
}

TEST_F(DraqWords, WithoutExtrasTimeStampsFollowTheRawTags) {
    ASSERT_EQ(0, decode({0x8000000Au, 0, 0xFFFFFFF0u, charge(1, 1), 0x10, charge(1, 2), 0x20, charge(1, 3), 0x08,
                         charge(1, 4)}));
    ASSERT_EQ(4u, counts[1]);
    EXPECT_EQ(0xFFFFFFF0ull * 16000, r.event(9, 0).timeStamp);
    EXPECT_EQ(((1ull << 32) + 0x10) * 16000, r.event(9, 1).timeStamp);
    EXPECT_EQ(EVTFLAG_ROLLOVER, r.event(9, 1).flags);
    EXPECT_EQ(0u, r.event(9, 2).flags);
    EXPECT_EQ(((2ull << 32) + 0x08) * 16000, r.event(9, 3).timeStamp);
    /* With extras the upper bits replace the count. */
    ASSERT_EQ(0, decode({0x80000005u, kExtras, 0x30, 0x0003, charge(1, 5)}));
    EXPECT_EQ(((3ull << 32) + 0x30) * 16000, r.event(9, 0).timeStamp);
    EXPECT_EQ(0u, r.event(9, 0).flags);
}

TEST_F(DraqWords, MalformedAggregatesAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint32_t> words;
        int code;
    };
    const std::vector<Case> cases = {
        {"header bit 31 clear", {0x00000004u, 0, 1, charge(0, 1)}, DPPL_ERR_INVALID_EVENT},
        {"size below the header", {0x80000001u, 0}, DPPL_ERR_INVALID_EVENT},
        {"size not whole events", {0x80000005u, 0, 1, charge(0, 1), 2}, DPPL_ERR_INVALID_EVENT},
        {"refused analog probe",
         {0x8000000Au, kWaves | (3u << 22) | 1u, 1, 0, 0, 0, 0, charge(0, 1)},
         DPPL_ERR_INVALID_EVENT},
        {"more events than slots",
         {0x8000000Cu, 0, 1, charge(4, 1), 2, charge(4, 1), 3, charge(4, 1), 4, charge(4, 1), 5, charge(4, 1)},
         DPPL_ERR_EVENT_BUFFER_OVERFLOW},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.code, decode(c.words)) << c.what;
        for (uint32_t n : counts)
            EXPECT_EQ(0u, n) << c.what;
    }
    EXPECT_EQ(0, decode({0x80000002u, kExtras}));
}

TEST(DraqWaveforms, WaveformWordsWithoutWaveformRecordFail) {
    Record r(DraqFormat());
    r.allocate(4, 0, 0);
    std::vector<uint32_t> words = {0x80000008u, kWaves | 1u, 1, 0, 0, 0, 0, 0};
    uint32_t numbers[8] = {0, 1, 2, 3, 4, 5, 6, 7}, room[8], counts[8];
    c_DPPEvent_t* first[8];
    for (uint32_t j = 0; j < 8; ++j) {
        room[j] = r->channels[j].capacity;
        first[j] = r->channels[j].events;
    }
    EXPECT_EQ(DPPL_ERR_INVALID_TRACE,
              DRAQ_DecodeQDCGroupAggregate(r.get(), words.data(), numbers, room, first, counts));
}

} // namespace
