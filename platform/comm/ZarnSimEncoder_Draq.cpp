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
#include "ZarnSimEncoderSupport.h"

namespace zsim {
namespace {

constexpr uint32_t kMaxUnits = 0xFFF;
constexpr uint32_t kSizeLimit = 0x0FFFFFFF; // a board aggregate's size field
constexpr uint32_t kDigitalWindow = 16;
constexpr int32_t kSampleMax = 0xFFF;

struct Format : EventLayout {
    uint32_t analog;
};

Format ReadFormat(const ZarnSim_EncoderContext_t* c, const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t cfg = Reg(c, REG_BOARD_CONFIG);
    Format f{};
    // every event carries its time tag and charge word
    f.timeTag = f.charge = true;
    f.waves = (cfg >> 16) & 1u;
    f.extras = (cfg >> 17) & 1u;
    f.analog = (cfg >> 12) & 3u;
    FitWaveforms(f, events, count, {8, kMaxUnits, 2, kSizeLimit});
    return f;
}

uint32_t Sample(const ZarnSim_Event_t& e, uint32_t i) { return static_cast<uint32_t>(ClampedSample(e, i, kSampleMax)); }

void EncodeWaveform(const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    if (PackTwoSampleTrace(e, 4 * f.units, kSampleMax, kDigitalWindow, 12, 13, out))
        return;
    WriteTwoSampleWords(
        e, 4 * f.units, kDigitalWindow, 12, 13,
        [&](uint32_t j) {
            return std::pair{Sample(e, 2 * j), Sample(e, 2 * j + 1)};
        },
        out);
}

uint32_t ChargeWord(const ZarnSim_Event_t& e) {
    bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
    uint32_t word = saturated ? 0xFFFFu | (1u << 26) : std::min<uint32_t>(e.energy, 0xFFFEu);
    return word | ((e.channel & 7u) << 28);
}

// The event words of one group aggregate.
struct EventWords : EventWordsBase {
    const Format& f;

    explicit EventWords(const Format& format) : f(format) {}
    uint32_t TimeTag(const ZarnSim_Event_t& e) const { return static_cast<uint32_t>(e.timeTag); }
    void Waveform(const ZarnSim_Event_t& e, uint32_t* out) const { EncodeWaveform(e, f, out); }
    uint32_t Extras(const ZarnSim_Event_t& e) const { return static_cast<uint32_t>((e.timeTag >> 32) & 0xFFFFu); }
    uint32_t Charge(const ZarnSim_Event_t& e) const { return ChargeWord(e); }
};

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* c, uint32_t unit) { return EventsPerAggregateOf(c, unit); }

uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count) {
    Format f = ReadFormat(c, events, count);
    return 2 + count * f.eventWords;
}

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count, uint32_t* out,
                uint32_t maxWords) {
    Format f = ReadFormat(c, events, count);
    uint32_t words = 2 + count * f.eventWords;
    if (words > maxWords)
        return 0;
    out[0] = 0x80000000u | words;
    out[1] = f.units | (f.analog << 22) | (uint32_t{f.waves} << 27) | (uint32_t{f.extras} << 28);
    EventWords eventWords(f);
    WriteEvents(events, count, f, eventWords, out + 2);
    return words;
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_DraqQDCEncoder = {8, zsim::EventsPerAggregate, zsim::UnitWords, zsim::Encode,
                                                             nullptr};
