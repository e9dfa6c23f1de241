// Data format of the Orlu pulse-height firmware (DPP code 128) on the
// simulated board: one channel aggregate per channel.
//
//   word 0   bit 31 set; bits 0-30 the aggregate's size in words (header included)
//   word 1   bits 0-15 waveform words per event (2 samples a word); 16-19 digital
//            probe of trace 4; 20-21 analog probe of trace 1 (dual trace);
//            22-23 analog probe of trace 0; 28 time tag; 29 energy; 30 waveforms;
//            31 dual trace
//   events   [time tag: bits 0-29] [waveform words] [energy word]
//
// Energy word: bits 0-14 the energy (the ADC counts shifted up to 15 bits;
// all ones when saturated), bit 15 pile-up, bit 17 the 30-bit time tag rolled
// over since the channel's previous event.
//
// The format follows the board configuration register 0x8000 (bit 11 dual
// trace, 12-13 and 14-15 the analog probes, 16 waveforms, 18 time tag, 19
// energy, 20-23 the digital probe) at the moment an aggregate is closed.
#include "ZarnSimEncoderSupport.h"

namespace zsim {
namespace {

constexpr uint32_t kTimeTagMask = 0x3FFFFFFFu;
constexpr uint32_t kTimeTagBits = 30;
constexpr uint32_t kSizeLimit = 0x1FFFFF; // what the readout's walker accepts
constexpr uint32_t kMaxWaveWords = 0xFFFF;
constexpr uint32_t kDigitalWindow = 16; // samples of the trigger window on digital trace 3

struct Format {
    bool timeTag, energy, waves, dual;
    uint32_t analog0, analog1, digital;
    uint32_t waveWords;
    uint32_t eventWords;
};

uint32_t Config(const ZarnSim_EncoderContext_t* c) { return c->readRegister(c->board, REG_BOARD_CONFIG); }

Format ReadFormat(const ZarnSim_EncoderContext_t* c, const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t cfg = Config(c);
    Format f{};
    f.dual = (cfg >> 11) & 1u;
    f.analog0 = (cfg >> 12) & 3u;
    f.analog1 = (cfg >> 14) & 3u;
    f.waves = (cfg >> 16) & 1u;
    f.timeTag = (cfg >> 18) & 1u;
    f.energy = (cfg >> 19) & 1u;
    f.digital = (cfg >> 20) & 0xFu;
    uint32_t samples = 0;
    for (uint32_t i = 0; f.waves && i < count; ++i)
        if (events[i].waveform)
            samples = std::max(samples, events[i].samples);
    uint32_t fixed = (f.timeTag ? 1u : 0u) + (f.energy ? 1u : 0u);
    f.waveWords = f.waves ? std::min((samples + 1) / 2, kMaxWaveWords) : 0;
    if (count > 0 && 2 + uint64_t{count} * (f.waveWords + fixed) > kSizeLimit) {
        uint32_t room = (kSizeLimit - 2) / count;
        f.waveWords = room > fixed ? std::min(f.waveWords, room - fixed) : 0;
    }
    if (f.waveWords == 0)
        f.waves = false;
    f.eventWords = f.waveWords + fixed;
    return f;
}

// The energy bits of the family's format: 15 on family 16, else 14.
uint32_t EnergyShift(const ZarnSim_EncoderContext_t* c) { return c->familyCode == 16 ? 0 : 1; }

int32_t Sample(const ZarnSim_Event_t& e, uint32_t i) { return ClampedSample(e, i, 0x3FFF); }

// Analog probes other than the input signal: the signal above its first
// sample, divided by what the decoder multiplies it with, as a 14-bit
// two's-complement value.
// (inline: without the hint the compiler calls it out of line, which slows the
// whole waveform loop)
inline uint32_t Derived(const ZarnSim_Event_t& e, uint32_t i, int32_t factor) {
    int32_t v = (Sample(e, i) - Sample(e, 0)) / factor;
    return static_cast<uint32_t>(std::clamp(v, -8192, 8191)) & 0x3FFFu;
}

uint32_t Analog0(const ZarnSim_Event_t& e, uint32_t i, uint32_t selector) {
    if (selector == 0)
        return static_cast<uint32_t>(Sample(e, i));
    return Derived(e, i, selector == 3 ? 4 : 2);
}

uint32_t Analog1(const ZarnSim_Event_t& e, uint32_t i, uint32_t selector) {
    if (selector == 0)
        return static_cast<uint32_t>(Sample(e, i));
    return Derived(e, i, selector == 1 ? 2 : 4);
}

void EncodeWaveform(const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    // the common case: one trace, the input signal
    if (!f.dual && f.analog0 == 0 && PackTwoSampleTrace(e, f.waveWords, 0x3FFF, kDigitalWindow, 15, 14, out))
        return;
    // digital trace 3 the trigger window, 4 the second half of the record
    WriteTwoSampleWords(
        e, f.waveWords, kDigitalWindow, 15, 14,
        [&](uint32_t j) {
            uint32_t a = 2 * j, b = 2 * j + 1;
            if (f.dual)
                return std::pair{Analog1(e, a, f.analog1), Analog0(e, a, f.analog0)};
            return std::pair{Analog0(e, a, f.analog0), Analog0(e, b, f.analog0)};
        },
        out);
}

uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count) {
    Format f = ReadFormat(c, events, count);
    return f.eventWords == 0 ? 0 : 2 + count * f.eventWords;
}

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count, uint32_t* out,
                uint32_t maxWords) {
    Format f = ReadFormat(c, events, count);
    if (f.eventWords == 0)
        return 0; // nothing the format could carry
    uint32_t words = 2 + count * f.eventWords;
    if (words > maxWords)
        return 0;
    out[0] = 0x80000000u | words;
    out[1] = f.waveWords | (f.digital << 16) | (f.analog1 << 20) | (f.analog0 << 22) | (uint32_t{f.timeTag} << 28) |
             (uint32_t{f.energy} << 29) | (uint32_t{f.waves} << 30) | (uint32_t{f.dual} << 31);
    const uint32_t shift = EnergyShift(c);
    uint32_t* p = out + 2;
    for (uint32_t i = 0; i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        // channelState[ch][0]: the upper bits of the channel's last time tag
        uint64_t& lastHigh = c->channelState[e.channel % 64][0];
        uint64_t high = e.timeTag >> kTimeTagBits;
        bool rolled = high != lastHigh;
        lastHigh = high;
        if (f.timeTag)
            *p++ = static_cast<uint32_t>(e.timeTag) & kTimeTagMask;
        if (f.waves) {
            EncodeWaveform(e, f, p);
            p += f.waveWords;
        }
        if (f.energy) {
            bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
            uint32_t energy = saturated ? 0x7FFFu : std::min<uint32_t>(e.energy << shift, 0x7FFFu);
            uint32_t word = energy;
            if (e.flags & ZARN_SIM_EVENT_PILEUP)
                word |= 1u << 15;
            if (rolled)
                word |= 1u << 17;
            *p++ = word;
        }
    }
    return words;
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_OrluPHAEncoder = {1, nullptr, zsim::UnitWords, zsim::Encode, nullptr};
