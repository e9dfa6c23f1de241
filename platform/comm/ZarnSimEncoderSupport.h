// Builder pieces shared by the simulated board's encoders of the formats whose
// events are [time tag] [waveform] [extras] [charge or energy] (Pemb, Vesk,
// Tilk, Draq; the Orlu format shares the sample clamp and the two-sample
// waveform words). What differs between the formats (sample width, units, size
// fields, header and word contents) is passed in; everything here is inline so
// each encoder's inner loop compiles as if written out in its own file.
#ifndef ZARN_SIM_ENCODER_SUPPORT_H
#define ZARN_SIM_ENCODER_SUPPORT_H

#include "ZarnSimBoard.h"

#include <algorithm>
#include <utility>

namespace zsim {

inline uint32_t Reg(const ZarnSim_EncoderContext_t* c, uint32_t address) { return c->readRegister(c->board, address); }

// Events per aggregate of the register 0x1n34 of the given channel (or group),
// at least 1.
inline uint32_t EventsPerAggregateOf(const ZarnSim_EncoderContext_t* c, uint32_t channel) {
    uint32_t n = Reg(c, ChannelAddress(channel, 0x34)) & 0x3FFu;
    return n ? n : 1;
}

// Which optional words the events carry and how long one event is.
struct EventLayout {
    bool timeTag, waves, extras, charge, dual;
    uint32_t units;      // waveform units per event (4 words each)
    uint32_t eventWords; // words of one event
};

// The layout bits of the board configuration register 0x8000: 11 dual trace,
// 16 waveforms, 17 extras, 18 time tag, 19 charge (or energy) word.
inline void ReadLayoutBits(uint32_t cfg, EventLayout& l) {
    l.dual = (cfg >> 11) & 1u;
    l.waves = (cfg >> 16) & 1u;
    l.extras = (cfg >> 17) & 1u;
    l.timeTag = (cfg >> 18) & 1u;
    l.charge = (cfg >> 19) & 1u;
}

// The waveform limits of a format.
struct WaveformUnits {
    uint32_t samplesPerUnit; // samples carried by one 4-word unit
    uint32_t maxUnits;       // the largest unit count word 1 can hold
    uint32_t headerWords;    // words of the unit aggregate's header
    uint32_t sizeLimit;      // the largest aggregate the size field can hold
};

// Sizes the events of one unit aggregate: as many units as the longest
// waveform needs, cut to what the unit count and the aggregate's size field can
// hold; without room for one unit the events carry no waveform.
inline void FitWaveforms(EventLayout& l, const ZarnSim_Event_t* events, uint32_t count, const WaveformUnits& w) {
    uint32_t samples = 0;
    for (uint32_t i = 0; l.waves && i < count; ++i)
        if (events[i].waveform)
            samples = std::max(samples, events[i].samples);
    uint32_t fixed = (l.timeTag ? 1u : 0u) + (l.extras ? 1u : 0u) + (l.charge ? 1u : 0u);
    l.units = l.waves ? std::min((samples + w.samplesPerUnit - 1) / w.samplesPerUnit, w.maxUnits) : 0;
    if (count > 0 && w.headerWords + uint64_t{count} * (4 * l.units + fixed) > w.sizeLimit) {
        uint32_t room = (w.sizeLimit - w.headerWords) / count;
        l.units = room > fixed ? std::min(l.units, (room - fixed) / 4) : 0;
    }
    if (l.units == 0)
        l.waves = false;
    l.eventWords = 4 * l.units + fixed;
}

// Sample i of the event's waveform (the last one past its end, 0 without
// one), clamped to [0, maxSample].
inline int32_t ClampedSample(const ZarnSim_Event_t& e, uint32_t i, int32_t maxSample) {
    if (!e.waveform || e.samples == 0)
        return 0;
    return std::clamp<int32_t>(e.waveform[std::min(i, e.samples - 1)], 0, maxSample);
}

// Digital traces: the trigger window (`window` samples from the pre-trigger)
// and the record's second half.
inline uint32_t InTriggerWindow(const ZarnSim_Event_t& e, uint32_t i, uint32_t window) {
    return i >= e.preTrigger && i < e.preTrigger + window ? 1u : 0u;
}
inline uint32_t InSecondHalf(const ZarnSim_Event_t& e, uint32_t i) { return i >= e.samples / 2 ? 1u : 0u; }

// The two-sample waveform words sample by sample, for what PackTwoSampleTrace
// does not cover (a dual trace, a derived signal, a short waveform): halves(j)
// answers the low and high 16-bit halves of word j; the digital traces of
// samples 2j and 2j+1 go to bits windowBit/halfBit and the same + 16.
template <class Halves>
inline void WriteTwoSampleWords(const ZarnSim_Event_t& e, uint32_t words, uint32_t window, uint32_t windowBit,
                                uint32_t halfBit, Halves halves, uint32_t* out) {
    for (uint32_t j = 0; j < words; ++j) {
        uint32_t a = 2 * j, b = 2 * j + 1;
        auto [low, high] = halves(j);
        out[j] = low | (high << 16) | (InTriggerWindow(e, a, window) << windowBit) |
                 (InTriggerWindow(e, b, window) << (windowBit + 16)) | (InSecondHalf(e, a) << halfBit) |
                 (InSecondHalf(e, b) << (halfBit + 16));
    }
}

// The fine time in 1024ths of a sample (10 bits).
inline uint32_t FineTime1024(const ZarnSim_Event_t& e) {
    return std::min<uint32_t>(static_cast<uint32_t>(std::clamp(e.fineTime, 0.0, 1.0) * 1024.0), 0x3FFu);
}

// The pulse-shape charge word: long charge in bits 16-31 (at most longMax, all
// ones when saturated), short charge in bits 0-14, pile-up in bit 15.
inline uint32_t PsdChargeWord(const ZarnSim_Event_t& e, uint32_t longMax) {
    bool saturated = (e.flags & ZARN_SIM_EVENT_SATURATED) != 0;
    uint32_t longCharge = saturated ? 0xFFFFu : std::min<uint32_t>(e.energy, longMax);
    uint32_t shortCharge = saturated ? 0x7FFFu : std::min<uint32_t>(e.energy / 4, 0x7FFEu);
    uint32_t word = (longCharge << 16) | shortCharge;
    if (e.flags & ZARN_SIM_EVENT_PILEUP)
        word |= 1u << 15;
    return word;
}

// Writes the events' words in the layout's order and answers the word after
// them. Words supplies the format's words: Next(e) before each event (per-event
// state), TimeTag(e), Waveform(e, out) (4 * units words), Extras(e), Charge(e).
template <class Words>
inline uint32_t* WriteEvents(const ZarnSim_Event_t* events, uint32_t count, const EventLayout& l, Words& words,
                             uint32_t* p) {
    for (uint32_t i = 0; i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        words.Next(e);
        if (l.timeTag)
            *p++ = words.TimeTag(e);
        if (l.waves) {
            words.Waveform(e, p);
            p += 4 * l.units;
        }
        if (l.extras)
            *p++ = words.Extras(e);
        if (l.charge)
            *p++ = words.Charge(e);
    }
    return p;
}

// Words of a unit aggregate of two header words (size, format) and count
// events of the layout; 0 when the events carry nothing.
inline uint32_t UnitAggregateWords(const EventLayout& l, uint32_t count) {
    return l.eventWords == 0 ? 0 : 2 + count * l.eventWords;
}

// Bits 27-31 of the format word of the Pemb and Vesk formats: waveforms,
// extras, time tag, charge (energy) word, dual trace.
inline uint32_t LayoutFormatBits(const EventLayout& l) {
    return (uint32_t{l.waves} << 27) | (uint32_t{l.extras} << 28) | (uint32_t{l.timeTag} << 29) |
           (uint32_t{l.charge} << 30) | (uint32_t{l.dual} << 31);
}

// Writes a unit aggregate of two header words: bit 31 and the size in words,
// then formatWord, then the events. Answers its words; 0 (nothing written)
// when the events carry nothing or the aggregate passes maxWords or what the
// size field can hold.
template <class Words>
inline uint32_t WriteUnitAggregate(const EventLayout& l, uint32_t formatWord, uint32_t sizeLimit,
                                   const ZarnSim_Event_t* events, uint32_t count, Words& words, uint32_t* out,
                                   uint32_t maxWords) {
    uint32_t size = UnitAggregateWords(l, count);
    if (size == 0 || size > maxWords || size > sizeLimit)
        return 0;
    out[0] = 0x80000000u | size;
    out[1] = formatWord;
    WriteEvents(events, count, l, words, out + 2);
    return size;
}

// The per-event hooks most formats leave empty.
struct EventWordsBase {
    void Next(const ZarnSim_Event_t&) {}
};

} // namespace zsim

#endif // ZARN_SIM_ENCODER_SUPPORT_H
