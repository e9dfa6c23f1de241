// Data format of the register-level device (DPP code 142) on the simulated
// board: one channel aggregate per channel.
//
//   word 0   bit 30 set; bits 0-27 the aggregate's size in words (header included)
//   word 1   bits 0-15 waveform words per event (2 samples a word); 16-19 digital
//            probe 0; 20-21 analog probe 1; 22-23 analog probe 0; 24-25 time-tag
//            shift; 28 two time-tag words; 29 energy word; 30 waveforms; 31 dual trace
//   events   {bit 31 channel, bit 30 special, bits 0-29 time tag high} {time tag
//            low 32 bits} [waveform words] {energy word}
//
// Energy word: bits 0-15 the energy (ADC counts, 0x7FFF at most), bit 22
// saturated, bit 26 pile-up. Waveform words: samples 2k and 2k+1 of analog
// trace 0 in bits 0-13 and 16-29, digital trace 0 in bits 14 and 30,
// saturation in bits 15 and 31. Dual trace (0x8000 bit 11): analog trace 0's
// sample 2k in bits 16-29 and analog trace 1's in bits 0-13.
//
// The probes come from 0x8000: bits 12-13 analog trace 0, 14-15 analog trace
// 1 (with dual trace only), 20-23 digital trace 0; the header carries them.
// The simulated channel knows its input and trigger window only: analog 0 is
// the input (selector 0) or flat, analog 1 the input (0), the threshold (1),
// a quarter of the record's first sample (2, the baseline, which the decoder
// multiplies by 4) or flat (3); digital 0 is the trigger window (selectors 0
// and 8) or low.
//
// A multichannel-scaling datum (ZARN_SIM_EVENT_MCS) is a special event of type
// 0 in its place among the events: {a: bit 31 channel, bit 30, bit 15 first
// slot of a sweep, bits 0-14 the slot; x: the events counted in the slot; y:
// the low 32 bits of the slot's first sample period}.
//
// Without waveforms every aggregate ends with a real-time/dead-time special
// event (type 1: {a: bits 8-15 real-time count bits 32-39, bits 0-7 dead-time
// count bits 32-39; x, y: the low 32 bits}) that carries the channel's real
// and dead time since the previous report, in sample periods. With waveforms
// the events are longer than a special event, so none is sent.
#include "ZarnSimBoard.h"

#include <algorithm>

namespace zsim {
namespace {

constexpr uint32_t kSizeLimit = 0x1FFFFF; // what the readout's walker accepts
constexpr uint32_t kMaxWaveWords = 0xFFFF;
constexpr uint32_t kDigitalWindow = 16;
constexpr uint32_t kFixedWords = 3; // two time-tag words and the energy word
constexpr uint32_t kSpecialWords = 3;

struct Format {
    bool waves;
    uint32_t waveWords;
    uint32_t eventWords;
    bool timeReport; // a closing real-time/dead-time event
    bool dual;
    uint32_t analog0, analog1, digital0; // probe selectors
};

Format ReadFormat(const ZarnSim_EncoderContext_t* c, const ZarnSim_Event_t* events, uint32_t count) {
    Format f{};
    f.waves = (c->readRegister(c->board, REG_BOARD_CONFIG) >> 16) & 1u;
    uint32_t samples = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (events[i].waveform)
            samples = std::max(samples, events[i].samples);
    f.waveWords = f.waves ? std::min((samples + 1) / 2, kMaxWaveWords) : 0;
    if (count > 0 && 2 + uint64_t{count} * (f.waveWords + kFixedWords) > kSizeLimit) {
        uint32_t room = (kSizeLimit - 2) / count;
        f.waveWords = room > kFixedWords ? std::min(f.waveWords, room - kFixedWords) : 0;
    }
    if (f.waveWords == 0)
        f.waves = false;
    uint32_t config = c->readRegister(c->board, REG_BOARD_CONFIG);
    f.dual = (config >> 11) & 1u;
    f.analog0 = (config >> 12) & 0x3u;
    f.analog1 = f.dual ? (config >> 14) & 0x3u : 0;
    f.digital0 = (config >> 20) & 0xFu;
    f.eventWords = f.waveWords + kFixedWords;
    f.timeReport = f.eventWords == kSpecialWords;
    return f;
}

uint32_t Sample(const ZarnSim_Event_t& e, uint32_t i) {
    if (!e.waveform || e.samples == 0)
        return 0;
    int32_t v = e.waveform[std::min(i, e.samples - 1)];
    return static_cast<uint32_t>(std::clamp(v, 0, 0x3FFF));
}

uint32_t Window(const ZarnSim_Event_t& e, uint32_t i) {
    return i >= e.preTrigger && i < e.preTrigger + kDigitalWindow ? 1u : 0u;
}

void EncodeWaveform(const ZarnSim_EncoderContext_t* c, const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    uint32_t saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) ? 1u : 0u;
    uint32_t threshold = c->readRegister(c->board, 0x106Cu | ((e.channel & 1u) << 8)) & 0x3FFFu;
    auto analog0 = [&](uint32_t i) { return f.analog0 == 0 ? Sample(e, i) : 0u; };
    auto analog1 = [&](uint32_t i) {
        switch (f.analog1) {
        case 0: return Sample(e, i);
        case 1: return threshold;
        case 2: return Sample(e, 0) / 4;
        default: return 0u;
        }
    };
    auto digital0 = [&](uint32_t i) { return f.digital0 == 0 || f.digital0 == 8 ? Window(e, i) : 0u; };
    for (uint32_t j = 0; j < f.waveWords; ++j) {
        uint32_t a = 2 * j, b = 2 * j + 1;
        uint32_t traces = f.dual ? analog1(a) | (analog0(a) << 16) : analog0(a) | (analog0(b) << 16);
        out[j] = traces | (digital0(a) << 14) | (digital0(b) << 30) | (saturated << 15) | (saturated << 31);
    }
}

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* c, uint32_t) {
    if ((c->readRegister(c->board, REG_BOARD_CONFIG) >> 16) & 1u)
        return 1;
    uint32_t n = c->readRegister(c->board, 0x8134) & 0x3FF;
    return n ? n : 1;
}

uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count) {
    Format f = ReadFormat(c, events, count);
    return 2 + count * f.eventWords + (f.timeReport ? kSpecialWords : 0);
}

bool IsMcsDatum(const ZarnSim_Event_t& e) { return (e.flags & ZARN_SIM_EVENT_MCS) != 0; }

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                uint32_t* out, uint32_t maxWords) {
    Format f = ReadFormat(c, events, count);
    uint32_t words = 2 + (f.timeReport ? kSpecialWords : 0);
    for (uint32_t i = 0; i < count; ++i)
        words += IsMcsDatum(events[i]) ? kSpecialWords : f.eventWords;
    if (count == 0 || words > maxWords || words > kSizeLimit)
        return 0;
    out[0] = 0x40000000u | words;
    out[1] = f.waveWords | (1u << 28) | (1u << 29);
    if (f.waves)
        out[1] |= (f.digital0 << 16) | (f.analog1 << 20) | (f.analog0 << 22) | (1u << 30) | (uint32_t{f.dual} << 31);
    uint32_t* p = out + 2;
    for (uint32_t i = 0; i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        uint32_t channel = (e.channel & 1u) << 31;
        if (IsMcsDatum(e)) {
            uint32_t first = (e.flags & ZARN_SIM_EVENT_MCS_SWEEP_START) ? 1u << 15 : 0u;
            *p++ = channel | (1u << 30) | first | (e.mcsSlot & 0x7FFFu);
            *p++ = e.energy;
            *p++ = static_cast<uint32_t>(e.timeTag);
            continue;
        }
        *p++ = channel | (static_cast<uint32_t>(e.timeTag >> 32) & 0x3FFFFFFFu);
        *p++ = static_cast<uint32_t>(e.timeTag);
        if (f.waves) {
            EncodeWaveform(c, e, f, p);
            p += f.waveWords;
        }
        uint32_t word = std::min<uint32_t>(e.energy, 0x7FFFu);
        if (e.flags & ZARN_SIM_EVENT_SATURATED)
            word |= 1u << 22;
        if (e.flags & ZARN_SIM_EVENT_PILEUP)
            word |= 1u << 26;
        *p++ = word;
    }
    if (f.timeReport) {
        // channelState[ch][0..1]: real and dead time already reported, in ticks
        uint32_t ch = unit % 64;
        uint64_t real = c->realTimeTicks[ch] - std::min(c->realTimeTicks[ch], c->channelState[ch][0]);
        uint64_t dead = c->deadTimeTicks[ch] - std::min(c->deadTimeTicks[ch], c->channelState[ch][1]);
        real = std::min<uint64_t>(real, 0xFFFFFFFFFFull);
        dead = std::min<uint64_t>(dead, 0xFFFFFFFFFFull);
        c->channelState[ch][0] += real;
        c->channelState[ch][1] += dead;
        *p++ = ((unit & 1u) << 31) | (1u << 30) | (1u << 16) | (static_cast<uint32_t>(real >> 32) << 8) |
               static_cast<uint32_t>(dead >> 32);
        *p++ = static_cast<uint32_t>(real);
        *p++ = static_cast<uint32_t>(dead);
    }
    return words;
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_MorvanePHAEncoder = {1, zsim::EventsPerAggregate, zsim::UnitWords,
                                                                zsim::Encode, nullptr};
