/* Tilk pulse-shape driver: what only the Tilk board does at open, the
 * simulated encoder decoded field for field, and the format rules and
 * malformed aggregates on hand-built words. */
#include <gtest/gtest.h>

#include "DriverSupport.h"
#include "ZarnBoard_Tilk.h"

using namespace drvtest;

namespace {

constexpr uint32_t kConfigBase = (1u << 18) | (1u << 19); /* time tag, charge */

/* The shipped board's descriptor, setup refusals and live run are rows of
 * FamilyBoardsTest.cpp. */

TEST(TilkOpen, ShippedBoardSetsUpItsLvdsGroups) {
    LiveBoard b;
    ASSERT_EQ(0, b.open(TilkPSD()));
    EXPECT_EQ(4u, b->descriptor.LVDSGroups);
    EXPECT_NE(0u, b.peek(0x811C) & 0x100u);
}

TEST(TilkOpen, PllUnlockIsReportedAndCleared) {
    LiveBoard b;
    ASSERT_EQ(0, b.open(TilkPSD()));
    EXPECT_EQ(0, TILK_CheckPLLLock(b.get()));
    ASSERT_EQ(0, ZarnSim_RaiseCondition(b.link(), ZARN_SIM_COND_PLL_UNLOCK, 0));
    EXPECT_EQ(DPPL_ERR_PLL_LOCK_LOSS, c_checkStatus(b.get()));
    EXPECT_NE(0u, b->failStatus & FAILSTATUS_PLL_UNLOCK);
    ASSERT_EQ(0, ZarnSim_ClearCondition(b.link(), ZARN_SIM_COND_PLL_UNLOCK));
    EXPECT_EQ(0, c_restorePLLUnlock(b.get()));
    EXPECT_EQ(0u, b->failStatus & FAILSTATUS_PLL_UNLOCK);
}

/* ------------------------------------------------------------ round trip */

struct TilkCase {
    const char* name;
    bool dual, waves, extras;
    uint32_t extrasFormat;
};
void PrintTo(const TilkCase& c, std::ostream* os) { *os << c.name; }

class TilkRoundTrip : public testing::TestWithParam<TilkCase> {};

TEST_P(TilkRoundTrip, EncodedPulsesDecodeFieldForField) {
    const TilkCase& c = GetParam();
    const uint32_t samples = 48; /* 4 units */
    Encoder enc(ZarnSim_TilkPSDEncoder, TilkFormat());
    enc.regs[0x8000] = kConfigBase | (c.dual ? 1u << 11 : 0) | (c.waves ? 1u << 16 : 0) | (c.extras ? 1u << 17 : 0) |
                       (4u << 20) | (3u << 26);
    for (uint32_t ch = 0; ch < 8; ++ch)
        enc.regs[0x1080 | (ch << 8)] = c.extrasFormat << 8;
    /* Gaps below 2^32 ticks: one roll-over at most between two events. */
    std::vector<Pulse> pulses = MakePulses(11, {0, 3, 5}, 40, 3000000000ull, 20000, samples, 10);

    Record r(TilkFormat());
    r.allocate(64, c.waves ? 64 : 0, samples);
    r.channel(3, DPPL_PARAM_CH_TIME_OFFSET, 7.0); /* ns */
    r.load(enc.buffer(pulses, 16));
    ASSERT_EQ(0, r.walk());

    const bool upper = c.extras && c.extrasFormat <= 2;
    const bool fineTime = c.extras && (c.extrasFormat == 2 || c.extrasFormat == 3);
    ASSERT_NO_FATAL_FAILURE(ExpectEventsOfPulses(
        r, pulses, {0u, 3u, 5u},
        [&](uint32_t ch, size_t i, const Pulse& p, const c_DPPEvent_t& e, bool saturated, bool rolled) {
            EXPECT_EQ(saturated ? 0x7FFFu : p.energy, e.energy) << ch << "/" << i;
            EXPECT_EQ(saturated ? 0x7FFF : (int16_t)(p.energy / 4), e.shortCharge);
            EXPECT_EQ((p.flags & ZARN_SIM_EVENT_PILEUP) != 0, (e.flags & EVTFLAG_PILEUP) != 0);
            EXPECT_EQ(saturated, (e.flags & EVTFLAG_SATURATED) != 0);
            EXPECT_EQ(fineTime, (e.flags & EVTFLAG_FINE_TIME) != 0);
            EXPECT_EQ(!upper && rolled, (e.flags & EVTFLAG_ROLLOVER) != 0) << ch << "/" << i;
            uint64_t stamp = p.tag * 1000 + (ch == 3 ? 7000 : 0);
            if (fineTime) {
                uint64_t steps = (uint64_t)(p.fine * 1024.0);
                EXPECT_GE(e.timeStamp, stamp + steps * 1000 / 1024);
                EXPECT_LE(e.timeStamp, stamp + (steps + 1) * 1000 / 1024);
            } else {
                EXPECT_EQ(stamp, e.timeStamp);
            }
            EXPECT_EQ(4u * (c.waves ? 4 : 0) + 2 + (c.extras ? 1 : 0), e.sizeWords);
            if (!c.waves) {
                EXPECT_EQ(nullptr, e.waveform);
                return;
            }
            const c_Waveform_t& w = *e.waveform;
            ASSERT_EQ(samples, w.nSamples);
            const int16_t* s0 = (const int16_t*)w.traces[0].samples;
            const int16_t* s1 = (const int16_t*)w.traces[1].samples;
            const uint8_t* d3 = (const uint8_t*)w.traces[3].samples;
            EXPECT_EQ(1, w.traces[0].probe);
            EXPECT_EQ(c.dual ? 5 : 0, w.traces[1].probe);
            EXPECT_EQ(26, w.traces[3].probe);
            EXPECT_EQ(23, w.traces[4].probe); /* table C, selector 4 */
            EXPECT_EQ(15, w.traces[5].probe); /* table B, selector 3 */
            for (uint32_t s = 0; s < samples; ++s) {
                const uint32_t from = c.dual ? s & ~1u : s;
                ASSERT_EQ(p.wave[from], s0[s]) << "sample " << s;
                if (!c.dual)
                    ASSERT_EQ(0, s1[s]);
                else
                    ASSERT_EQ(std::clamp((p.wave[from] - p.wave[0]) / 2 + 512, 0, 1023), s1[s]);
                ASSERT_EQ(s == p.preTrigger ? 1 : 0, d3[s]) << "sample " << s;
            }
        }));
}

INSTANTIATE_TEST_SUITE_P(Formats, TilkRoundTrip,
                         testing::Values(TilkCase{"NoExtras", false, false, false, 0},
                                         TilkCase{"UpperBits", false, false, true, 0},
                                         TilkCase{"UpperBitsAndFineTime", false, true, true, 2},
                                         TilkCase{"FineTimeOnly", true, true, true, 3},
                                         TilkCase{"DualTrace", true, true, false, 0},
                                         TilkCase{"SingleTrace", false, true, false, 0}),
                         [](const testing::TestParamInfo<TilkCase>& info) { return info.param.name; });

/* ------------------------------------------------------- hand-built words */

constexpr uint32_t kTimeTag = 1u << 29, kCharge = 1u << 30, kExtras = 1u << 28, kWaves = 1u << 27;

class TilkWords : public testing::Test {
protected:
    TilkWords() : r(TilkFormat()) { r.allocate(8, 8, 12); }
    /* Every aggregate starts from a cleared time-tag state. */
    int decode(std::vector<uint32_t> words, int32_t* n) {
        _clearChannelTimeState(r.get(), 2);
        return r.decode(TILK_DecodePSDChannelAggregate, 2, std::move(words), n);
    }
    Record r;
};

TEST_F(TilkWords, HeaderTypeSetsTheHeaderWordsAndExtrasFormat) {
    int32_t n = -1;
    /* Type 8: two header words; the charge word follows the time tag. */
    ASSERT_EQ(0, decode({0x80000006u, kTimeTag | kCharge, 10, 0x00200010u, 20, 0x00300018u}, &n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(0x20, r.event(2, 0).energy);
    EXPECT_EQ(0x10, r.event(2, 0).shortCharge);
    EXPECT_EQ(20000u, r.event(2, 1).timeStamp);
    EXPECT_EQ(2u, r.event(2, 1).sizeWords); /* time tag, charge */
    /* Type 4: the third header word is the extras format (3: fine time, no upper bits). */
    ASSERT_EQ(0, decode({0x40000006u, kTimeTag | kExtras | kCharge, 3, 5, 512u << 16, 0x00010001u}, &n));
    ASSERT_EQ(1, n);
    const c_DPPEvent_t& e = r.event(2, 0);
    EXPECT_NE(0u, e.flags & EVTFLAG_FINE_TIME);
    EXPECT_GE(e.timeStamp, 5000u + 500u);
    EXPECT_LE(e.timeStamp, 5000u + 501u);
    for (uint32_t type : {0x0u, 0x2u, 0xCu, 0xFu}) {
        EXPECT_EQ(DPPL_ERR_INVALID_EVENT, decode({(type << 28) | 4u, kTimeTag | kCharge, 1, 1}, &n)) << type;
        EXPECT_EQ(0, n);
    }
}

TEST_F(TilkWords, ExtrasFormatThreeCountsRollOversByComparison) {
    int32_t n = -1;
    ASSERT_EQ(0,
              decode({0x40000009u, kTimeTag | kExtras, 3, 0xF0000000u, 0xFFFF0000u, 0x10u, 0xFFFF0000u, 0x20u, 0}, &n));
    ASSERT_EQ(3, n);
    EXPECT_EQ(0u, r.event(2, 0).flags & EVTFLAG_ROLLOVER);
    EXPECT_NE(0u, r.event(2, 1).flags & EVTFLAG_ROLLOVER);
    EXPECT_GE(r.event(2, 1).timeStamp, ((1ull << 32) + 0x10) * 1000);
    EXPECT_EQ(0u, r.event(2, 2).flags & EVTFLAG_ROLLOVER);
    /* Format 0: the extras' upper bits replace the count, without a flag. */
    ASSERT_EQ(0, decode({0x40000005u, kTimeTag | kExtras, 0, 0x5u, 0x00070000u}, &n));
    EXPECT_EQ(((7ull << 32) + 5) * 1000, r.event(2, 0).timeStamp);
    EXPECT_EQ(0u, r.event(2, 0).flags);
    /* Format 2: the upper bits and a fine time in 1024ths of a sample in bits 0-9. */
    ASSERT_EQ(0, decode({0x40000005u, kTimeTag | kExtras, 2, 0x5u, 0x00070000u | 512u | (1u << 10)}, &n));
    EXPECT_EQ(((7ull << 32) + 5) * 1000 + 500, r.event(2, 0).timeStamp);
    EXPECT_EQ(EVTFLAG_FINE_TIME, r.event(2, 0).flags);
}

TEST_F(TilkWords, ChargeWordFlags) {
    struct Case {
        uint32_t word;
        uint16_t energy;
        int16_t shortCharge;
        uint32_t flags;
    };
    const Case cases[] = {
        {(0x1234u << 16) | 0x8000u | 0x7FFF, 0x1234, 0x7FFF, EVTFLAG_SATURATED | EVTFLAG_PILEUP},
        {(0x7FFFu << 16) | 3, 0x7FFF, 3, EVTFLAG_SATURATED},
        {(0xFFFFu << 16) | 3, 0x7FFF, 3, EVTFLAG_SATURATED},
        {(0x7FFEu << 16) | 0x8000u | 4, 0x7FFE, 4, EVTFLAG_PILEUP},
    };
    for (const Case& c : cases) {
        int32_t n = -1;
        ASSERT_EQ(0, decode({0x80000003u, kCharge, c.word}, &n));
        const c_DPPEvent_t& e = r.event(2, 0);
        EXPECT_EQ(c.energy, e.energy) << std::hex << c.word;
        EXPECT_EQ(c.shortCharge, e.shortCharge) << std::hex << c.word;
        EXPECT_EQ(c.flags, e.flags) << std::hex << c.word;
        EXPECT_EQ(0u, e.timeStamp); /* no time-tag word: raw tag 0 */
    }
}

TEST_F(TilkWords, EightBitSamplesMarkersAndDigitalBits) {
    /* One unit, single trace, 8-bit samples: bits 8 and 9 go to slots 4 and 5. */
    std::vector<uint32_t> words = {0x80000006u, kWaves | (1u << 18) | 1u};
    words.push_back((0x1FFu) | (0x2FFu << 10) | (0x3FFu << 20) | (2u << 30)); /* marker on 3k + 1 */
    words.push_back(0x010u | (0x020u << 10) | (0x030u << 20));
    words.push_back(0x0FFu | (1u << 30));
    words.push_back(0x100u << 20 | (3u << 30));
    int32_t n = -1;
    ASSERT_EQ(0, decode(words, &n));
    ASSERT_EQ(1, n);
    const c_Waveform_t& w = *r.event(2, 0).waveform;
    ASSERT_EQ(12u, w.nSamples);
    const int16_t* s0 = (const int16_t*)w.traces[0].samples;
    const uint8_t* d3 = (const uint8_t*)w.traces[3].samples;
    const uint8_t* d4 = (const uint8_t*)w.traces[4].samples;
    const uint8_t* d5 = (const uint8_t*)w.traces[5].samples;
    const int16_t expected[12] = {0x3FC, 0x3FC, 0x3FC, 0x40, 0x80, 0xC0, 0x3FC, 0, 0, 0, 0, 0};
    const uint8_t bit8[12] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const uint8_t bit9[12] = {0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t marks[12] = {0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int s = 0; s < 12; ++s) {
        EXPECT_EQ(expected[s], s0[s]) << s;
        EXPECT_LE(s0[s], 1020);
        EXPECT_EQ(0, s0[s] % 4);
        EXPECT_EQ(bit8[s], d4[s]) << s;
        EXPECT_EQ(bit9[s], d5[s]) << s;
        EXPECT_EQ(marks[s], d3[s]) << s;
    }
}

TEST_F(TilkWords, DualTraceSamplesAlternateBetweenTheSlots) {
    /* Word k holds E, F, G = 3k + 1, 3k + 2, 3k + 3; bit 26 gives slot 1 probe 7. */
    std::vector<uint32_t> words = {0x80000006u, kWaves | (1u << 31) | (1u << 26) | 1u};
    for (uint32_t k = 0; k < 4; ++k)
        words.push_back((3 * k + 1) | ((3 * k + 2) << 10) | ((3 * k + 3) << 20));
    int32_t n = -1;
    ASSERT_EQ(0, decode(words, &n));
    ASSERT_EQ(1, n);
    const c_Waveform_t& w = *r.event(2, 0).waveform;
    ASSERT_EQ(12u, w.nSamples);
    EXPECT_EQ(1, w.traces[0].probe);
    EXPECT_EQ(7, w.traces[1].probe);
    const int16_t slot0[12] = {1, 1, 3, 3, 5, 5, 7, 7, 9, 9, 11, 11};
    const int16_t slot1[12] = {2, 2, 4, 4, 6, 6, 8, 8, 10, 10, 12, 12};
    for (int s = 0; s < 12; ++s) {
        EXPECT_EQ(slot0[s], ((const int16_t*)w.traces[0].samples)[s]) << s;
        EXPECT_EQ(slot1[s], ((const int16_t*)w.traces[1].samples)[s]) << s;
    }
}

TEST_F(TilkWords, MalformedAggregatesAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint32_t> words;
        int code;
    };
    const std::vector<Case> cases = {
        {"no event words", {0x80000002u, 0}, DPPL_ERR_INVALID_EVENT},
        {"size not whole events", {0x80000005u, kTimeTag | kCharge, 1, 2, 3}, DPPL_ERR_INVALID_EVENT},
        {"size below the header", {0x40000002u, kTimeTag, 0}, DPPL_ERR_INVALID_EVENT},
        {"more events than slots", {0x8000000Bu, kTimeTag, 1, 2, 3, 4, 5, 6, 7, 8, 9}, DPPL_ERR_EVENT_BUFFER_OVERFLOW},
        {"refused probe of slot 4", {0x80000007u, kWaves | (6u << 19) | 1u, 0, 0, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
        {"refused probe of slot 5", {0x80000007u, kWaves | (7u << 22) | 1u, 0, 0, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
    };
    for (const Case& c : cases) {
        int32_t n = -1;
        EXPECT_EQ(c.code, decode(c.words, &n)) << c.what;
        EXPECT_EQ(0, n) << c.what;
    }
    /* An aggregate of no events decodes to nothing. */
    int32_t n = -1;
    EXPECT_EQ(0, decode({0x40000003u, kTimeTag, 0}, &n));
    EXPECT_EQ(0, n);
    /* ... whatever its probe selectors say. */
    EXPECT_EQ(0, decode({0x80000002u, kWaves | (6u << 19) | 1u}, &n));
    EXPECT_EQ(0, n);
}

TEST(TilkWaveforms, WaveformWordsWithoutWaveformRecordFail) {
    Record r(TilkFormat());
    r.allocate(8, 0, 0);
    int32_t n = -1;
    EXPECT_EQ(DPPL_ERR_INVALID_TRACE,
              r.decode(TILK_DecodePSDChannelAggregate, 1, {0x80000006u, kWaves | 1u, 0, 0, 0, 0}, &n));
}

TEST(TilkWaveforms, UnannouncedWaveformWordsAreSteppedOver) {
    /* u = 1 without bit 27: the size counts 4 waveform words, so they are skipped. */
    Record r(TilkFormat());
    r.allocate(8, 0, 0);
    int32_t n = -1;
    ASSERT_EQ(0,
              r.decode(TILK_DecodePSDChannelAggregate, 1,
                       {0x8000000Eu, kTimeTag | kCharge | 1u, 5, 1, 2, 3, 4, 0x00090001u, 6, 1, 2, 3, 4, 0x000A0002u},
                       &n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(9, r.event(1, 0).energy);
    EXPECT_EQ(6000u, r.event(1, 1).timeStamp);
    EXPECT_EQ(10, r.event(1, 1).energy);
}

} // namespace
