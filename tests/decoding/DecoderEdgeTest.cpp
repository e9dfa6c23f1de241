/* The decoders on aggregates written by hand: the rules that the simulated
 * board's encoders never exercise (software gain, roll-over resets, pseudo
 * events, revision-dependent flags, channels that do not run) and every
 * malformed-aggregate answer. */
#include <gtest/gtest.h>

#include <string.h>

#include "DecodeSupport.h"
#include "ZarnParameters_Collections.h"

using namespace dectest;

namespace {

constexpr uint32_t kOrluTimeTag = 1u << 28, kOrluEnergy = 1u << 29, kOrluWaves = 1u << 30;
constexpr uint32_t kPembWaves = 1u << 27, kPembExtras = 1u << 28, kPembTimeTag = 1u << 29, kPembCharge = 1u << 30;

/* A channel aggregate: {bit 31 | size, format word, event words...}. */
std::vector<uint32_t> unitAggregate(uint32_t format, const std::vector<uint32_t>& events) {
    std::vector<uint32_t> words = {0x80000000u | (uint32_t)(2 + events.size()), format};
    words.insert(words.end(), events.begin(), events.end());
    return words;
}

/* One board aggregate holding one unit aggregate at mask bit `unit`. */
std::vector<uint32_t> single(uint32_t unit, const std::vector<uint32_t>& aggregate) {
    return BoardAggregate({{unit, aggregate}});
}

class OrluDecoder : public testing::Test {
protected:
    OrluDecoder() : r(OrluPha(16)) {
        for (uint32_t ch = 0; ch < 8; ++ch) {
            r.channel(ch, DPPL_PARAM_CH_GAINREG, 1);
            r.channel(ch, DPPL_PARAM_CH_TIME_OFFSET, 2.0);
        }
        r.allocate(64, 0, 0);
    }
    /* Decodes events of [time tag, energy word] pairs on a channel. */
    int decode(uint32_t ch, const std::vector<uint32_t>& events) {
        r.load(single(ch, unitAggregate(kOrluTimeTag | kOrluEnergy, events)));
        return r.walk();
    }
    const c_DPPEvent_t& event(uint32_t ch, uint32_t i) { return r->channels[ch].events[i]; }
    Record r;
};

TEST_F(OrluDecoder, AStoppedChannelDeliversNothingButTheRestDecodes) {
    r.channel(1, DPPL_PARAM_CH_ACQ_RUN, 0);
    r.channel(0, DPPL_PARAM_CH_ACQ_RUN, 1);
    std::vector<uint32_t> buffer = BoardAggregate({{0, unitAggregate(kOrluTimeTag | kOrluEnergy, {10, 100})},
                                                   {1, unitAggregate(kOrluTimeTag | kOrluEnergy, {20, 200, 30, 300})}});
    r.load(buffer);
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(r->channels[0].nEvents, 1u);
    EXPECT_EQ(r->channels[1].nEvents, 0u);
    r->channels[1].acqStatus = ACQSTATUS_PAUSING; /* the drain of a pause delivers */
    r.load(buffer);
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(r->channels[1].nEvents, 2u);
    r->channels[1].acqStatus = ACQSTATUS_STOPPED;
    r->replay = 1; /* a replay ignores the run parameter */
    r.load(buffer);
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(r->channels[1].nEvents, 2u);
}

TEST_F(OrluDecoder, EnergyWordFlags) {
    struct Case {
        uint32_t word;
        uint16_t energy;
        uint32_t flags;
    } cases[] = {
        {0x7FFF, 0x7FFF, EVTFLAG_SATURATED},            /* full scale of the 15-bit board */
        {0x7FFF | 1u << 15, 0x7FFF, EVTFLAG_SATURATED}, /* saturation, not pile-up */
        {0x1234 | 1u << 15, 0x1234, EVTFLAG_PILEUP},
        {0x10 | 1u << 20 | 1u << 21 | 1u << 22, 0x10, 0x400 | 0x40 | 0x800},
        {0x10 | 1u << 16, 0x10, 0}, /* bit 16 only without a gain register */
    };
    for (const Case& c : cases) {
        ASSERT_EQ(decode(0, {5, c.word}), 0);
        EXPECT_EQ(event(0, 0).energy, c.energy) << std::hex << c.word;
        EXPECT_EQ(event(0, 0).flags, c.flags) << std::hex << c.word;
    }
}

TEST_F(OrluDecoder, RollOverBitsAndTheirReset) {
    ASSERT_EQ(decode(3, {100, 1u << 17}), 0); /* roll-over: one more turn of the 30-bit tag */
    EXPECT_EQ(event(3, 0).flags, EVTFLAG_ROLLOVER);
    EXPECT_EQ(event(3, 0).timeStamp, ((1ull << 30) + 100) * 10000 + 2000);
    ASSERT_EQ(decode(3, {200, 1u << 17 | 1u << 18}), 0); /* both: counted, then reset */
    EXPECT_EQ(event(3, 0).flags, EVTFLAG_ROLLOVER | 0x4u);
    EXPECT_EQ(r->channels[3].rollOver1, 0u);
    EXPECT_EQ(event(3, 0).timeStamp, 200u * 10000 + 2000);
}

TEST_F(OrluDecoder, PseudoEventsAreCountedApartAndCarryNoOffset) {
    ASSERT_EQ(decode(2, {50, 7, 900, 1u << 19, 60, 8}), 0);
    ASSERT_EQ(r->channels[2].nEvents, 3u);
    EXPECT_EQ(event(2, 1).flags, EVTFLAG_PSEUDO);
    EXPECT_EQ(event(2, 1).timeStamp, 900u * 10000); /* no time offset */
    EXPECT_EQ(event(2, 2).timeStamp, 60u * 10000 + 2000);
    EXPECT_EQ(r->channels[2].lastRawTimeTag, 60u); /* the pseudo event left it alone */
    EXPECT_EQ(r->evtCount[2], 3u);
    EXPECT_EQ(r->evtCount2[2], 1u);
}

TEST(OrluSoftwareGain, EnergiesAreRescaledWithADitherAndTimesDelayed) {
    Record r(OrluPha(16));
    /* h = (TDECAY x TRAP_TRISE) / 2^TRAP_NORM = 2 x 1 / 4: energies double. */
    r.channel(0, DPPL_PARAM_CH_TRAP_NORM, 2);
    r.channel(0, DPPL_PARAM_CH_TDECAY, 2);
    r.channel(0, DPPL_PARAM_CH_TRAP_TRISE, 1);
    r.allocate(1000, 0, 0);
    std::vector<uint32_t> events;
    for (int i = 0; i < 500; ++i) {
        events.push_back(100);
        events.push_back(1000 | (i == 0 ? 1u << 16 : 0u));
    }
    events.push_back(100);
    events.push_back(0x3000); /* twice this is beyond the 14-bit range */
    r.load(single(0, unitAggregate(kOrluTimeTag | kOrluEnergy, events)));
    ASSERT_EQ(r.walk(), 0);
    ASSERT_EQ(r->channels[0].nEvents, 501u);
    double sum = 0;
    for (uint32_t i = 0; i < 500; ++i) {
        const c_DPPEvent_t& e = r->channels[0].events[i];
        ASSERT_TRUE(e.energy == 2000 || e.energy == 2001) << e.energy;
        sum += e.energy;
        ASSERT_EQ(e.timeStamp, (100u + 4096u) * 10000); /* 4096 ticks later than the tag */
    }
    EXPECT_NEAR(sum / 500, 2000.5, 0.1);
    EXPECT_EQ(r->channels[0].events[0].flags, 0x1u);
    EXPECT_EQ(r->channels[0].events[500].energy, 0x3FFF);

    /* Without the rise-time parameter the gain cannot be known. */
    _pcfreeall(r->channels[0].coll);
    r->channels[0].coll = NULL;
    r.channel(0, DPPL_PARAM_CH_TRAP_NORM, 2);
    r.channel(0, DPPL_PARAM_CH_TDECAY, 2);
    EXPECT_EQ(r.walk(), DPPL_ERR_PARAMETER);
}

TEST(OrluGainRegister, A15BitEnergyOnA14BitBoardSaturatesAtFullScale) {
    Record r(OrluPha(7)); /* 14 energy bits */
    r.channel(0, DPPL_PARAM_CH_GAINREG, 1);
    r.allocate(8, 0, 0);
    r.load(single(0, unitAggregate(kOrluTimeTag | kOrluEnergy, {1, 0x7FFE, 2, 0x2468})));
    ASSERT_EQ(r.walk(), 0);
    EXPECT_EQ(r->channels[0].events[0].energy, 0x3FFF);
    EXPECT_EQ(r->channels[0].events[0].flags, EVTFLAG_SATURATED);
    EXPECT_EQ(r->channels[0].events[1].energy, 0x2468 >> 1);
}

/* -------------------------------------------------------------- couples */

class PembDecoder : public testing::Test {
protected:
    explicit PembDecoder(const Format& f = PembPha(136)) : r(f) { r.allocate(64, 0, 0); }
    int decode(uint32_t couple, uint32_t format, const std::vector<uint32_t>& events) {
        r.load(single(couple, unitAggregate(format, events)));
        return r.walk();
    }
    const c_DPPEvent_t& event(uint32_t ch, uint32_t i) { return r->channels[ch].events[i]; }
    Record r;
};

TEST_F(PembDecoder, EventsOfTheOddChannelFillOnlyTheOddChannel) {
    ASSERT_EQ(decode(1, kPembTimeTag | kPembCharge, {1u << 31 | 10, 100 << 1, 1u << 31 | 20, 200 << 1}), 0);
    EXPECT_EQ(r->channels[2].nEvents, 0u);
    ASSERT_EQ(r->channels[3].nEvents, 2u);
    EXPECT_EQ(event(3, 1).energy, 200);
    EXPECT_EQ(event(3, 1).timeStamp, 20u * 4000);
}

TEST_F(PembDecoder, AChannelThatIsNotRunningIsDecodedButNotDelivered) {
    r.channel(1, DPPL_PARAM_CH_ACQ_RUN, 0.5); /* anything but exactly 1 */
    r.channel(0, DPPL_PARAM_CH_ACQ_RUN, 1);
    std::vector<uint32_t> events = {5, 50 << 1, 1u << 31 | 7, 70 << 1, 1u << 31 | 9, 90 << 1};
    ASSERT_EQ(decode(0, kPembTimeTag | kPembCharge, events), 0);
    EXPECT_EQ(r->channels[0].nEvents, 1u);
    EXPECT_EQ(r->channels[1].nEvents, 0u);
    EXPECT_EQ(r->channels[1].lastRawTimeTag, 9u); /* its time-tag state went on */
    EXPECT_EQ(r->evtCount[1], 0u);
    r->channels[1].acqStatus = ACQSTATUS_STOPPING; /* the drain of a stop delivers */
    ASSERT_EQ(decode(0, kPembTimeTag | kPembCharge, events), 0);
    EXPECT_EQ(r->channels[1].nEvents, 2u);
    r->channels[1].acqStatus = ACQSTATUS_STOPPED;
    r->replay = 1;
    ASSERT_EQ(decode(0, kPembTimeTag | kPembCharge, events), 0);
    EXPECT_EQ(r->channels[1].nEvents, 2u);
}

TEST_F(PembDecoder, AStoppedChannelWithoutRoomStillDecodes) {
    /* A disabled channel has no event array; its events are passed over. */
    _freeWaveforms(&r->channels[1].events[0]);
    c_free(r->channels[1].events);
    r->channels[1].events = NULL;
    r->channels[1].capacity = 0;
    r.channel(1, DPPL_PARAM_CH_ACQ_RUN, 0);
    ASSERT_EQ(decode(0, kPembTimeTag | kPembCharge, {1u << 31 | 7, 70 << 1, 3, 30 << 1}), 0);
    EXPECT_EQ(r->channels[0].nEvents, 1u);
    /* A running channel without room overflows. */
    r.channel(1, DPPL_PARAM_CH_ACQ_RUN, 1);
    EXPECT_EQ(decode(0, kPembTimeTag | kPembCharge, {1u << 31 | 7, 70 << 1}), DPPL_ERR_EVENT_BUFFER_OVERFLOW);
}

TEST_F(PembDecoder, PulseHeightFlagsFollowTheRevision) {
    struct Case {
        int32_t minor;
        uint32_t word;
        uint16_t energy;
        uint32_t flags;
    } cases[] = {
        {135, 0x3FFF << 1, 0x3FFF, EVTFLAG_SATURATED},
        {135, 100 << 1 | 1u << 15, 100, EVTFLAG_PILEUP},
        {135, 1u << 15 | 1u << 20, 0, 0x400},          /* bit 15 with bit 20 and no energy: no pile-up */
        {135, 100 << 1 | 1u << 25 | 1u << 26, 100, 0}, /* bits 25, 26 mean nothing before 136 */
        {136, 0x3FFF << 1 | 1u << 15, 0x3FFF, 0},      /* from 136 on, value and bit 15 mean nothing */
        {136, 100 << 1 | 1u << 25, 100, EVTFLAG_PILEUP},
        {136, 100 << 1 | 1u << 26, 100, EVTFLAG_SATURATED},
        {136, 1u << 16 | 1u << 21 | 1u << 22, 0, 0x200 | 0x40 | 0x800},
    };
    for (const Case& c : cases) {
        r->descriptor.DPPMinorRev = c.minor;
        ASSERT_EQ(decode(0, kPembTimeTag | kPembCharge, {3, c.word}), 0);
        EXPECT_EQ(event(0, 0).energy, c.energy) << c.minor << " " << std::hex << c.word;
        EXPECT_EQ(event(0, 0).flags, c.flags) << c.minor << " " << std::hex << c.word;
    }
}

TEST_F(PembDecoder, PulseHeightRollOverRequestAndPseudoEvents) {
    /* Bit 17 asks for a roll-over even when the tag grew; a pseudo event
     * neither rolls over nor moves the tag state, and carries no offset. */
    r.channel(0, DPPL_PARAM_CH_TIME_OFFSET, 1.0);
    ASSERT_EQ(decode(0, kPembTimeTag | kPembCharge, {10, 0, 20, 1u << 17, 5, 1u << 19 | 1u << 17, 30, 0}), 0);
    ASSERT_EQ(r->channels[0].nEvents, 4u);
    EXPECT_EQ(event(0, 1).flags, EVTFLAG_ROLLOVER);
    EXPECT_EQ(event(0, 1).timeStamp, ((1ull << 31) + 20) * 4000 + 1000);
    EXPECT_EQ(event(0, 2).flags, EVTFLAG_PSEUDO);
    EXPECT_EQ(event(0, 2).timeStamp, ((1ull << 31) + 5) * 4000);
    EXPECT_EQ(event(0, 3).timeStamp, ((1ull << 31) + 30) * 4000 + 1000);
    EXPECT_EQ(r->evtCount2[0], 1u);
}

class PembPsdDecoder : public PembDecoder {
protected:
    PembPsdDecoder() : PembDecoder(PembPsd()) {}
};

TEST_F(PembPsdDecoder, ChargeSaturation) {
    struct Case {
        uint32_t word;
        uint16_t longCharge;
        int16_t shortCharge;
        uint32_t flags;
    } cases[] = {
        {32766u << 16 | 0x7FFE, 32766, 0x7FFE, 0},
        {0x7FFFu << 16 | 10, 0x7FFF, 10, EVTFLAG_SATURATED},
        {0xFFFFu << 16 | 10, 0x7FFF, 10, EVTFLAG_SATURATED}, /* stored as 0x7FFF */
        {100u << 16 | 0x7FFF, 100, 0x7FFF, EVTFLAG_SATURATED},
        {100u << 16 | 1u << 15 | 20, 100, 20, EVTFLAG_PILEUP},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(decode(0, kPembTimeTag | kPembCharge, {3, c.word}), 0);
        EXPECT_EQ(event(0, 0).energy, c.longCharge) << std::hex << c.word;
        EXPECT_EQ(event(0, 0).shortCharge, c.shortCharge) << std::hex << c.word;
        EXPECT_EQ(event(0, 0).flags, c.flags) << std::hex << c.word;
    }
}

TEST_F(PembPsdDecoder, ExtrasFlagsOfFormats1And2) {
    uint32_t extras = 0xF000; /* bits 12-15 */
    ASSERT_EQ(decode(0, kPembTimeTag | kPembExtras | kPembCharge | 1u << 24, {3, extras, 0}), 0);
    EXPECT_EQ(event(0, 0).flags, 0x20u | 0x400u | 0x100u | 0x40u);
    ASSERT_EQ(decode(0, kPembTimeTag | kPembExtras | kPembCharge | 0u << 24, {3, extras, 0}), 0);
    EXPECT_EQ(event(0, 0).flags, 0u); /* format 0 carries no flags */
}

/* ------------------------------------------------------ malformed aggregates */

struct MalformedCase {
    const char* name;
    Format format;
    uint32_t unit;
    std::vector<uint32_t> aggregate;
    int expected;
};

class Malformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(Malformed, IsRefused) {
    const MalformedCase& c = GetParam();
    Record r(c.format);
    r.allocate(4, 4, 16); /* room for 4 events of 16 samples a channel */
    r.load(single(c.unit, c.aggregate));
    for (uint32_t ch = 0; ch < 8; ++ch)
        r->channels[ch].nEvents = 3;
    EXPECT_EQ(r.walk(), c.expected);
    EXPECT_EQ(r->channels[0].nEvents, 3u); /* a failed walk leaves the counts alone */
}

std::vector<uint32_t> waves(uint32_t count) { return std::vector<uint32_t>(count, 0x00010001u); }

std::vector<uint32_t> concat(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Aggregates, Malformed,
    testing::Values(
        MalformedCase{"OrluHeaderWithoutBit31", OrluPha(), 0, {4, kOrluTimeTag | kOrluEnergy, 1, 2}, -39},
        MalformedCase{"OrluEventSizeZero", OrluPha(), 0, {0x80000003u, 0, 1}, -39},
        MalformedCase{
            "OrluNoWholeNumberOfEvents", OrluPha(), 0, {0x80000005u, kOrluTimeTag | kOrluEnergy, 1, 2, 3}, -39},
        MalformedCase{"OrluMoreEventsThanRoom", OrluPha(), 0, unitAggregate(kOrluTimeTag, {1, 2, 3, 4, 5}), -34},
        MalformedCase{"OrluRefusedDigitalProbe", OrluPha(), 0,
                      unitAggregate(kOrluTimeTag | kOrluWaves | 12u << 16 | 2, {1, 0, 0}), -39},
        MalformedCase{"OrluWaveformBeyondTheTrace", OrluPha(), 0,
                      unitAggregate(kOrluTimeTag | kOrluWaves | 9, concat({1}, waves(9))), -39},
        MalformedCase{"PembHeaderWithoutBit31", PembPha(), 0, {4, kPembTimeTag, 1, 2}, -39},
        MalformedCase{"PembEventSizeZero", PembPsd(), 0, {0x80000003u, 0, 1}, -39},
        MalformedCase{
            "PembNoWholeNumberOfEvents", PembPha(), 0, {0x80000005u, kPembTimeTag | kPembCharge, 1, 2, 3}, -39},
        MalformedCase{"PembMoreEventsThanRoom", PembPha(), 0, unitAggregate(kPembTimeTag, {1, 2, 3, 4, 5}), -34},
        MalformedCase{"PembPsdRefusedProbe", PembPsd(), 0,
                      unitAggregate(kPembTimeTag | kPembWaves | 6u << 16 | 1, concat({1}, waves(4))), -39},
        MalformedCase{"PembPhaRefusedProbe", PembPha(), 0,
                      unitAggregate(kPembTimeTag | kPembWaves | 1, concat({1}, waves(4))), -39},
        MalformedCase{"PembWaveformBeyondTheTrace", PembPha(), 0,
                      unitAggregate(kPembTimeTag | kPembWaves | 1u << 16 | 3, concat({1}, waves(12))), -39}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

TEST(MissingWaveformRecord, IsAnInvalidTrace) {
    struct Case {
        Format format;
        std::vector<uint32_t> aggregate;
    } cases[] = {
        {OrluPha(), unitAggregate(kOrluTimeTag | kOrluWaves | 2, concat({1}, waves(2)))},
        {PembPsd(), unitAggregate(kPembTimeTag | kPembWaves | 1, concat({1}, waves(4)))},
    };
    for (const Case& c : cases) {
        Record r(c.format);
        r.allocate(4, 0, 0); /* events without waveform records */
        r.load(single(0, c.aggregate));
        EXPECT_EQ(r.walk(), DPPL_ERR_INVALID_TRACE) << c.format.dppCode;
    }
}

} // namespace
