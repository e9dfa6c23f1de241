// Data format of the Draq charge firmware (DPP code 135) on the simulated
// board: one group aggregate per group of 8 channels.
//
//   word 0   bit 31 set; bits 0-30 the aggregate's size in words, header included
//   word 1   bits 0-11 waveform units per event (4 words, 8 samples each);
//            22-23 the probe selector of analog trace 0; 27 waveforms; 28 extras
//   events   [time tag: bits 0-31] [waveform] [extras] [charge]
//
// Waveform word: 12-bit samples 2k and 2k + 1 in bits 0-11 and 16-27; digital
// traces in bits 12/28 (the trigger window), 13/29 (the second half of the
// record), 14/30 and 15/31 (unused, 0). Extras: bits 32-47 of the time tag in
// bits 0-15. Charge word: the charge in bits 0-15 (all ones when saturated),
// bit 26 saturation, bits 28-30 the channel within the group.
//
// The format follows the board configuration register 0x8000 (12-13 the
// analog probe, 16 waveforms, 17 extras) and the events per aggregate of the
// group's register 0x1g34.
#include "ZarnSimBoard.h"

#include <algorithm>

namespace zsim {
namespace {

constexpr uint32_t kMaxUnits = 0xFFF;
constexpr uint32_t kSizeLimit = 0x0FFFFFFF; // a board aggregate's size field
constexpr uint32_t kDigitalWindow = 16;

struct Format {
    bool extras, waves;
    uint32_t analog;
    uint32_t units;
    uint32_t eventWords;
};

uint32_t Reg(const ZarnSim_EncoderContext_t* c, uint32_t address) { return c->readRegister(c->board, address); }

Format ReadFormat(const ZarnSim_EncoderContext_t* c, const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t cfg = Reg(c, REG_BOARD_CONFIG);
    Format f{};
    f.waves = (cfg >> 16) & 1u;
    f.extras = (cfg >> 17) & 1u;
    f.analog = (cfg >> 12) & 3u;
    uint32_t samples = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (events[i].waveform) samples = std::max(samples, events[i].samples);
    uint32_t fixed = 2 + (f.extras ? 1u : 0u);
    f.units = f.waves ? std::min((samples + 7) / 8, kMaxUnits) : 0;
    if (count > 0 && 2 + uint64_t{count} * (4 * f.units + fixed) > kSizeLimit) {
        uint32_t room = (kSizeLimit - 2) / count;
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

uint32_t Digital3(const ZarnSim_Event_t& e, uint32_t i) {
    return i >= e.preTrigger && i < e.preTrigger + kDigitalWindow ? 1u : 0u;
}
uint32_t Digital4(const ZarnSim_Event_t& e, uint32_t i) { return i >= e.samples / 2 ? 1u : 0u; }

void EncodeWaveform(const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    if (PackTwoSampleTrace(e, 4 * f.units, 0xFFF, kDigitalWindow, 12, 13, out)) return;
    for (uint32_t j = 0; j < 4 * f.units; ++j) {
        uint32_t a = 2 * j, b = 2 * j + 1;
        out[j] = Sample(e, a) | (Sample(e, b) << 16) | (Digital3(e, a) << 12) | (Digital3(e, b) << 28) |
                 (Digital4(e, a) << 13) | (Digital4(e, b) << 29);
    }
}

uint32_t ChargeWord(const ZarnSim_Event_t& e) {
    bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
    uint32_t word = saturated ? 0xFFFFu | (1u << 26) : std::min<uint32_t>(e.energy, 0xFFFEu);
    return word | ((e.channel & 7u) << 28);
}

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* c, uint32_t unit) {
    uint32_t n = Reg(c, ChannelAddress(unit, 0x34)) & 0x3FFu;
    return n ? n : 1;
}

uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count) {
    Format f = ReadFormat(c, events, count);
    return 2 + count * f.eventWords;
}

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count, uint32_t* out,
                uint32_t maxWords) {
    Format f = ReadFormat(c, events, count);
    uint32_t words = 2 + count * f.eventWords;
    if (words > maxWords) return 0;
    out[0] = 0x80000000u | words;
    out[1] = f.units | (f.analog << 22) | (uint32_t{f.waves} << 27) | (uint32_t{f.extras} << 28);
    uint32_t* p = out + 2;
    for (uint32_t i = 0; i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        *p++ = static_cast<uint32_t>(e.timeTag);
        if (f.waves) {
            EncodeWaveform(e, f, p);
            p += 4 * f.units;
        }
        if (f.extras) *p++ = static_cast<uint32_t>((e.timeTag >> 32) & 0xFFFFu);
        *p++ = ChargeWord(e);
    }
    return words;
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_DraqQDCEncoder = {8, zsim::EventsPerAggregate, zsim::UnitWords,
                                                             zsim::Encode, nullptr};
