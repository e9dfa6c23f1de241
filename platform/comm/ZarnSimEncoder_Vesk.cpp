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
#include "ZarnSimEncoderSupport.h"

namespace zsim {
namespace {

constexpr uint32_t kMaxUnits = 0xFFF;
constexpr uint32_t kPsdSizeLimit = 0xFFFFFF;
constexpr uint32_t kCiSizeLimit = 0x3FFFF;
constexpr uint32_t kDigitalWindow = 16;
constexpr uint32_t kLargestCharge = 0x3FFFFF;
constexpr int32_t kSampleMax = 0xFFF;

struct Format : EventLayout {
    bool psd;
    bool upperInExtras;
    uint32_t probeBits; // word 1 bits 16-21
};

Format ReadFormat(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                  bool psd) {
    uint32_t cfg = Reg(c, REG_BOARD_CONFIG);
    Format f{};
    f.psd = psd;
    ReadLayoutBits(cfg, f);
    f.upperInExtras = f.psd && f.extras && ((Reg(c, ChannelAddress(unit, 0x80)) >> 8) & 7u) == 0;
    f.probeBits = ((cfg >> 20) & 7u) | (((cfg >> 26) & 7u) << 3);
    FitWaveforms(f, events, count, {8, kMaxUnits, 2, f.psd ? kPsdSizeLimit : kCiSizeLimit});
    return f;
}

uint32_t Sample(const ZarnSim_Event_t& e, uint32_t i) { return static_cast<uint32_t>(ClampedSample(e, i, kSampleMax)); }

// The second trace: the input above its first sample, halved, about mid-scale.
uint32_t Derived(const ZarnSim_Event_t& e, uint32_t i) {
    int32_t v = (static_cast<int32_t>(Sample(e, i)) - static_cast<int32_t>(Sample(e, 0))) / 2 + 2048;
    return static_cast<uint32_t>(std::clamp(v, 0, 0xFFF));
}

void EncodeWaveform(const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    // the common case: one trace, the input signal
    if (!f.dual && PackTwoSampleTrace(e, 4 * f.units, kSampleMax, kDigitalWindow, 12, 13, out))
        return;
    WriteTwoSampleWords(
        e, 4 * f.units, kDigitalWindow, 12, 13,
        [&](uint32_t j) {
            uint32_t a = 2 * j, b = 2 * j + 1;
            if (f.dual)
                return std::pair{Derived(e, a), Sample(e, a)};
            return std::pair{Sample(e, a), Sample(e, b)};
        },
        out);
}

uint32_t ChargeWord(const ZarnSim_Event_t& e, bool psd) {
    if (psd)
        return PsdChargeWord(e, 0x7FFEu);
    bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
    return saturated ? kLargestCharge : std::min<uint32_t>(e.energy, kLargestCharge - 1);
}

// The event words of one channel aggregate.
struct EventWords : EventWordsBase {
    const Format& f;

    explicit EventWords(const Format& format) : f(format) {}
    uint32_t TimeTag(const ZarnSim_Event_t& e) const { return static_cast<uint32_t>(e.timeTag); }
    void Waveform(const ZarnSim_Event_t& e, uint32_t* out) const { EncodeWaveform(e, f, out); }
    uint32_t Extras(const ZarnSim_Event_t& e) const {
        return f.upperInExtras ? static_cast<uint32_t>((e.timeTag >> 32) & 0x7FFFu) : 0u;
    }
    uint32_t Charge(const ZarnSim_Event_t& e) const { return ChargeWord(e, f.psd); }
};

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* c, uint32_t unit) { return EventsPerAggregateOf(c, unit); }

template <bool Psd>
uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count) {
    return UnitAggregateWords(ReadFormat(c, unit, events, count, Psd), count);
}

template <bool Psd>
uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                uint32_t* out, uint32_t maxWords) {
    Format f = ReadFormat(c, unit, events, count, Psd);
    uint32_t format = f.units | (f.probeBits << 16) | (uint32_t{f.upperInExtras} << 22) | LayoutFormatBits(f);
    EventWords eventWords(f);
    return WriteUnitAggregate(f, format, Psd ? kPsdSizeLimit : kCiSizeLimit, events, count, eventWords, out, maxWords);
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_VeskCIEncoder = {1, zsim::EventsPerAggregate, zsim::UnitWords<false>,
                                                            zsim::Encode<false>, nullptr};
extern "C" const ZarnSim_Encoder_t ZarnSim_VeskPSDEncoder = {1, zsim::EventsPerAggregate, zsim::UnitWords<true>,
                                                             zsim::Encode<true>, nullptr};
