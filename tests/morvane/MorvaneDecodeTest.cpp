/* The channel-aggregate decoder: hand-made aggregates for each rule and each
 * refusal, the simulated board's encoder decoded back field for field, and a
 * run read through the library's readout. */
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "MorvaneSupport.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnParameters.h"
#include "ZarnSimEncoder.h"
#include "ZarnSimulator.h"

extern "C" const ZarnSim_Encoder_t ZarnSim_MorvanePHAEncoder;

using morvanetest::LogFolder;
using morvanetest::Record;

namespace {

constexpr uint32_t kE = 1u << 28, kF = 1u << 29, kWaves = 1u << 30, kDual = 1u << 31;

uint32_t header0(uint32_t size) { return 0x40000000u | size; }

class MorvaneDecode : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(r.Open(), 0); }
    int Decode(std::vector<uint32_t> words) {
        words_ = std::move(words);
        return MORVANE_DecodeChannelAggregate(r.get(), words_.data(), counts);
    }
    c_DPPEvent_t& Event(uint32_t ch, uint32_t i) { return r->channels[ch].events[i]; }

    LogFolder logs;
    Record r;
    uint32_t counts[64] = {};
    std::vector<uint32_t> words_;
};

TEST_F(MorvaneDecode, MalformedAggregatesAreRefusedWithoutDecoding) {
    const struct {
        const char* what;
        std::vector<uint32_t> words;
        int code;
    } cases[] = {
        {"header without bit 30", {0x00000005u, kE | kF, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
        {"events of no words", {header0(2), 0}, DPPL_ERR_INVALID_EVENT},
        {"not a whole number of events", {header0(6), kE | kF, 0, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
        {"analog probe 1 without dual trace",
         {header0(6), kE | kF | kWaves | (1u << 20) | 1, 0, 0, 0, 0},
         DPPL_ERR_INVALID_TRACE},
        {"waveform words without waveforms", {header0(6), kE | kF | 1, 0, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
        {"size beyond what the readout checked", {header0(0x200002), kE | kF, 0, 0, 0}, DPPL_ERR_INVALID_EVENT},
        {"size below the header", {header0(1), kE | kF}, DPPL_ERR_INVALID_EVENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Decode(c.words), c.code);
        EXPECT_EQ(counts[0], 0u);
        EXPECT_EQ(counts[1], 0u);
    }
    EXPECT_NE(logs.Read("CBoard_MorvaneLog.txt").find("Invalid channel aggregate header word 0x5"), std::string::npos);
}

TEST_F(MorvaneDecode, AnAggregateWithoutEventsChangesNothing) {
    EXPECT_EQ(Decode({header0(2), kE | kF}), 0);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(r->evtCount[0], 0u);
}

TEST_F(MorvaneDecode, EnergyWordFlagsRollOverAndTimeStamps) {
    c_Parameter_t* offset = c_pfindc(r.get(), 1, DPPL_PARAM_CH_TIME_OFFSET);
    ASSERT_NE(offset, nullptr);
    ASSERT_EQ(c_pset(r.get(), offset, 5.0), 0);
    GENERIC_InvalidateReadCache(r.get());
    const uint32_t ch1 = 1u << 31;
    ASSERT_EQ(Decode({header0(11), kE | kF, ch1 | 0x2, 100, 0x9000u | (1u << 17), /* energy 0x7FFF, roll-over */
                      ch1 | 0x2, 200, 1234u | (1u << 26) | (1u << 22),            /* pile-up, saturated */
                      ch1 | 0x0, 300, 55u | (1u << 17) | (1u << 18)}),            /* roll-over then reset */
              0);
    ASSERT_EQ(counts[1], 3u);
    EXPECT_EQ(counts[0], 0u);
    const c_DPPEvent_t& e0 = Event(1, 0);
    EXPECT_EQ(e0.energy, 0x7FFF);
    EXPECT_EQ(e0.flags, 0x2u);
    EXPECT_EQ(e0.sizeWords, 3u);
    const uint64_t periodPs = 10000;
    // raw time (2 << 32 | 100) and one roll-over of the 32-bit time tag, plus 5 ns
    EXPECT_EQ(e0.timeStamp, ((2ull << 32 | 100) + (1ull << 32)) * periodPs + 5000);
    EXPECT_EQ(Event(1, 1).energy, 1234);
    EXPECT_EQ(Event(1, 1).flags, 0x8000u | 0x80u);
    EXPECT_EQ(Event(1, 2).flags, 0x2u | 0x4u);
    EXPECT_EQ(r->channels[1].rollOver1, 0u);
    EXPECT_EQ(Event(1, 2).timeStamp, 300 * periodPs + 5000);
    EXPECT_EQ(r->evtCount[1], 3u);
    EXPECT_EQ(r->lastChTimeStamp[1], Event(1, 2).timeStamp);
    EXPECT_EQ(r->maxTimeStamp, Event(1, 1).timeStamp);
}

TEST_F(MorvaneDecode, TimeShiftOfTheHeader) {
    ASSERT_EQ(Decode({header0(5), kE | kF | (2u << 24), 0x1, 0x10, 7}), 0);
    EXPECT_EQ(Event(0, 0).timeStamp, ((1ull << 32 | 0x10) << 2) * 10000);
}

TEST_F(MorvaneDecode, SpecialEventsRealDeadTimeAndMultichannelScaling) {
    const uint32_t special = 1u << 30;
    ASSERT_EQ(
        Decode({header0(8), kE | kF, special | (1u << 16) | (0u << 8) | 0x1u, 1000, 40, /* real 1000, dead 2^32 + 40 */
                special | (0u << 16) | (1u << 15) | 0x123, 0xAAAA, 0xBBBB}),
        0);
    ASSERT_EQ(counts[0], 2u);
    const c_DPPEvent_t& times = Event(0, 0);
    EXPECT_EQ(times.flags, 0x10008u);
    EXPECT_EQ(times.timeStamp, 1000u * 10000u);
    EXPECT_EQ(r->evtCount2[0], 1u); /* a pseudo event */
    uint64_t real = 0, dead = 0;
    ASSERT_EQ(c_getRealtimeAndDeadtime(r.get(), 0, &real, &dead), 0);
    EXPECT_EQ(real, 10000u);
    EXPECT_EQ(dead, ((1ull << 32) + 40) * 10);
    const c_DPPEvent_t& mcs = Event(0, 1);
    EXPECT_EQ(mcs.flags, (uint32_t)EVTFLAG_MCS);
    EXPECT_EQ(mcs.specialFlag, 1);
    EXPECT_EQ(mcs.specialIndex, 0x123);
    EXPECT_EQ(mcs.specialWord1, 0xAAAAu);
    EXPECT_EQ(mcs.specialWord2, 0xBBBBu);
    EXPECT_EQ(mcs.timeStamp, 0u);
}

TEST_F(MorvaneDecode, ASpecialEventThatRunsPastTheAggregateIsRefused) {
    // Events of 2 words (time tag only): a 3-word special event leaves the
    // walk one word short of its last event. The walk is checked before
    // anything is decoded.
    const uint32_t special = 1u << 30;
    EXPECT_EQ(Decode({header0(6), kE, special | (1u << 16), 5, 6, 0}), DPPL_ERR_INVALID_EVENT);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(r->evtCount[0], 0u);
}

// Special events keep their 3 words among events with waveforms, and carry no
// samples: not even those that an earlier read left in the same record (the
// device's records give a waveform to each channel's first event).
TEST_F(MorvaneDecode, SpecialEventsAmongWaveformEventsHaveNoSamples) {
    const uint32_t special = 1u << 30, format = kE | kF | kWaves | 2;
    const uint32_t wave = (0x0100u << 16) | 0x0200u;
    ASSERT_NE(Event(0, 0).waveform, nullptr);
    ASSERT_EQ(Decode({header0(12), format, 0, 10, wave, wave, 100, 0, 20, wave, wave, 200}), 0);
    ASSERT_EQ(counts[0], 2u);
    ASSERT_EQ(Event(0, 0).waveform->nSamples, 4u);

    // The next read: the records are used again from index 0.
    counts[0] = 0;
    ASSERT_EQ(Decode({header0(13), format, special | (0u << 16) | (1u << 15) | 0, 7, 0, /* MCS slot 0, 7 counts */
                      0, 30, wave, wave, 300, special | (1u << 16), 1000, 10}),         /* real and dead time */
              0);
    ASSERT_EQ(counts[0], 3u);
    EXPECT_EQ(Event(0, 0).flags, (uint32_t)EVTFLAG_MCS);
    EXPECT_EQ(Event(0, 0).specialWord1, 7u);
    EXPECT_EQ(Event(0, 0).waveform->nSamples, 0u) << "an MCS datum showed an earlier event's traces";
    EXPECT_EQ(Event(0, 1).energy, 300);
    EXPECT_EQ(Event(0, 2).flags, 0x10008u);

    // A time report first, with or without waveforms in the header.
    for (uint32_t header1 : {format, kE | kF}) {
        counts[0] = 0;
        ASSERT_EQ(Decode({header0(7), format, 0, 10, wave, wave, 100}), 0);
        ASSERT_EQ(Event(0, 0).waveform->nSamples, 4u);
        counts[0] = 0;
        ASSERT_EQ(Decode({header0(5), header1, special | (1u << 16), 1000, 10}), 0);
        EXPECT_EQ(Event(0, 0).waveform->nSamples, 0u) << "a time report showed an earlier event's traces";
    }
}

TEST_F(MorvaneDecode, DualTraceWaveform) {
    // a0 selector 3 (trapezoid: x4), a1 selector 2 with bit 31 (probe 8: x4), digital 0 selector 1.
    const uint32_t format = kE | kF | kWaves | kDual | (3u << 22) | (2u << 20) | (1u << 16) | 2;
    const uint32_t w0 = (0x0010u << 16) | 0x3FFFu | (1u << 14) | (1u << 31); /* a1 = -1 */
    const uint32_t w1 = (0x0020u << 16) | 0x0003u | (1u << 30) | (1u << 15);
    ASSERT_EQ(Decode({header0(7), format, 0, 9, w0, w1, 77}), 0);
    const c_DPPEvent_t& e = Event(0, 0);
    ASSERT_NE(e.waveform, nullptr);
    const c_Waveform_t& w = *e.waveform;
    EXPECT_EQ(w.nSamples, 4u);
    EXPECT_EQ(w.traces[0].probe, 4);
    EXPECT_EQ(w.traces[1].probe, 8);
    EXPECT_EQ(w.traces[3].probe, 10);
    EXPECT_EQ(w.traces[4].probe, 26);
    const int16_t* a0 = (const int16_t*)w.traces[0].samples;
    const int16_t* a1 = (const int16_t*)w.traces[1].samples;
    const uint8_t* d0 = (const uint8_t*)w.traces[3].samples;
    const uint8_t* d1 = (const uint8_t*)w.traces[4].samples;
    EXPECT_EQ(a0[0], 0x10 * 4);
    EXPECT_EQ(a0[1], 0x10 * 4);
    EXPECT_EQ(a0[2], 0x20 * 4);
    EXPECT_EQ(a1[0], -4);
    EXPECT_EQ(a1[1], -4);
    EXPECT_EQ(a1[3], 12);
    const uint8_t digital0[4] = {1, 0, 0, 1}, digital1[4] = {0, 1, 1, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(d0[i], digital0[i]) << i;
        EXPECT_EQ(d1[i], digital1[i]) << i;
    }
    EXPECT_EQ(e.energy, 77);
}

TEST_F(MorvaneDecode, SingleTraceInputIsUnsignedAndAnalogOneEmpty) {
    const uint32_t format = kE | kF | kWaves | 1;
    ASSERT_EQ(Decode({header0(6), format, 0, 1, (0x3FF0u << 16) | 0x2001u, 5}), 0);
    const c_Waveform_t& w = *Event(0, 0).waveform;
    EXPECT_EQ(w.traces[0].probe, 1);
    EXPECT_EQ(w.traces[1].probe, 0);
    EXPECT_EQ(((const int16_t*)w.traces[0].samples)[0], 0x2001);
    EXPECT_EQ(((const int16_t*)w.traces[0].samples)[1], 0x3FF0);
}

TEST_F(MorvaneDecode, TooLittleRoomIsRefused) {
    const uint32_t capacity = r->channels[0].capacity;
    counts[0] = capacity - 1;
    EXPECT_EQ(Decode({header0(8), kE | kF, 0, 1, 2, 0, 3, 4}), DPPL_ERR_EVENT_BUFFER_OVERFLOW);
    EXPECT_EQ(counts[0], capacity - 1);
    EXPECT_NE(logs.Read("CBoard_MorvaneLog.txt").find("Number of events 2 exceeds the number of available events (1)"),
              std::string::npos);
    // Events of a channel beyond the first event's are checked one by one.
    counts[0] = 0;
    counts[1] = r->channels[1].capacity;
    EXPECT_EQ(Decode({header0(8), kE | kF, 0, 1, 2, 1u << 31, 3, 4}), DPPL_ERR_EVENT_BUFFER_OVERFLOW);
    EXPECT_EQ(counts[1], r->channels[1].capacity);
}

TEST(MorvaneProbeCode, SelectorTables) {
    EXPECT_EQ(MORVANE_ProbeCode(0, 1), 34);
    EXPECT_EQ(MORVANE_ProbeCode(0, 6), DPPL_ERR_INVALID_TRACE);
    EXPECT_EQ(MORVANE_ProbeCode(1, 524), 5);
    EXPECT_EQ(MORVANE_ProbeCode(1, 4), DPPL_ERR_INVALID_TRACE);
    EXPECT_EQ(MORVANE_ProbeCode(2, 240), 39);
    EXPECT_EQ(MORVANE_ProbeCode(2, 8), DPPL_ERR_INVALID_TRACE);
    EXPECT_EQ(MORVANE_ProbeCode(3, 99), 26);
    EXPECT_EQ(MORVANE_ProbeCode(4, 0), -32);
}

/* ----------------------------------------------- against the encoder */

struct EncoderBoard {
    uint32_t config = 0;
    uint32_t perAggregate = 16;
};

uint32_t readRegister(void* board, uint32_t address) {
    const EncoderBoard* b = static_cast<const EncoderBoard*>(board);
    return address == 0x8000 ? b->config : address == 0x8134 ? b->perAggregate : 0;
}

TEST_F(MorvaneDecode, EncoderRoundTripFieldForField) {
    EncoderBoard board;
    ZarnSim_EncoderContext_t context;
    std::memset(&context, 0, sizeof context);
    context.board = &board;
    context.readRegister = readRegister;
    context.samplePeriodNs = 10.0;
    context.realTimeTicks[1] = 5000;
    context.deadTimeTicks[1] = 70;
    const ZarnSim_Encoder_t& encoder = ZarnSim_MorvanePHAEncoder;

    // Without waveforms: events, then the time report.
    ZarnSim_Event_t events[3];
    std::memset(events, 0, sizeof events);
    const uint64_t tags[3] = {17, (5ull << 32) + 3, (0x3FFFFFFFull << 32) | 0xFFFFFFFFu};
    const uint32_t energies[3] = {100, 0x7FFF, 20000};
    const uint32_t flags[3] = {0, ZARN_SIM_EVENT_PILEUP, ZARN_SIM_EVENT_SATURATED};
    for (int i = 0; i < 3; ++i) {
        events[i].timeTag = tags[i];
        events[i].channel = 1;
        events[i].energy = energies[i];
        events[i].flags = flags[i];
    }
    uint32_t bound = encoder.unitAggregateWords(&context, 1, events, 3);
    std::vector<uint32_t> out(bound);
    uint32_t words = encoder.encodeUnitAggregate(&context, 1, events, 3, out.data(), bound);
    ASSERT_EQ(words, 2u + 3 * 3 + 3);
    out.resize(words);
    ASSERT_EQ(Decode(out), 0);
    ASSERT_EQ(counts[1], 4u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Event(1, i).energy, energies[i]);
        EXPECT_EQ(Event(1, i).timeStamp, tags[i] * 10000);
        EXPECT_EQ(Event(1, i).sizeWords, 3u);
    }
    EXPECT_EQ(Event(1, 0).flags, 0u);
    EXPECT_EQ(Event(1, 1).flags, (uint32_t)EVTFLAG_PILEUP);
    EXPECT_EQ(Event(1, 2).flags, (uint32_t)EVTFLAG_SATURATED);
    EXPECT_EQ(Event(1, 3).flags, 0x10008u);
    uint64_t real = 0, dead = 0;
    ASSERT_EQ(c_getRealtimeAndDeadtime(r.get(), 1, &real, &dead), 0);
    EXPECT_EQ(real, 50000u);
    EXPECT_EQ(dead, 700u);

    // With waveforms: one event an aggregate, its samples back unchanged.
    board.config = 1u << 16;
    EXPECT_EQ(encoder.eventsPerAggregate(&context, 0), 1u);
    std::vector<int16_t> wave(64);
    for (size_t i = 0; i < wave.size(); ++i)
        wave[i] = (int16_t)(1000 + 37 * i);
    ZarnSim_Event_t e;
    std::memset(&e, 0, sizeof e);
    e.timeTag = 99;
    e.channel = 0;
    e.energy = 4321;
    e.waveform = wave.data();
    e.samples = (uint32_t)wave.size();
    e.preTrigger = 8;
    bound = encoder.unitAggregateWords(&context, 0, &e, 1);
    out.assign(bound, 0);
    words = encoder.encodeUnitAggregate(&context, 0, &e, 1, out.data(), bound);
    ASSERT_EQ(words, 2u + 3 + 32);
    out.resize(words);
    counts[0] = 0;
    ASSERT_EQ(Decode(out), 0);
    const c_DPPEvent_t& decoded = Event(0, 0);
    EXPECT_EQ(decoded.energy, 4321);
    EXPECT_EQ(decoded.timeStamp, 99u * 10000);
    ASSERT_NE(decoded.waveform, nullptr);
    ASSERT_EQ(decoded.waveform->nSamples, 64u);
    const int16_t* input = (const int16_t*)decoded.waveform->traces[0].samples;
    const uint8_t* window = (const uint8_t*)decoded.waveform->traces[3].samples;
    for (size_t i = 0; i < wave.size(); ++i) {
        EXPECT_EQ(input[i], wave[i]) << i;
        EXPECT_EQ(window[i], i >= 8 && i < 24 ? 1 : 0) << i;
    }
}

/* A run of the simulated device read back through c_getDPPEvents. */
TEST(MorvaneRun, EventsAndTimesOfARunComeThroughTheReadout) {
    Record r;
    ASSERT_EQ(r.Open(), 0);
    ASSERT_EQ(ZarnSim_SetSeed(r.Link(), 7), 0);
    ASSERT_EQ(ZarnSim_SetClockMode(r.Link(), ZARN_SIM_CLOCK_MANUAL), 0);
    ASSERT_EQ(ZarnSim_SetRate(r.Link(), -1, 2000.0), 0);
    ASSERT_EQ(c_bstarta(r.get()), 0);
    uint64_t decoded[2] = {0, 0};
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(ZarnSim_AdvanceClock(r.Link(), 50000000), 0); /* 50 ms */
        int32_t bytes = 0;
        ASSERT_EQ(c_getDPPEvents(r.get(), &bytes), 0);
        for (uint32_t ch = 0; ch < 2; ++ch)
            for (uint32_t i = 0; i < r->channels[ch].nEvents; ++i)
                if ((r->channels[ch].events[i].flags & EVTFLAG_PSEUDO) == 0)
                    decoded[ch]++;
    }
    ASSERT_EQ(c_bstopa(r.get()), 0);
    for (uint32_t ch = 0; ch < 2; ++ch)
        for (uint32_t i = 0; i < r->channels[ch].nEvents; ++i)
            if ((r->channels[ch].events[i].flags & EVTFLAG_PSEUDO) == 0)
                decoded[ch]++;
    for (uint32_t ch = 0; ch < 2; ++ch) {
        SCOPED_TRACE(ch);
        uint64_t generated = 0, lost = 0;
        ASSERT_EQ(ZarnSim_GetChannelCounts(r.Link(), ch, &generated, nullptr, &lost), 0);
        EXPECT_GT(generated, 1000u);
        EXPECT_EQ(decoded[ch], generated - lost);
        uint64_t real = 0, dead = 0;
        ASSERT_EQ(c_getRealtimeAndDeadtime(r.get(), (int32_t)ch, &real, &dead), 0);
        EXPECT_GT(real, 900000000u); /* about a second of board time */
        EXPECT_LE(real, 1000000000u);
    }
}

} // namespace

namespace {

TEST(MorvaneRun, WaveformsOfARunDecodeIntoTheRecordsWaveform) {
    Record r;
    ASSERT_EQ(r.Open(), 0);
    c_Parameter_t* waves = c_pfind(r.get(), DPPL_PARAM_WAVEFORMS);
    c_Parameter_t* length = c_pfind(r.get(), DPPL_PARAM_RECLEN);
    ASSERT_NE(waves, nullptr);
    ASSERT_NE(length, nullptr);
    ASSERT_EQ(c_pset(r.get(), waves, 1.0), 0);
    ASSERT_EQ(c_pset(r.get(), length, 2000.0), 0); /* 100 words of two samples */
    c_Parameter_t* aggregates = c_pfind(r.get(), DPPL_PARAM_NABLT);
    EXPECT_EQ(aggregates->value, 1.0); /* one event a transfer with waveforms */
    ASSERT_EQ(ZarnSim_SetSeed(r.Link(), 11), 0);
    ASSERT_EQ(ZarnSim_SetClockMode(r.Link(), ZARN_SIM_CLOCK_MANUAL), 0);
    ASSERT_EQ(ZarnSim_SetRate(r.Link(), -1, 500.0), 0);
    ASSERT_EQ(c_bstarta(r.get()), 0);
    uint64_t decoded = 0, withWaveform = 0;
    for (int cycle = 0; cycle < 10; ++cycle) {
        ASSERT_EQ(ZarnSim_AdvanceClock(r.Link(), 10000000), 0);
        ASSERT_EQ(c_getDPPEvents(r.get(), nullptr), 0);
        for (uint32_t ch = 0; ch < 2; ++ch) {
            decoded += r->channels[ch].nEvents;
            const c_DPPEvent_t& first = r->channels[ch].events[0];
            if (r->channels[ch].nEvents > 0 && first.waveform != nullptr) {
                ++withWaveform;
                EXPECT_EQ(first.waveform->nSamples, 200u);
                EXPECT_EQ(first.waveform->traces[0].probe, DPPL_PROBE_INPUT);
            }
        }
    }
    ASSERT_EQ(c_bstopa(r.get()), 0);
    decoded += r->channels[0].nEvents + r->channels[1].nEvents;
    // What the board still holds after the stop's read comes with further reads.
    for (int read = 0; read < 1000; ++read) {
        int32_t bytes = 0;
        ASSERT_EQ(c_getDPPEvents(r.get(), &bytes), 0);
        if (bytes == 0)
            break;
        decoded += r->channels[0].nEvents + r->channels[1].nEvents;
    }
    uint64_t generated = 0, lost = 0, total = 0;
    for (uint32_t ch = 0; ch < 2; ++ch) {
        ASSERT_EQ(ZarnSim_GetChannelCounts(r.Link(), ch, &generated, nullptr, &lost), 0);
        total += generated - lost;
    }
    EXPECT_GT(total, 10u);
    EXPECT_EQ(decoded, total);
    EXPECT_GT(withWaveform, 0u);
}

/* A busy device read at the server's pace: board time moves on 1 ms between
 * reads, at 3,000 counts/s a channel, while both channels count their events
 * in the slots of one multichannel-scaling sweep. Each read must take what
 * the board holds, with waveforms too (one aggregate a block transfer), or
 * the board's memory fills and drops events and slot data alike. */
class MorvaneBusyRun : public ::testing::TestWithParam<bool> {};

TEST_P(MorvaneBusyRun, ReadsAtTheServersPaceLoseNothingAndEverySlotArrives) {
    const bool waveforms = GetParam();
    const uint32_t slots = 50, dwellUs = 20000;
    Record r;
    ASSERT_EQ(r.Open(), 0);
    if (waveforms) {
        ASSERT_EQ(c_pset(r.get(), c_pfind(r.get(), DPPL_PARAM_RECLEN), 400.0), 0);
        ASSERT_EQ(c_pset(r.get(), c_pfind(r.get(), DPPL_PARAM_WAVEFORMS), 1.0), 0);
    }
    for (int32_t ch = 0; ch < 2; ++ch) {
        ASSERT_EQ(c_pset(r.get(), c_pfindc(r.get(), ch, DPPL_PARAM_CH_MCS_CHANNELS), slots), 0);
        ASSERT_EQ(c_pset(r.get(), c_pfindc(r.get(), ch, DPPL_PARAM_CH_MCS_DWELL_TIME), dwellUs), 0);
        ASSERT_EQ(c_pset(r.get(), c_pfindc(r.get(), ch, DPPL_PARAM_CH_MCS_SW_DWELL_ENABLE), 1.0), 0);
    }
    ASSERT_EQ(ZarnSim_SetSeed(r.Link(), 23), 0);
    ASSERT_EQ(ZarnSim_SetClockMode(r.Link(), ZARN_SIM_CLOCK_MANUAL), 0);
    ASSERT_EQ(ZarnSim_SetRate(r.Link(), -1, 3000.0), 0);
    ASSERT_EQ(c_bstarta(r.get()), 0);

    struct Datum {
        uint32_t slot, count, firstTick;
    };
    std::vector<Datum> data[2];
    std::vector<uint64_t> ticks[2];
    uint64_t pulses[2] = {0, 0};
    const uint64_t periodPs = 10000;
    auto take = [&] {
        for (uint32_t ch = 0; ch < 2; ++ch)
            for (uint32_t i = 0; i < r->channels[ch].nEvents; ++i) {
                const c_DPPEvent_t& e = r->channels[ch].events[i];
                if (e.flags & EVTFLAG_MCS)
                    data[ch].push_back({(uint32_t)e.specialIndex, e.specialWord1, e.specialWord2});
                else if ((e.flags & EVTFLAG_PSEUDO) == 0) {
                    pulses[ch]++;
                    ticks[ch].push_back(e.timeStamp / periodPs);
                }
            }
    };
    for (int read = 0; read < 1100; ++read) { /* the sweep's second and a little more */
        ASSERT_EQ(ZarnSim_AdvanceClock(r.Link(), 1000000), 0);
        ASSERT_EQ(c_getDPPEvents(r.get(), nullptr), 0);
        take();
    }
    ASSERT_EQ(c_bstopa(r.get()), 0);
    take();
    for (int read = 0; read < 100000; ++read) {
        int32_t bytes = 0;
        ASSERT_EQ(c_getDPPEvents(r.get(), &bytes), 0);
        if (bytes == 0)
            break;
        take();
    }

    const uint64_t dwellTicks = dwellUs * 1000ull / 10;
    for (uint32_t ch = 0; ch < 2; ++ch) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        uint64_t generated = 0, lost = 0;
        ASSERT_EQ(ZarnSim_GetChannelCounts(r.Link(), ch, &generated, nullptr, &lost), 0);
        EXPECT_GT(generated, 3000u);
        EXPECT_EQ(lost, 0u) << "the board's memory filled";
        EXPECT_EQ(pulses[ch], generated);
        ASSERT_EQ(data[ch].size(), slots) << "one datum per slot of the sweep";
        for (uint32_t i = 0; i < slots; ++i) {
            EXPECT_EQ(data[ch][i].slot, i);
            uint32_t inWindow = 0;
            for (uint64_t tick : ticks[ch])
                inWindow += (uint32_t)(tick - data[ch][i].firstTick) < dwellTicks;
            EXPECT_EQ(data[ch][i].count, inWindow) << "slot " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, MorvaneBusyRun, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Waveforms" : "NoWaveforms";
                         });

} // namespace
