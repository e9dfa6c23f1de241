// Data format of the Tilk pulse-shape firmware (DPP code 132) on the
// simulated board: one channel aggregate per channel.
//
//   word 0   bits 28-31 the header type: 8 (two header words) without extras,
//            4 (three header words) with them; bits 0-21 the aggregate's size
//            in words, header included
//   word 1   bits 0-15 waveform units per event (4 words, 12 samples each);
//            19-21 and 22-24 the selectors of digital traces 4 and 5; 25 and 26
//            analog traces 0 and 1 show the CFD signal; 27 waveforms; 28 extras;
//            29 time tag; 30 charge word; 31 dual trace
//   word 2   (type 4 only) bits 0-2 the extras format c
//   events   [time tag: bits 0-31] [waveform] [extras] [charge]
//
// Waveform word: three 10-bit samples E, F, G in bits 0-9, 10-19, 20-29 and in
// bits 30-31 the position + 1 of the trigger sample when it falls in the word.
// With a dual trace each pair of words carries three samples of each trace,
// taking turns (trace 0 at 3k, trace 1 at 3k, trace 0 at 3k + 2, ...).
// Extras: formats 0 to 2 carry bits 32-47 of the time tag in bits 16-31;
// format 2 carries the fine time in 1024ths of a sample in bits 0-9, format 3
// in bits 16-25. Charge word: long charge in bits 16-31, short charge in 0-14,
// pile-up in 15.
//
// The format follows the board configuration register 0x8000 (bit 11 dual,
// 12 and 14 the analog traces' CFD signal, 16 waveforms, 17 extras, 18 time
// tag, 19 charge, 20-22 and 26-28 the digital selectors) and the extras format
// in bits 8-10 of the channel's register 0x1n80.
#include "ZarnSimEncoderSupport.h"

namespace zsim {
namespace {

constexpr uint32_t kMaxUnits = 0xFFFF;
constexpr uint32_t kSamplesPerUnit = 12;
constexpr uint32_t kSizeLimit = 0x3FFFFF;
constexpr int32_t kSampleMax = 0x3FF;

struct Format : EventLayout {
    uint32_t extrasFormat;
    uint32_t headerWords;
    uint32_t probeBits; // word 1 bits 19-26
};

Format ReadFormat(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t cfg = Reg(c, REG_BOARD_CONFIG);
    Format f{};
    ReadLayoutBits(cfg, f);
    f.extrasFormat = f.extras ? (Reg(c, ChannelAddress(unit, 0x80)) >> 8) & 7u : 0;
    f.headerWords = f.extras ? 3 : 2;
    f.probeBits =
        ((cfg >> 20) & 7u) | (((cfg >> 26) & 7u) << 3) | (((cfg >> 12) & 1u) << 6) | (((cfg >> 14) & 1u) << 7);
    FitWaveforms(f, events, count, {kSamplesPerUnit, kMaxUnits, f.headerWords, kSizeLimit});
    return f;
}

int32_t Sample(const ZarnSim_Event_t& e, uint32_t i) { return ClampedSample(e, i, kSampleMax); }

// The second trace: the input above its first sample, halved, about mid-scale.
// (inline: without the hint the compiler calls it out of line, which slows the
// whole waveform loop)
inline int32_t Derived(const ZarnSim_Event_t& e, uint32_t i) {
    return std::clamp((Sample(e, i) - Sample(e, 0)) / 2 + 512, 0, kSampleMax);
}

uint32_t Pack(int32_t e, int32_t f, int32_t g) {
    return static_cast<uint32_t>(e) | (static_cast<uint32_t>(f) << 10) | (static_cast<uint32_t>(g) << 20);
}

void EncodeWaveform(const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    const uint32_t words = 4 * f.units;
    for (uint32_t k = 0; k < words; ++k) {
        uint32_t base = 3 * k;
        if (!f.dual) {
            out[k] = Pack(Sample(e, base), Sample(e, base + 1), Sample(e, base + 2));
        } else if ((k & 1u) == 0) {
            out[k] = Pack(Sample(e, base), Derived(e, base), Sample(e, base + 2));
        } else {
            uint32_t p = base - 3; // the pair's first sample
            out[k] = Pack(Derived(e, p + 2), Sample(e, p + 4), Derived(e, p + 4));
        }
        if (e.preTrigger >= base && e.preTrigger < base + 3)
            out[k] |= (e.preTrigger - base + 1) << 30;
    }
}

uint32_t ExtrasWord(const ZarnSim_Event_t& e, const Format& f) {
    uint32_t fine = FineTime1024(e);
    if (f.extrasFormat == 3)
        return fine << 16;
    if (f.extrasFormat > 3)
        return 0;
    uint32_t word = static_cast<uint32_t>((e.timeTag >> 32) & 0xFFFFu) << 16;
    if (f.extrasFormat == 2)
        word |= fine;
    return word;
}

// The event words of one channel aggregate.
struct EventWords : EventWordsBase {
    const Format& f;

    explicit EventWords(const Format& format) : f(format) {}
    uint32_t TimeTag(const ZarnSim_Event_t& e) const { return static_cast<uint32_t>(e.timeTag); }
    void Waveform(const ZarnSim_Event_t& e, uint32_t* out) const { EncodeWaveform(e, f, out); }
    uint32_t Extras(const ZarnSim_Event_t& e) const { return ExtrasWord(e, f); }
    uint32_t Charge(const ZarnSim_Event_t& e) const { return PsdChargeWord(e, 0x7FFEu); }
};

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* c, uint32_t unit) { return EventsPerAggregateOf(c, unit); }

uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count) {
    Format f = ReadFormat(c, unit, events, count);
    return f.eventWords == 0 ? 0 : f.headerWords + count * f.eventWords;
}

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                uint32_t* out, uint32_t maxWords) {
    Format f = ReadFormat(c, unit, events, count);
    if (f.eventWords == 0)
        return 0;
    uint32_t words = f.headerWords + count * f.eventWords;
    if (words > maxWords)
        return 0;
    out[0] = ((f.extras ? 4u : 8u) << 28) | words;
    out[1] = f.units | (f.probeBits << 19) | (uint32_t{f.waves} << 27) | (uint32_t{f.extras} << 28) |
             (uint32_t{f.timeTag} << 29) | (uint32_t{f.charge} << 30) | (uint32_t{f.dual} << 31);
    if (f.extras)
        out[2] = f.extrasFormat;
    EventWords eventWords(f);
    WriteEvents(events, count, f, eventWords, out + f.headerWords);
    return words;
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_TilkPSDEncoder = {1, zsim::EventsPerAggregate, zsim::UnitWords, zsim::Encode,
                                                             nullptr};
