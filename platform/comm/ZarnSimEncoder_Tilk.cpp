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
#include "ZarnSimBoard.h"

#include <algorithm>

namespace zsim {
namespace {

constexpr uint32_t kMaxUnits = 0xFFFF;
constexpr uint32_t kSamplesPerUnit = 12;
constexpr uint32_t kSizeLimit = 0x3FFFFF;
constexpr int32_t kSampleMax = 0x3FF;

struct Format {
    bool timeTag, charge, extras, waves, dual;
    uint32_t extrasFormat;
    uint32_t headerWords;
    uint32_t units;
    uint32_t eventWords;
    uint32_t probeBits; // word 1 bits 19-26
};

uint32_t Reg(const ZarnSim_EncoderContext_t* c, uint32_t address) { return c->readRegister(c->board, address); }

Format ReadFormat(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t cfg = Reg(c, REG_BOARD_CONFIG);
    Format f{};
    f.dual = (cfg >> 11) & 1u;
    f.waves = (cfg >> 16) & 1u;
    f.extras = (cfg >> 17) & 1u;
    f.timeTag = (cfg >> 18) & 1u;
    f.charge = (cfg >> 19) & 1u;
    f.extrasFormat = f.extras ? (Reg(c, ChannelAddress(unit, 0x80)) >> 8) & 7u : 0;
    f.headerWords = f.extras ? 3 : 2;
    f.probeBits = ((cfg >> 20) & 7u) | (((cfg >> 26) & 7u) << 3) | (((cfg >> 12) & 1u) << 6) | (((cfg >> 14) & 1u) << 7);
    uint32_t samples = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (events[i].waveform) samples = std::max(samples, events[i].samples);
    uint32_t fixed = (f.timeTag ? 1u : 0u) + (f.extras ? 1u : 0u) + (f.charge ? 1u : 0u);
    f.units = f.waves ? std::min((samples + kSamplesPerUnit - 1) / kSamplesPerUnit, kMaxUnits) : 0;
    if (count > 0 && f.headerWords + uint64_t{count} * (4 * f.units + fixed) > kSizeLimit) {
        uint32_t room = (kSizeLimit - f.headerWords) / count;
        f.units = room > fixed ? std::min(f.units, (room - fixed) / 4) : 0;
    }
    if (f.units == 0) f.waves = false;
    f.eventWords = 4 * f.units + fixed;
    return f;
}

int32_t Sample(const ZarnSim_Event_t& e, uint32_t i) {
    if (!e.waveform || e.samples == 0) return 0;
    return std::clamp<int32_t>(e.waveform[std::min(i, e.samples - 1)], 0, kSampleMax);
}

// The second trace: the input above its first sample, halved, about mid-scale.
int32_t Derived(const ZarnSim_Event_t& e, uint32_t i) {
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
        if (e.preTrigger >= base && e.preTrigger < base + 3) out[k] |= (e.preTrigger - base + 1) << 30;
    }
}

uint32_t Extras(const ZarnSim_Event_t& e, const Format& f) {
    uint32_t fine = std::min<uint32_t>(static_cast<uint32_t>(std::clamp(e.fineTime, 0.0, 1.0) * 1024.0), 0x3FFu);
    if (f.extrasFormat == 3) return fine << 16;
    if (f.extrasFormat > 3) return 0;
    uint32_t word = static_cast<uint32_t>((e.timeTag >> 32) & 0xFFFFu) << 16;
    if (f.extrasFormat == 2) word |= fine;
    return word;
}

uint32_t ChargeWord(const ZarnSim_Event_t& e) {
    bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
    uint32_t longCharge = saturated ? 0xFFFFu : std::min<uint32_t>(e.energy, 0x7FFEu);
    uint32_t shortCharge = saturated ? 0x7FFFu : std::min<uint32_t>(e.energy / 4, 0x7FFEu);
    uint32_t word = (longCharge << 16) | shortCharge;
    if (e.flags & ZARN_SIM_EVENT_PILEUP) word |= 1u << 15;
    return word;
}

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* c, uint32_t unit) {
    uint32_t n = Reg(c, ChannelAddress(unit, 0x34)) & 0x3FFu;
    return n ? n : 1;
}

uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count) {
    Format f = ReadFormat(c, unit, events, count);
    return f.eventWords == 0 ? 0 : f.headerWords + count * f.eventWords;
}

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                uint32_t* out, uint32_t maxWords) {
    Format f = ReadFormat(c, unit, events, count);
    if (f.eventWords == 0) return 0;
    uint32_t words = f.headerWords + count * f.eventWords;
    if (words > maxWords) return 0;
    out[0] = ((f.extras ? 4u : 8u) << 28) | words;
    out[1] = f.units | (f.probeBits << 19) | (uint32_t{f.waves} << 27) | (uint32_t{f.extras} << 28) |
             (uint32_t{f.timeTag} << 29) | (uint32_t{f.charge} << 30) | (uint32_t{f.dual} << 31);
    if (f.extras) out[2] = f.extrasFormat;
    uint32_t* p = out + f.headerWords;
    for (uint32_t i = 0; i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        if (f.timeTag) *p++ = static_cast<uint32_t>(e.timeTag);
        if (f.waves) {
            EncodeWaveform(e, f, p);
            p += 4 * f.units;
        }
        if (f.extras) *p++ = Extras(e, f);
        if (f.charge) *p++ = ChargeWord(e);
    }
    return words;
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_TilkPSDEncoder = {1, zsim::EventsPerAggregate, zsim::UnitWords,
                                                             zsim::Encode, nullptr};
