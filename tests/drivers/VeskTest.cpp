/* Vesk charge-integration and pulse-shape drivers: the high-voltage channels
 * and setup failures of the shipped family-12 boards, the simulated encoders
 * decoded field for field, and the format rules and malformed aggregates on
 * hand-built words. */
#include <gtest/gtest.h>

#include <libxml/tree.h>

#include "DriverSupport.h"
#include "ZarnBoard_Vesk.h"
#include "ZarnComm.h"

using namespace drvtest;

namespace {

/* The shipped boards' descriptors, the pulse-shape setup's refusals and the
 * live runs are rows of FamilyBoardsTest.cpp. */

struct OpenCase {
    const char* name;
    c_ConnParams_t params;
    int32_t polarity; /* of both HV channels, from the model's last letter */
};
void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class VeskOpen : public testing::TestWithParam<OpenCase> {};

TEST_P(VeskOpen, ShippedBoardOpensWithHighVoltageAndEveryChannelEnabled) {
    const OpenCase& c = GetParam();
    LiveBoard b;
    ASSERT_EQ(0, b.open(c.params));
    ASSERT_EQ(2u, b->descriptor.HVChannels);
    for (uint32_t h = 0; h < 2; ++h) {
        const c_HVChannelBlock_t& hv = b->hv[h];
        EXPECT_EQ(1u, hv.rangeCount);
        EXPECT_EQ(1u, hv.activeRange);
        EXPECT_EQ(8u, hv.regBase);
        EXPECT_EQ(c.polarity, hv.polarity);
        EXPECT_STREQ("HV_RANGE_PMT", hv.ranges[0].codename);
        EXPECT_EQ(2u, hv.ranges[0].conv[0].nPoints);
    }
    EXPECT_EQ(0xFFu, b.peek(0x8120)); /* the enable bits cleared by the setup come back with the defaults */
    EXPECT_EQ(0, c_checkStatus(b.get()));
}

INSTANTIATE_TEST_SUITE_P(Boards, VeskOpen,
                         testing::Values(OpenCase{"ChargeIntegration", VeskCI(), 0},
                                         OpenCase{"PulseShape", VeskPSD(), 1}),
                         [](const testing::TestParamInfo<OpenCase>& info) { return info.param.name; });

TEST(VeskInit, ChannelEnableRegisterFailuresFailTheOpen) {
    /* Access 1 of 0x8120 is the setup's read, access 2 its write-back. */
    const std::pair<uint32_t, int> cases[] = {{1, DPPL_ERR_READ_REGISTER}, {2, DPPL_ERR_WRITE_REGISTER}};
    for (const auto& [nth, code] : cases) {
        ZarnSim_ResetFaults();
        ASSERT_EQ(0, ZarnSim_FailRegisterAccess(0x8120, nth, ZARN_COMM_CommError));
        LiveBoard b;
        EXPECT_EQ(code, b.open(VeskPSD())) << nth;
        EXPECT_EQ(DGTZ_KIND_CLOSED, b->kind);
    }
    ZarnSim_ResetFaults();
}

TEST(VeskInit, EveryRangeMustBeDefinedAlsoWithoutHighVoltage) {
    Record r(VeskPSDFormat());
    r->descriptor.FamilyCode = 6; /* no high-voltage channels */
    EXPECT_EQ(0, VESK_InitBoard(r.get()));
    EXPECT_EQ(0u, r->descriptor.HVChannels);
    xmlNodePtr sd = c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(),
                                                     "/Definitions/ParameterValues/HV_RANGES/HV_RANGE_SD");
    ASSERT_NE(nullptr, sd);
    xmlNodePtr parent = sd->parent;
    xmlUnlinkNode(sd);
    EXPECT_EQ(DPPL_ERR_GENERIC, VESK_InitBoard(r.get()));
    xmlAddChild(parent, sd);
    EXPECT_EQ(0, VESK_InitBoard(r.get()));
}

TEST(VeskInit, ProbeTables) {
    const int32_t a[8] = {19, 20, 21, 13, 23, 22, -1, -1};
    const int32_t b[8] = {25, 20, 16, 15, 23, 22, -1, -1};
    for (uint32_t s = 0; s < 8; ++s) {
        EXPECT_EQ(a[s], VESK_DigitalProbeCodeA(s));
        EXPECT_EQ(b[s], VESK_DigitalProbeCodeB(s));
    }
    EXPECT_EQ(-1, VESK_DigitalProbeCodeA(8));
    EXPECT_EQ(-1, VESK_DigitalProbeCodeB(0xFFFFFFFFu));
}

/* ------------------------------------------------------------ round trip */

struct VeskCase {
    const char* name;
    bool psd, dual, waves, extras;
    uint32_t extrasOption; /* 0: the extras carry the upper time-tag bits (pulse shape) */
};
void PrintTo(const VeskCase& c, std::ostream* os) { *os << c.name; }

class VeskRoundTrip : public testing::TestWithParam<VeskCase> {};

TEST_P(VeskRoundTrip, EncodedPulsesDecodeFieldForField) {
    const VeskCase& c = GetParam();
    const uint32_t samples = 40; /* 5 units */
    const Format format = c.psd ? VeskPSDFormat() : VeskCIFormat();
    Encoder enc(c.psd ? ZarnSim_VeskPSDEncoder : ZarnSim_VeskCIEncoder, format);
    enc.regs[0x8000] = (1u << 18) | (1u << 19) | (c.dual ? 1u << 11 : 0) | (c.waves ? 1u << 16 : 0) |
                       (c.extras ? 1u << 17 : 0) | (2u << 20) | (4u << 26);
    for (uint32_t ch = 0; ch < 8; ++ch)
        enc.regs[0x1080 | (ch << 8)] = c.extrasOption << 8;
    std::vector<Pulse> pulses = MakePulses(21, {0, 4, 7}, 40, 3000000000ull, 30000, samples, 12);

    Record r(format);
    r.allocate(64, c.waves ? 64 : 0, samples);
    r.channel(4, DPPL_PARAM_CH_TIME_OFFSET, 2.5); /* ns */
    r.load(enc.buffer(pulses, 16));
    ASSERT_EQ(0, r.walk());

    const bool upper = c.psd && c.extras && c.extrasOption == 0;
    uint64_t largest = 0;
    ASSERT_NO_FATAL_FAILURE(ExpectEventsOfPulses(
        r, pulses, {0u, 4u, 7u},
        [&](uint32_t ch, size_t i, const Pulse& p, const c_DPPEvent_t& e, bool saturated, bool rolled) {
            const uint64_t offset = c.psd && ch == 4 ? 2500 : 0;
            EXPECT_EQ(p.tag * 4000 + offset, e.timeStamp) << ch << "/" << i;
            if (c.psd) {
                EXPECT_EQ(saturated ? 0x7FFFu : p.energy, e.energy) << ch << "/" << i;
                EXPECT_EQ(saturated ? 0x7FFF : (int16_t)(p.energy / 4), e.shortCharge);
                uint32_t flags = (saturated ? EVTFLAG_SATURATED : 0) | (!upper && rolled ? EVTFLAG_ROLLOVER : 0) |
                                 ((p.flags & ZARN_SIM_EVENT_PILEUP) && !saturated ? EVTFLAG_PILEUP : 0);
                EXPECT_EQ(flags, e.flags) << ch << "/" << i;
            } else {
                EXPECT_EQ(saturated ? 0xFFFFu : p.energy, e.energy) << ch << "/" << i;
                EXPECT_EQ(0, e.shortCharge);
                EXPECT_EQ(0u, e.flags);
            }
            largest = std::max(largest, e.timeStamp);
            EXPECT_EQ(4u * (c.waves ? 5 : 0) + 2 + (c.extras ? 1 : 0), e.sizeWords);
            if (!c.waves) {
                EXPECT_EQ(nullptr, e.waveform);
                return;
            }
            const c_Waveform_t& w = *e.waveform;
            ASSERT_EQ(samples, w.nSamples);
            EXPECT_EQ(1, w.traces[0].probe);
            EXPECT_EQ(c.dual ? 5 : 0, w.traces[1].probe);
            EXPECT_EQ(26, w.traces[3].probe);
            EXPECT_EQ(24, w.traces[4].probe);
            EXPECT_EQ(21, w.traces[5].probe); /* table A, selector 2 */
            EXPECT_EQ(23, w.traces[6].probe); /* table B, selector 4 */
            const int16_t* s0 = (const int16_t*)w.traces[0].samples;
            const int16_t* s1 = (const int16_t*)w.traces[1].samples;
            const uint8_t* d3 = (const uint8_t*)w.traces[3].samples;
            const uint8_t* d4 = (const uint8_t*)w.traces[4].samples;
            const uint8_t* d5 = (const uint8_t*)w.traces[5].samples;
            for (uint32_t s = 0; s < samples; ++s) {
                const uint32_t from = c.dual ? s & ~1u : s;
                ASSERT_EQ(p.wave[from], s0[s]) << s;
                ASSERT_EQ(c.dual ? std::clamp((p.wave[from] - p.wave[0]) / 2 + 2048, 0, 4095) : 0, s1[s]) << s;
                ASSERT_EQ(from >= p.preTrigger && from < p.preTrigger + 16 ? 1 : 0, d3[s]) << s;
                ASSERT_EQ(from >= samples / 2 ? 1 : 0, d4[s]) << s;
                ASSERT_EQ(0, d5[s]);
            }
        }));
    for (uint32_t ch : {0u, 4u, 7u})
        EXPECT_EQ(c.psd ? OfChannel(pulses, ch).size() : 0u, r->evtCount[ch]);
    EXPECT_EQ(largest, r->maxTimeStamp);
}

INSTANTIATE_TEST_SUITE_P(Formats, VeskRoundTrip,
                         testing::Values(VeskCase{"PsdChargeOnly", true, false, false, false, 0},
                                         VeskCase{"PsdUpperBits", true, false, false, true, 0},
                                         VeskCase{"PsdExtrasWithoutUpperBits", true, false, false, true, 1},
                                         VeskCase{"PsdSingleTrace", true, false, true, true, 0},
                                         VeskCase{"PsdDualTrace", true, true, true, false, 0},
                                         VeskCase{"CiChargeOnly", false, false, false, false, 0},
                                         VeskCase{"CiExtrasSkipped", false, false, false, true, 0},
                                         VeskCase{"CiDualTrace", false, true, true, true, 0}),
                         [](const testing::TestParamInfo<VeskCase>& info) { return info.param.name; });

/* ------------------------------------------------------- hand-built words */

constexpr uint32_t kTimeTag = 1u << 29, kCharge = 1u << 30, kExtras = 1u << 28, kWaves = 1u << 27;
constexpr uint32_t kUpper = 1u << 22, kDual = 1u << 31;

class VeskWords : public testing::Test {
protected:
    VeskWords() : psd(VeskPSDFormat()), ci(VeskCIFormat()) {
        psd.allocate(8, 8, 8);
        ci.allocate(8, 8, 8);
    }
    int decodePSD(std::vector<uint32_t> words, int32_t* n) {
        _clearChannelTimeState(psd.get(), 1);
        return psd.decode(VESK_DecodePSDChannelAggregate, 1, std::move(words), n);
    }
    int decodeCI(std::vector<uint32_t> words, int32_t* n) {
        _clearChannelTimeState(ci.get(), 1);
        return ci.decode(VESK_DecodeCIChannelAggregate, 1, std::move(words), n);
    }
    Record psd, ci;
};

TEST_F(VeskWords, PulseShapeChargeWordFlags) {
    struct Case {
        uint32_t word;
        uint16_t energy;
        int16_t shortCharge;
        uint32_t flags;
    };
    const Case cases[] = {
        {(0x1234u << 16) | 0x8000u | 0x7FFF, 0x1234, 0x7FFF, EVTFLAG_SATURATED}, /* no pile-up on a full short charge */
        {(0x7FFFu << 16) | 5, 0x7FFF, 5, EVTFLAG_SATURATED},
        {(0x9000u << 16) | 5, 0x7FFF, 5, EVTFLAG_SATURATED},
        {(0x7FFEu << 16) | 0x8000u | 5, 0x7FFE, 5, EVTFLAG_PILEUP},
    };
    for (const Case& c : cases) {
        int32_t n = -1;
        ASSERT_EQ(0, decodePSD({0x80000003u, kCharge, c.word}, &n));
        const c_DPPEvent_t& e = psd.event(1, 0);
        EXPECT_EQ(c.energy, e.energy) << std::hex << c.word;
        EXPECT_EQ(c.shortCharge, e.shortCharge) << std::hex << c.word;
        EXPECT_EQ(c.flags, e.flags) << std::hex << c.word;
    }
}

TEST_F(VeskWords, PulseShapeExtrasWord) {
    int32_t n = -1;
    /* Bit 22 set: extras bits 0-14 replace rollOver1 on every event, bit 15 gives 0x10. */
    ASSERT_EQ(0, decodePSD({0x80000008u, kTimeTag | kExtras | kUpper, 100, 0x8002u, 50, 0x0001u, 60, 0x0001u}, &n));
    ASSERT_EQ(3, n);
    EXPECT_EQ(((2ull << 32) + 100) * 4000, psd.event(1, 0).timeStamp);
    EXPECT_EQ(0x10u, psd.event(1, 0).flags);
    /* A tag below the previous one with an upper part going down: the second
     * level counts it. */
    EXPECT_EQ(((1ull << 32) + 50 + (1ull << 47)) * 4000, psd.event(1, 1).timeStamp);
    EXPECT_EQ(EVTFLAG_ROLLOVER, psd.event(1, 1).flags);
    EXPECT_EQ(0u, psd.event(1, 2).flags);
    /* Bit 22 clear: the extras word is read, roll-overs counted by comparison. */
    ASSERT_EQ(0, decodePSD({0x80000006u, kTimeTag | kExtras, 100, 0x7FFFu, 50, 0x7FFFu}, &n));
    EXPECT_EQ(100u * 4000, psd.event(1, 0).timeStamp);
    EXPECT_EQ(((1ull << 32) + 50) * 4000, psd.event(1, 1).timeStamp);
    EXPECT_EQ(EVTFLAG_ROLLOVER, psd.event(1, 1).flags);
}

TEST_F(VeskWords, ChargeIntegrationCharges) {
    struct Case {
        uint32_t q; /* 23-bit two's complement */
        uint16_t energy;
    };
    const Case cases[] = {{0, 0},
                          {32767, 0x7FFF},
                          {32768, 0xFFFF},
                          {0x3FFFFF, 0xFFFF},
                          {0x7FFFFF, 0xFFFF} /* -1 */,
                          {0x800000u - 32768, 0x8000},
                          {0x800000u - 32769, 0},
                          {0x400000, 0} /* the most negative */};
    for (const Case& c : cases) {
        int32_t n = -1;
        ASSERT_EQ(0, decodeCI({0x80000003u, kCharge, 0xFF800000u | c.q}, &n)) << c.q;
        EXPECT_EQ(c.energy, ci.event(1, 0).energy) << std::hex << c.q;
        EXPECT_EQ(0, ci.event(1, 0).shortCharge);
        EXPECT_EQ(0u, ci.event(1, 0).flags);
    }
}

TEST_F(VeskWords, ChargeIntegrationTimeHasNoFlagsNoOffsetAndNoCounts) {
    ci.channel(1, DPPL_PARAM_CH_TIME_OFFSET, 100.0);
    int32_t n = -1;
    /* Size in bits 0-17: the bits above belong to the walker's step only. */
    ASSERT_EQ(0,
              decodeCI({0x80FC0008u, kTimeTag | kExtras | kCharge, 0xFFFFFF00u, 0xFFFFFFFFu, 10u, 0x10, 0x10, 7}, &n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(0xFFFFFF00ull * 4000, ci.event(1, 0).timeStamp);
    EXPECT_EQ(((1ull << 32) + 0x10) * 4000, ci.event(1, 1).timeStamp);
    EXPECT_EQ(0u, ci.event(1, 1).flags);
    EXPECT_EQ(7, ci.event(1, 1).energy);
    EXPECT_EQ(0u, ci->evtCount[1]);
    EXPECT_EQ(ci.event(1, 1).timeStamp, ci->maxTimeStamp);
    EXPECT_EQ(ci.event(1, 1).timeStamp, ci->lastTimeStamp);
}

TEST_F(VeskWords, DualTraceNeverRunsTheSoftwareCfd) {
    /* fineTimeEnabled without the CFD parameters: a single trace needs the
     * settings and fails, a dual trace does not read them. */
    psd->channels[1].fineTimeEnabled = 1;
    int32_t n = -1;
    std::vector<uint32_t> single = {0x80000006u, kWaves | 1u, 0x00020001u, 0x00040003u, 0x00060005u, 0x00080007u};
    EXPECT_EQ(DPPL_ERR_PARAMETER, decodePSD(single, &n));
    std::vector<uint32_t> dual = single;
    dual[1] |= kDual;
    ASSERT_EQ(0, decodePSD(dual, &n));
    ASSERT_EQ(1, n);
    const c_DPPEvent_t& e = psd.event(1, 0);
    EXPECT_EQ(0u, e.flags & EVTFLAG_FINE_TIME);
    const c_Waveform_t& w = *e.waveform;
    EXPECT_EQ(5, w.traces[1].probe);
    const int16_t expect0[8] = {2, 2, 4, 4, 6, 6, 8, 8}, expect1[8] = {1, 1, 3, 3, 5, 5, 7, 7};
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(expect0[s], ((const int16_t*)w.traces[0].samples)[s]);
        EXPECT_EQ(expect1[s], ((const int16_t*)w.traces[1].samples)[s]);
    }
}

TEST_F(VeskWords, SingleTraceWaveformWordBitsAndProbes) {
    /* Selectors 3 (table A: 13) and 2 (table B: 16); every digital bit on its own. */
    int32_t n = -1;
    ASSERT_EQ(0, decodePSD({0x80000006u, kWaves | (3u << 16) | (2u << 19) | 1u, 0x00020001u | (1u << 14) | (1u << 31),
                            0x00040003u | (1u << 12) | (1u << 29), 0x0FFF0005u | (1u << 13) | (1u << 30),
                            0x00000000u | (1u << 15) | (1u << 28)},
                           &n));
    ASSERT_EQ(1, n);
    const c_Waveform_t& w = *psd.event(1, 0).waveform;
    ASSERT_EQ(8u, w.nSamples);
    const int32_t probes[7] = {1, 0, 0, 26, 24, 13, 16};
    for (int slot : {0, 1, 3, 4, 5, 6})
        EXPECT_EQ(probes[slot], w.traces[slot].probe) << slot;
    const int16_t analog[8] = {1, 2, 3, 4, 5, 0xFFF, 0, 0};
    const uint8_t digital[4][8] = {{0, 0, 1, 0, 0, 0, 0, 1},  /* bits 12 and 28 */
                                   {0, 0, 0, 1, 1, 0, 0, 0},  /* 13 and 29 */
                                   {1, 0, 0, 0, 0, 1, 0, 0},  /* 14 and 30 */
                                   {0, 1, 0, 0, 0, 0, 1, 0}}; /* 15 and 31 */
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(analog[s], ((const int16_t*)w.traces[0].samples)[s]) << s;
        EXPECT_EQ(0, ((const int16_t*)w.traces[1].samples)[s]) << s;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(digital[k][s], ((const uint8_t*)w.traces[3 + k].samples)[s]) << "slot " << 3 + k << " " << s;
    }
}

TEST_F(VeskWords, SingleTraceWithFineTimeRunsTheSoftwareCfd) {
    psd->channels[1].fineTimeEnabled = 1;
    psd.channel(1, DPPL_PARAM_CH_PRETRG, 12.0); /* ns: 3 samples */
    psd.channel(1, DPPL_PARAM_CH_GATEPRE, 0.0);
    psd.channel(1, DPPL_PARAM_CH_POLARITY, 1.0);
    psd.channel(1, DPPL_PARAM_CH_CFD_DELAY, 4.0);
    psd.channel(1, DPPL_PARAM_CH_CFD_FRACTION, 0.5);
    psd.channel(1, DPPL_PARAM_CH_CFD_SMOOTHEXP, 0.0);
    int32_t n = -1;
    /* A step at sample 4: the CFD signal crosses its baseline at sample 5. */
    ASSERT_EQ(
        0,
        decodePSD({0x80000007u, kTimeTag | kWaves | 1u, 10, 0x03E803E8u, 0x03E803E8u, 0x00640064u, 0x00640064u}, &n));
    const c_DPPEvent_t& e = psd.event(1, 0);
    EXPECT_EQ(7, e.waveform->traces[1].probe);
    EXPECT_NE(0u, e.flags & EVTFLAG_FINE_TIME);
    EXPECT_GE(e.timeStamp, 10u * 4000 + 8000); /* between samples 4 and 5, from sample 2 */
    EXPECT_LE(e.timeStamp, 10u * 4000 + 12000);
}

TEST_F(VeskWords, MalformedAggregatesAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint32_t> words;
        int code;
    };
    const std::vector<Case> cases = {
        {"header bit 31 clear", {0x00000003u, kCharge, 1}, DPPL_ERR_INVALID_EVENT},
        {"no event words", {0x80000002u, kDual}, DPPL_ERR_INVALID_EVENT},
        {"size below the header", {0x80000001u, kCharge}, DPPL_ERR_INVALID_EVENT},
        {"size not whole events", {0x80000005u, kTimeTag | kCharge, 1, 2, 3}, DPPL_ERR_INVALID_EVENT},
        {"more events than slots", {0x8000000Bu, kCharge, 1, 2, 3, 4, 5, 6, 7, 8, 9}, DPPL_ERR_EVENT_BUFFER_OVERFLOW},
        {"refused probe of table A", {0x80000006u, kWaves | (6u << 16) | 1u, 0, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
        {"refused probe of table B", {0x80000006u, kWaves | (7u << 19) | 1u, 0, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
    };
    for (const Case& c : cases) {
        int32_t n = -1;
        EXPECT_EQ(c.code, decodePSD(c.words, &n)) << c.what;
        EXPECT_EQ(0, n) << c.what;
        EXPECT_EQ(c.code, decodeCI(c.words, &n)) << c.what;
        EXPECT_EQ(0, n) << c.what;
    }
    Record r(VeskPSDFormat());
    r.allocate(8, 0, 0);
    int32_t n = -1;
    EXPECT_EQ(DPPL_ERR_INVALID_TRACE,
              r.decode(VESK_DecodePSDChannelAggregate, 0, {0x80000006u, kWaves | 1u, 0, 0, 0, 0}, &n));
}

} // namespace
