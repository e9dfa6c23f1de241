// Data formats of the Pemb firmware on the simulated board: pulse-shape
// discrimination (DPP code 136) and pulse-height analysis (DPP code 139).
// One aggregate carries the events of a channel couple 2k, 2k+1.
//
//   word 0   bit 31 set; the aggregate's size in words, header included
//            (bits 0-21 for 136, bits 0-30 for 139)
//   word 1   bits 0-15 waveform units per event (4 words, 8 samples each);
//            24-26 extras format; 27 waveforms; 28 extras; 29 time tag;
//            30 charge (136) / energy (139) word; 31 dual trace
//            136: 16-18 digital probe of trace 3, 19-21 of trace 4, 22 trace 0
//                 shows the firmware's CFD signal, 23 trace 1 likewise
//            139: 16-19 digital probe of trace 4, 20-21 analog probe of trace 1,
//                 22-23 analog probe of trace 0
//   events   [time tag: bit 31 the odd channel, bits 0-30 the tag] [waveform]
//            [extras] [charge / energy]
//
// Extras: formats 0 to 2 (136) and 0 (139) carry bits 31-46 of the time tag in
// bits 16-31; format 2 (136) carries the fine time in 1024ths of a sample in
// bits 0-9. 136 charge word: long charge in bits 16-31, short charge in 0-14,
// pile-up in 15. 139 energy word: energy in bits 1-14, bit 17 a roll-over of
// the 31-bit tag (without an extras word); minor revisions below 136 mark
// pile-up in bit 15 and saturation by an energy of 0x3FFF, later ones in bits
// 25 and 26.
//
// The format follows the board configuration register 0x8000 (bit 11 dual,
// 12-13 and 14-15 analog probes, 16 waveforms, 17 extras, 18 time tag, 19
// energy, 20-23 and 26-28 digital probes) and, for 136, the extras format in
// bits 8-10 of the even channel's register 0x1n80.
#include "ZarnSimEncoderSupport.h"

namespace zsim {
namespace {

constexpr uint32_t kTagMask = 0x7FFFFFFFu;
constexpr uint32_t kTagBits = 31;
constexpr uint32_t kMaxUnits = 0xFFFF;
constexpr uint32_t kPsdSizeLimit = 0x3FFFFF;
constexpr uint32_t kPhaSizeLimit = 0x1FFFFF;
constexpr uint32_t kSaturationBitsRevision = 136;
constexpr uint32_t kDigitalWindow = 16;
constexpr int32_t kSampleMax = 0x3FFF;

struct Format : EventLayout {
    bool psd;
    uint32_t extrasFormat;
    uint32_t probeBits; // word 1 bits 16-23
};

Format ReadFormat(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                  bool psd) {
    uint32_t cfg = Reg(c, REG_BOARD_CONFIG);
    Format f{};
    f.psd = psd;
    ReadLayoutBits(cfg, f);
    f.extrasFormat = f.psd ? (Reg(c, ChannelAddress(2 * unit, 0x80)) >> 8) & 7u : 0;
    if (f.psd)
        f.probeBits =
            ((cfg >> 20) & 7u) | (((cfg >> 26) & 7u) << 3) | (((cfg >> 12) & 1u) << 6) | (((cfg >> 14) & 1u) << 7);
    else
        f.probeBits = ((cfg >> 20) & 0xFu) | (((cfg >> 14) & 3u) << 4) | (((cfg >> 12) & 3u) << 6);
    FitWaveforms(f, events, count, {8, kMaxUnits, 2, f.psd ? kPsdSizeLimit : kPhaSizeLimit});
    return f;
}

int32_t Sample(const ZarnSim_Event_t& e, uint32_t i) { return ClampedSample(e, i, kSampleMax); }

// A signal other than the input: the input above its first sample, halved:
// centred on mid-scale for 136 (unsigned traces), two's complement for 139.
uint32_t Derived(const ZarnSim_Event_t& e, uint32_t i, bool psd) {
    int32_t v = (Sample(e, i) - Sample(e, 0)) / 2;
    if (psd)
        return static_cast<uint32_t>(std::clamp(v + 0x2000, 0, 0x3FFF));
    return static_cast<uint32_t>(std::clamp(v, -8192, 8191)) & 0x3FFFu;
}

uint32_t Analog(const ZarnSim_Event_t& e, uint32_t i, bool input, bool psd) {
    return input ? static_cast<uint32_t>(Sample(e, i)) : Derived(e, i, psd);
}

void EncodeWaveform(const ZarnSim_Event_t& e, const Format& f, uint32_t* out) {
    // Which analog traces show the input signal.
    bool input0 = f.psd ? ((f.probeBits >> 6) & 1u) == 0 : ((f.probeBits >> 6) & 3u) == 0;
    bool input1 = f.psd ? ((f.probeBits >> 7) & 1u) == 0 : ((f.probeBits >> 4) & 3u) == 0;
    // Digital trace 3 sits in bits 14/30 (136) or 15/31 (139), trace 4 in the others.
    uint32_t bit3 = f.psd ? 14 : 15, bit4 = f.psd ? 15 : 14;
    // the common case: one trace, the input signal
    if (!f.dual && input0 && PackTwoSampleTrace(e, 4 * f.units, kSampleMax, kDigitalWindow, bit3, bit4, out))
        return;
    WriteTwoSampleWords(
        e, 4 * f.units, kDigitalWindow, bit3, bit4,
        [&](uint32_t j) {
            uint32_t a = 2 * j, b = 2 * j + 1;
            if (f.dual)
                return std::pair{Analog(e, a, input1, f.psd), Analog(e, a, input0, f.psd)};
            return std::pair{Analog(e, a, input0, f.psd), Analog(e, b, input0, f.psd)};
        },
        out);
}

uint32_t ExtrasWord(const ZarnSim_Event_t& e, const Format& f) {
    if (f.extrasFormat > 2)
        return 0;
    uint32_t word = static_cast<uint32_t>((e.timeTag >> kTagBits) & 0xFFFFu) << 16;
    if (f.extrasFormat == 2)
        word |= FineTime1024(e);
    return word;
}

uint32_t EnergyWord(const ZarnSim_EncoderContext_t* c, const ZarnSim_Event_t& e, bool rolled) {
    bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
    bool pileup = (e.flags & ZARN_SIM_EVENT_PILEUP) != 0;
    uint32_t energy = saturated ? 0x3FFFu : std::min<uint32_t>(e.energy, 0x3FFEu);
    uint32_t word = energy << 1;
    if (c->dppMinor >= kSaturationBitsRevision) {
        if (pileup)
            word |= 1u << 25;
        if (saturated)
            word |= 1u << 26;
    } else if (pileup) {
        word |= 1u << 15;
    }
    if (rolled)
        word |= 1u << 17;
    return word;
}

// The event words of one unit aggregate.
struct EventWords {
    ZarnSim_EncoderContext_t* c;
    const Format& f;
    bool rolled = false;

    void Next(const ZarnSim_Event_t& e) {
        // channelState[ch][0]: the upper bits of the channel's last time tag
        uint64_t& lastHigh = c->channelState[e.channel % 64][0];
        uint64_t high = e.timeTag >> kTagBits;
        rolled = high != lastHigh;
        lastHigh = high;
    }
    uint32_t TimeTag(const ZarnSim_Event_t& e) const {
        return ((e.channel & 1u) << 31) | (static_cast<uint32_t>(e.timeTag) & kTagMask);
    }
    void Waveform(const ZarnSim_Event_t& e, uint32_t* out) const { EncodeWaveform(e, f, out); }
    uint32_t Extras(const ZarnSim_Event_t& e) const { return ExtrasWord(e, f); }
    uint32_t Charge(const ZarnSim_Event_t& e) const {
        return f.psd ? PsdChargeWord(e, 0xFFFFu) : EnergyWord(c, e, rolled && !f.extras);
    }
};

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t* c, uint32_t unit) {
    return EventsPerAggregateOf(c, 2 * unit);
}

template <bool Psd>
uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count) {
    return UnitAggregateWords(ReadFormat(c, unit, events, count, Psd), count);
}

template <bool Psd>
uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                uint32_t* out, uint32_t maxWords) {
    Format f = ReadFormat(c, unit, events, count, Psd);
    uint32_t format = f.units | (f.probeBits << 16) | (f.extrasFormat << 24) | LayoutFormatBits(f);
    EventWords eventWords{c, f};
    return WriteUnitAggregate(f, format, Psd ? kPsdSizeLimit : kPhaSizeLimit, events, count, eventWords, out, maxWords);
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_PembPSDEncoder = {2, zsim::EventsPerAggregate, zsim::UnitWords<true>,
                                                             zsim::Encode<true>, nullptr};
extern "C" const ZarnSim_Encoder_t ZarnSim_PembPHAEncoder = {2, zsim::EventsPerAggregate, zsim::UnitWords<false>,
                                                             zsim::Encode<false>, nullptr};
