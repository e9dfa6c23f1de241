/* The simulated board's encoders against the library's decoders: every field
 * the encoder writes comes back from the walker and the decoder (energy,
 * charges, time stamps across roll-overs and across reads, flags, fine time,
 * waveforms and probes, bookkeeping). */
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "DecodeSupport.h"

using namespace dectest;

namespace {

constexpr uint32_t kDual = 1u << 11, kWaves = 1u << 16, kExtras = 1u << 17, kTimeTag = 1u << 18, kEnergy = 1u << 19;
constexpr double kOffsetNs = 5.0;
constexpr uint64_t kOffsetPs = 5000;

int16_t inputSample(const Pulse& p, uint32_t i) {
    if (p.wave.empty())
        return 0;
    return std::clamp<int16_t>(p.wave[std::min<size_t>(i, p.wave.size() - 1)], 0, 0x3FFF);
}

/* Digital traces the encoders draw: the trigger window, the second half. */
uint8_t window(const Pulse& p, uint32_t i) { return i >= p.preTrigger && i < p.preTrigger + 16 ? 1 : 0; }
uint8_t secondHalf(const Pulse& p, uint32_t i) { return i >= p.wave.size() / 2 ? 1 : 0; }

/* The same time offset, kOffsetNs, on every channel of the record. */
void offsetEveryChannel(Record& r, const Format& format) {
    for (uint32_t ch = 0; ch < format.channels; ++ch)
        r.channel(ch, DPPL_PARAM_CH_TIME_OFFSET, kOffsetNs);
}

/* Roll-overs of a tagBits-bit time tag, channel by channel: whether a
 * pulse's tag lies in another period of 2^tagBits ticks than the channel's
 * previous pulse (the first pulse of a channel follows period 0). */
class RollOvers {
public:
    explicit RollOvers(uint32_t tagBits) : bits_(tagBits) {}
    bool crossed(const Pulse& p) {
        uint64_t period = p.tag >> bits_;
        bool rolled = period != last_[p.channel];
        last_[p.channel] = period;
        return rolled;
    }

private:
    uint32_t bits_;
    std::map<uint32_t, uint64_t> last_;
};

/* Splits pulses into two reads, and each read into aggregates of 16 pulses a
 * unit: the decoders' state must carry from one read to the next. */
template <typename Check>
void decodeInTwoReads(Record& r, Encoder& enc, const std::vector<Pulse>& pulses, const std::vector<uint32_t>& channels,
                      Check&& check) {
    size_t half = pulses.size() / 2;
    std::vector<Pulse> reads[2] = {std::vector<Pulse>(pulses.begin(), pulses.begin() + (long)half),
                                   std::vector<Pulse>(pulses.begin() + (long)half, pulses.end())};
    for (const std::vector<Pulse>& part : reads) {
        r.load(enc.buffer(part, 16));
        ASSERT_EQ(r.walk(), 0);
        for (uint32_t ch : channels) {
            std::vector<Pulse> expected = OfChannel(part, ch);
            ASSERT_EQ(r->channels[ch].nEvents, expected.size()) << "channel " << ch;
            for (size_t i = 0; i < expected.size(); ++i) {
                SCOPED_TRACE(testing::Message() << "channel " << ch << " event " << i);
                check(expected[i], r->channels[ch].events[i]);
            }
        }
    }
}

/* The traces of one decoded event against its pulse: nSamples samples, the
 * probes of slots 0, 1, 3 and 4, the input on slot 0 (a dual trace carries
 * every other sample twice and repeats them on slot 1, else slot 1 is 0
 * where it is checked), the trigger window on slot 3 and the second half on
 * slot 4. */
struct Traces {
    uint32_t nSamples;
    int probes[4];
    bool dual;
    bool slot1Samples;
};

void expectTraces(const c_DPPEvent_t& e, const Pulse& p, const Traces& t) {
    const c_Waveform_t* w = e.waveform;
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(w->nSamples, t.nSamples);
    EXPECT_EQ(w->traces[0].probe, t.probes[0]);
    EXPECT_EQ(w->traces[1].probe, t.probes[1]);
    EXPECT_EQ(w->traces[3].probe, t.probes[2]);
    EXPECT_EQ(w->traces[4].probe, t.probes[3]);
    const int16_t* s0 = (const int16_t*)w->traces[0].samples;
    const int16_t* s1 = (const int16_t*)w->traces[1].samples;
    const uint8_t* d3 = (const uint8_t*)w->traces[3].samples;
    const uint8_t* d4 = (const uint8_t*)w->traces[4].samples;
    for (uint32_t i = 0; i < w->nSamples; ++i) {
        uint32_t at = t.dual ? i & ~1u : i;
        ASSERT_EQ(s0[i], inputSample(p, at)) << "sample " << i;
        if (t.slot1Samples) {
            ASSERT_EQ(s1[i], t.dual ? inputSample(p, at) : 0) << "sample " << i;
        }
        ASSERT_EQ(d3[i], window(p, i)) << "sample " << i;
        ASSERT_EQ(d4[i], secondHalf(p, i)) << "sample " << i;
    }
}

/* ---------------------------------------------------------- pulse height */

struct OrluCase {
    const char* name;
    uint32_t family;
    uint32_t config;
    uint32_t samples;
};

class OrluRoundTrip : public testing::TestWithParam<OrluCase> {};

TEST_P(OrluRoundTrip, EveryFieldComesBack) {
    const OrluCase& c = GetParam();
    Format format = OrluPha(c.family);
    Record r(format);
    const std::vector<uint32_t> channels = {0, 2, 5};
    for (uint32_t ch = 0; ch < format.channels; ++ch) {
        r.channel(ch, DPPL_PARAM_CH_GAINREG, 1);
        r.channel(ch, DPPL_PARAM_CH_TIME_OFFSET, kOffsetNs);
    }
    /* Traces hold whole waveform words (2 samples each). */
    r.allocate(128, c.samples ? 128 : 0, (c.samples + 1) / 2 * 2);
    Encoder enc(ZarnSim_OrluPHAEncoder, format);
    enc.regs[0x8000] = c.config;
    /* Gaps below 2^29 ticks: the 30-bit tag rolls over every few events. */
    std::vector<Pulse> pulses = MakePulses(7, channels, 40, 1u << 29, 16383, c.samples);
    const bool energyWord = (c.config & kEnergy) != 0, dual = (c.config & kDual) != 0;
    const uint32_t fullScale = (1u << format.energyBits) - 1;
    RollOvers rollOvers(30);
    uint64_t latest = 0;

    decodeInTwoReads(r, enc, pulses, channels, [&](const Pulse& p, const c_DPPEvent_t& e) {
        latest = std::max(latest, e.timeStamp);
        bool saturated = (p.flags & ZARN_SIM_EVENT_SATURATED) != 0;
        bool rolled = rollOvers.crossed(p);
        uint32_t flags = 0;
        if (energyWord) {
            flags |= saturated ? EVTFLAG_SATURATED : 0;
            flags |= (p.flags & ZARN_SIM_EVENT_PILEUP) && !saturated ? EVTFLAG_PILEUP : 0;
            flags |= rolled ? EVTFLAG_ROLLOVER : 0;
            EXPECT_EQ(e.energy, saturated ? fullScale : p.energy);
            /* Roll-overs are announced by the energy word: the time is whole. */
            EXPECT_EQ(e.timeStamp, p.tag * 10000 + kOffsetPs);
        } else {
            EXPECT_EQ(e.energy, 0);
            EXPECT_EQ(e.timeStamp, (p.tag & 0x3FFFFFFF) * 10000 + kOffsetPs);
        }
        EXPECT_EQ(e.flags, flags);
        EXPECT_EQ(e.shortCharge, 0);
        uint32_t waveWords = (c.samples + 1) / 2;
        EXPECT_EQ(e.sizeWords, waveWords + ((c.config & kTimeTag) ? 1u : 0u) + (energyWord ? 1u : 0u));
        if (c.samples == 0) {
            EXPECT_EQ(e.waveform, nullptr);
            return;
        }
        expectTraces(e, p, {2 * waveWords, {1, dual ? 1 : 0, 26, (c.config >> 20 & 0xF) == 5 ? 13 : 9}, dual, true});
    });
    /* Bookkeeping: counts, last time stamps, the largest time stamp. */
    for (uint32_t ch : channels) {
        std::vector<Pulse> mine = OfChannel(pulses, ch);
        EXPECT_EQ(r->evtCount[ch], mine.size());
        EXPECT_EQ(r->evtCount2[ch], 0u);
        ASSERT_GT(r->channels[ch].nEvents, 0u);
        EXPECT_EQ(r->lastChTimeStamp[ch], r->channels[ch].events[r->channels[ch].nEvents - 1].timeStamp);
    }
    EXPECT_EQ(r->maxTimeStamp, latest);
    EXPECT_EQ(r->lastTimeStamp, latest);
}

INSTANTIATE_TEST_SUITE_P(Formats, OrluRoundTrip,
                         testing::Values(OrluCase{"EnergyAndTime", 16, kTimeTag | kEnergy, 0},
                                         OrluCase{"Waveforms", 16, kTimeTag | kEnergy | kWaves | (5u << 20), 40},
                                         OrluCase{"OddWaveformLength", 16, kTimeTag | kEnergy | kWaves, 23},
                                         OrluCase{"DualTraceFamily7", 7, kTimeTag | kEnergy | kWaves | kDual, 24},
                                         OrluCase{"TimeTagOnly", 16, kTimeTag, 0}),
                         [](const testing::TestParamInfo<OrluCase>& info) { return info.param.name; });

/* ------------------------------------------------------------ pulse shape */

struct PsdCase {
    const char* name;
    uint32_t config;
    uint32_t extrasFormat;
    uint32_t samples;
};

class PembPsdRoundTrip : public testing::TestWithParam<PsdCase> {};

TEST_P(PembPsdRoundTrip, EveryFieldComesBack) {
    const PsdCase& c = GetParam();
    Format format = PembPsd();
    Record r(format);
    const std::vector<uint32_t> channels = {0, 1, 4, 5};
    offsetEveryChannel(r, format);
    r.allocate(128, c.samples ? 128 : 0, (c.samples + 7) / 8 * 8); /* whole units of 8 samples */
    Encoder enc(ZarnSim_PembPSDEncoder, format);
    enc.regs[0x8000] = c.config;
    for (uint32_t ch = 0; ch < format.channels; ch += 2)
        enc.regs[0x1080 | (ch << 8)] = c.extrasFormat << 8;
    /* Gaps below 2^30 ticks across 31-bit roll-overs, to beyond 2^34. */
    std::vector<Pulse> pulses = MakePulses(11, channels, 40, 1u << 30, 16383, c.samples);
    const bool extras = (c.config & kExtras) != 0;
    const bool upperInExtras = extras && c.extrasFormat <= 2, fine = extras && c.extrasFormat == 2;
    RollOvers rollOvers(31);

    decodeInTwoReads(r, enc, pulses, channels, [&](const Pulse& p, const c_DPPEvent_t& e) {
        bool saturated = (p.flags & ZARN_SIM_EVENT_SATURATED) != 0;
        bool rolled = rollOvers.crossed(p);
        uint32_t flags = (p.flags & ZARN_SIM_EVENT_PILEUP) ? EVTFLAG_PILEUP : 0;
        flags |= saturated ? EVTFLAG_SATURATED : 0;
        flags |= rolled && !upperInExtras ? EVTFLAG_ROLLOVER : 0;
        flags |= fine ? EVTFLAG_FINE_TIME : 0;
        EXPECT_EQ(e.flags, flags);
        EXPECT_EQ(e.energy, saturated ? 0x7FFF : p.energy);
        EXPECT_EQ(e.shortCharge, saturated ? 0x7FFF : (int16_t)(p.energy / 4));
        uint64_t coarse = p.tag * 4000 + kOffsetPs;
        if (fine) {
            /* 1024ths of a sample, dithered within one of them. */
            uint64_t steps = (uint64_t)(p.fine * 1024);
            EXPECT_GE(e.timeStamp, coarse + steps * 4000 / 1024);
            EXPECT_LE(e.timeStamp, coarse + (steps + 1) * 4000 / 1024);
        } else {
            EXPECT_EQ(e.timeStamp, coarse);
        }
        if (c.samples == 0)
            return;
        /* Slot 1: a single trace without the software CFD. */
        expectTraces(e, p, {8 * ((c.samples + 7) / 8), {1, 0, 24, 25}, false, true});
    });
    for (uint32_t ch : channels)
        EXPECT_EQ(r->evtCount[ch], OfChannel(pulses, ch).size());
}

INSTANTIATE_TEST_SUITE_P(Formats, PembPsdRoundTrip,
                         testing::Values(PsdCase{"UpperTagInExtras", kTimeTag | kEnergy | kExtras, 0, 0},
                                         PsdCase{"FineTimeInExtras", kTimeTag | kEnergy | kExtras, 2, 0},
                                         PsdCase{"ExtrasWithoutTime", kTimeTag | kEnergy | kExtras, 5, 0},
                                         PsdCase{"NoExtras", kTimeTag | kEnergy, 0, 0},
                                         PsdCase{"Waveforms", kTimeTag | kEnergy | kExtras | kWaves, 1, 36}),
                         [](const testing::TestParamInfo<PsdCase>& info) { return info.param.name; });

/* ----------------------------------------------------- couple pulse height */

struct PhaCase {
    const char* name;
    int32_t minor;
    uint32_t config;
    uint32_t samples;
};

class PembPhaRoundTrip : public testing::TestWithParam<PhaCase> {};

TEST_P(PembPhaRoundTrip, EveryFieldComesBack) {
    const PhaCase& c = GetParam();
    Format format = PembPha(c.minor);
    Record r(format);
    const std::vector<uint32_t> channels = {2, 3, 6};
    offsetEveryChannel(r, format);
    r.allocate(128, c.samples ? 128 : 0, c.samples);
    Encoder enc(ZarnSim_PembPHAEncoder, format);
    enc.regs[0x8000] = c.config;
    std::vector<Pulse> pulses = MakePulses(13, channels, 40, 1u << 30, 16383, c.samples);
    const bool extras = (c.config & kExtras) != 0;
    RollOvers rollOvers(31);

    decodeInTwoReads(r, enc, pulses, channels, [&](const Pulse& p, const c_DPPEvent_t& e) {
        bool saturated = (p.flags & ZARN_SIM_EVENT_SATURATED) != 0;
        bool rolled = rollOvers.crossed(p);
        uint32_t flags = (p.flags & ZARN_SIM_EVENT_PILEUP) ? EVTFLAG_PILEUP : 0;
        flags |= saturated ? EVTFLAG_SATURATED : 0;
        flags |= rolled && !extras ? EVTFLAG_ROLLOVER : 0;
        EXPECT_EQ(e.flags, flags);
        EXPECT_EQ(e.energy, saturated ? 0x3FFF : p.energy);
        EXPECT_EQ(e.timeStamp, p.tag * 4000 + kOffsetPs);
        if (c.samples == 0)
            return;
        expectTraces(e, p, {8 * ((c.samples + 7) / 8), {1, 0, 26, 10}, false, false});
    });
}

INSTANTIATE_TEST_SUITE_P(Formats, PembPhaRoundTrip,
                         testing::Values(PhaCase{"Revision136UpperTagInExtras", 136, kTimeTag | kEnergy | kExtras, 0},
                                         PhaCase{"Revision135RollOverRequests", 135, kTimeTag | kEnergy, 0},
                                         PhaCase{"Waveforms", 136, kTimeTag | kEnergy | kWaves | (1u << 20), 16}),
                         [](const testing::TestParamInfo<PhaCase>& info) { return info.param.name; });

} // namespace
