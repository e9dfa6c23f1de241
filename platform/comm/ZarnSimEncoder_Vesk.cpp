// Data formats of the Vesk firmware on the simulated board: charge
// integration (DPP code 130) and pulse-shape discrimination (DPP code 131).
// One channel aggregate per channel.
//
//   word 0   bit 31 set; the aggregate's size in words, header included
//            (bits 0-23; at most 18 bits for 130)
//   word 1   bits 0-11 waveform units per event (4 words, 8 samples each);
//            16-18 and 19-21 the selectors of digital traces 5 and 6; 22 (131)
//            the extras carry the upper time-tag bits; 27 waveforms; 28 extras;
//            29 time tag; 30 charge word; 31 dual trace
//   events   [time tag: bits 0-31] [waveform] [extras] [charge]
//
// Waveform word: 12-bit samples 2k and 2k + 1 in bits 0-11 and 16-27 (dual
// trace: trace 1 in bits 0-11 and trace 0 in 16-27, one sample a word of
// each); digital traces in bits 12/28 (the trigger window), 13/29 (the second
// half of the record), 14/30 and 15/31 (0). Extras (131): bits 32-46 of the
// time tag in bits 0-14 when word 1 bit 22 is set; (130) 0. Charge word (131):
// long charge in bits 16-31, short charge in 0-14, pile-up in 15; (130) the
// charge as a signed 23-bit number, the largest one when saturated.
//
// The format follows the board configuration register 0x8000 (bit 11 dual,
// 16 waveforms, 17 extras, 18 time tag, 19 charge, 20-22 and 26-28 the
// digital selectors) and, for 131, the extras option in bits 8-10 of the
// channel's register 0x1n80 (0: upper time-tag bits).
#include "ZarnSimBoard.h"

#include <algorithm>

namespace zsim {
namespace {

constexpr uint32_t kMaxUnits = 0xFFF;
constexpr uint32_t kPsdSizeLimit = 0xFFFFFF;
constexpr uint32_t kCiSizeLimit = 0x3FFFF;
constexpr uint32_t kDigitalWindow = 16;
constexpr uint32_t kLargestCharge = 0x3FFFFF;

struct Format {
    bool psd;
    bool timeTag, charge, extras, waves, dual, upperInExtras;
    uint32_t units;
    uint32_t eventWords;
    uint32_t probeBits; // word 1 bits 16-21
};

uint32_t Reg(const ZarnSim_EncoderContext_t* c, uint32_t address) { return c->readRegister(c->board, address); }

Format ReadFormat(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t cfg = Reg(c, REG_BOARD_CONFIG);
    Format f{};
    f.psd = c->dppCode == 131;
    f.dual = (cfg >> 11) & 1u;
    f.waves = (cfg >> 16) & 1u;
    f.extras = (cfg >> 17) & 1u;
    f.timeTag = (cfg >> 18) & 1u;
    f.charge = (cfg >> 19) & 1u;
    f.upperInExtras = f.psd && f.extras && ((Reg(c, ChannelAddress(unit, 0x80)) >> 8) & 7u) == 0;
    f.probeBits = ((cfg >> 20) & 7u) | (((cfg >> 26) & 7u) << 3);
    uint32_t samples = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (events[i].waveform) samples = std::max(samples, events[i].samples);
    uint32_t fixed = (f.timeTag ? 1u : 0u) + (f.extras ? 1u : 0u) + (f.charge ? 1u : 0u);
    f.units = f.waves ? std::min((samples + 7) / 8, kMaxUnits) : 0;
    uint32_t limit = f.psd ? kPsdSizeLimit : kCiSizeLimit;
    if (count > 0 && 2 + uint64_t{count} * (4 * f.units + fixed) > limit) {
        uint32_t room = (limit - 2) / count;
        f.units = room > fixed ? std::min(f.units, (room - fixed) / 4) : 0;
    }
    if (f.units == 0) f.waves = false;
    f.eventWords = 4 * f.units + fixed;
    return f;
}

uint32_t Sample(const ZarnSim_Event_t& e, uint32_t i) {
    if (!e.waveform || e.samples == 0) return 0;
    return static_cast<uint32_t>(std::clamp<int32_t>(e.waveform[std::min(i, e.samples - 1)], 0, 0xFFF));
}

// The second trace: the input above its first sample, halved, about mid-scale.
uint32_t Derived(const ZarnSim_Event_t& e, uint32_t i) {
    int32_t v = (static_cast<int32_t>(Sample(e, i)) - static_cast<int32_t>(Sample(e, 0))) / 2 + 2048;
    return static_cast<uint32_t>(std::clamp(v, 0, 0xFFF));
}

uint32_t Digital3(const ZarnSim_Event_t& e, uint32_t i) {
    return i >= e.preTrigger && i < e.preTrigger + kDigitalWindow ? 1u : 0u;
}
uint32_t Digital4(const ZarnSim_Event_t& e, uint32_t i) { return i >= e.samples / 2 ? 1u : 0u; }

void EncodeWaveform(const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    // the common case: one trace, the input signal
    if (!f.dual && PackTwoSampleTrace(e, 4 * f.units, 0xFFF, kDigitalWindow, 12, 13, out)) return;
    for (uint32_t j = 0; j < 4 * f.units; ++j) {
        uint32_t a = 2 * j, b = 2 * j + 1;
        uint32_t low = f.dual ? Derived(e, a) : Sample(e, a);
        uint32_t high = f.dual ? Sample(e, a) : Sample(e, b);
        out[j] = low | (high << 16) | (Digital3(e, a) << 12) | (Digital3(e, b) << 28) | (Digital4(e, a) << 13) |
                 (Digital4(e, b) << 29);
    }
}

uint32_t ChargeWord(const ZarnSim_Event_t& e, bool psd) {
    bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
    if (!psd) return saturated ? kLargestCharge : std::min<uint32_t>(e.energy, kLargestCharge - 1);
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
    return f.eventWords == 0 ? 0 : 2 + count * f.eventWords;
}

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                uint32_t* out, uint32_t maxWords) {
    Format f = ReadFormat(c, unit, events, count);
    if (f.eventWords == 0) return 0;
    uint32_t words = 2 + count * f.eventWords;
    if (words > maxWords || words > (f.psd ? kPsdSizeLimit : kCiSizeLimit)) return 0;
    out[0] = 0x80000000u | words;
    out[1] = f.units | (f.probeBits << 16) | (uint32_t{f.upperInExtras} << 22) | (uint32_t{f.waves} << 27) |
             (uint32_t{f.extras} << 28) | (uint32_t{f.timeTag} << 29) | (uint32_t{f.charge} << 30) |
             (uint32_t{f.dual} << 31);
    uint32_t* p = out + 2;
    for (uint32_t i = 0; i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        if (f.timeTag) *p++ = static_cast<uint32_t>(e.timeTag);
        if (f.waves) {
            EncodeWaveform(e, f, p);
            p += 4 * f.units;
        }
        if (f.extras) *p++ = f.upperInExtras ? static_cast<uint32_t>((e.timeTag >> 32) & 0x7FFFu) : 0u;
        if (f.charge) *p++ = ChargeWord(e, f.psd);
    }
    return words;
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_VeskCIEncoder = {1, zsim::EventsPerAggregate, zsim::UnitWords,
                                                            zsim::Encode, nullptr};
extern "C" const ZarnSim_Encoder_t ZarnSim_VeskPSDEncoder = {1, zsim::EventsPerAggregate, zsim::UnitWords,
                                                             zsim::Encode, nullptr};
