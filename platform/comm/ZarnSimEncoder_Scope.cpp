// Data format of the standard waveform firmware (DPP codes 0 and 1) on the
// simulated board: every trigger makes one event holding the samples of every
// enabled channel.
//
//   word 0   0xA in bits 28-31, the event size in words (header included)
//   word 1   bits 0-7 channel mask (low 8 bits); 8-23 bits 32-47 of the
//            trigger time tag in the 48-bit mode (register 0x8144 = 2), else 0
//   word 2   bits 0-23 event counter (from 0 at every start); 24-31 channel mask (high)
//   word 3   bits 0-31 of the trigger time tag (the 31-bit mode uses 0-30)
//   payload  the same number of words for every channel of the mask, in
//            ascending channel order
//
// The trigger time tag counts the firmware's clock: 10 ns on family 0, 8 ns
// on the others. Sample layouts by family:
//   0, 11, 14  two 14-bit samples a word, bits 0-13 then 16-29
//   5          up to three 10-bit samples a word from bit 0 up, their count in bits 30-31
//   4          channels in groups of 8 (the mask names groups): blocks of 9 words,
//              one 288-bit string of 24 12-bit samples, three of channel 0, three
//              of channel 1 ... seven; a record length that is not a multiple of
//              3 samples loses its last one or two samples
//
// The board frames one aggregate per trigger from the units of this encoder.
// Every unit is a group of 8 channels, so that one Draq group is one unit;
// on the other families the header's mask is rewritten to name the channels.
#include "ZarnSimBoard.h"

#include <algorithm>

namespace zsim {
namespace {

constexpr uint32_t kChannelsPerUnit = 8;
constexpr uint32_t kRegExtrasOption = 0x8144;
constexpr uint32_t kMode48Bit = 2;
constexpr uint32_t kDraqBlockWords = 9;
constexpr uint32_t kDraqSamplesPerChannel = 3;

// Scratch of the encoder in the context (zeroed at every start).
uint64_t& EventCounter(ZarnSim_EncoderContext_t* c) { return c->channelState[0][0]; }
uint64_t& PendingMask(ZarnSim_EncoderContext_t* c) { return c->channelState[0][1]; }

enum class Layout { TwoPerWord, ThreePerWord, DraqBlocks };

Layout LayoutOf(const ZarnSim_EncoderContext_t* c) {
    switch (c->familyCode) {
    case 4: return Layout::DraqBlocks;
    case 5: return Layout::ThreePerWord;
    default: return Layout::TwoPerWord;
    }
}

uint32_t MaxSamples(const ZarnSim_Event_t* events, uint32_t count) {
    uint32_t samples = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (events[i].waveform)
            samples = std::max(samples, events[i].samples);
    return samples;
}

// Payload words of one channel (one group on Draq) for this many samples.
uint32_t WordsFor(Layout layout, uint32_t samples) {
    switch (layout) {
    case Layout::TwoPerWord: return (samples + 1) / 2;
    case Layout::ThreePerWord: return (samples + 2) / 3;
    case Layout::DraqBlocks: return samples / kDraqSamplesPerChannel * kDraqBlockWords;
    }
    return 0;
}

// Sample i of an event, clipped to the family's sample width; a shorter
// record repeats its last sample.
uint32_t Sample(const ZarnSim_Event_t& e, uint32_t i, uint32_t mask) {
    if (!e.waveform || e.samples == 0)
        return 0;
    int32_t v = e.waveform[std::min(i, e.samples - 1)];
    return static_cast<uint32_t>(std::clamp<int32_t>(v, 0, static_cast<int32_t>(mask)));
}

uint32_t* EncodeTwoPerWord(const ZarnSim_Event_t& e, uint32_t words, uint32_t* out) {
    for (uint32_t w = 0; w < words; ++w)
        *out++ = Sample(e, 2 * w, 0x3FFF) | (Sample(e, 2 * w + 1, 0x3FFF) << 16);
    return out;
}

uint32_t* EncodeThreePerWord(const ZarnSim_Event_t& e, uint32_t samples, uint32_t words, uint32_t* out) {
    for (uint32_t w = 0; w < words; ++w) {
        uint32_t first = 3 * w;
        uint32_t n = std::min<uint32_t>(3, samples > first ? samples - first : 0);
        uint32_t word = n << 30;
        for (uint32_t k = 0; k < n; ++k)
            word |= Sample(e, first + k, 0x3FF) << (10 * k);
        *out++ = word;
    }
    return out;
}

// One Draq group: the events of its enabled channels (missing ones read 0).
uint32_t* EncodeDraqGroup(uint32_t unit, const ZarnSim_Event_t* events, uint32_t count, uint32_t words, uint32_t* out) {
    const ZarnSim_Event_t* byChannel[kChannelsPerUnit] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t k = events[i].channel - unit * kChannelsPerUnit;
        if (k < kChannelsPerUnit)
            byChannel[k] = &events[i];
    }
    for (uint32_t b = 0; b < words / kDraqBlockWords; ++b) {
        uint32_t block[kDraqBlockWords] = {};
        for (uint32_t s = 0; s < kChannelsPerUnit * kDraqSamplesPerChannel; ++s) {
            const ZarnSim_Event_t* e = byChannel[s / kDraqSamplesPerChannel];
            uint64_t value = e ? Sample(*e, kDraqSamplesPerChannel * b + s % kDraqSamplesPerChannel, 0xFFF) : 0;
            uint32_t bit = 12 * s;
            uint64_t shifted = value << (bit % 32);
            block[bit / 32] |= static_cast<uint32_t>(shifted);
            if (bit / 32 + 1 < kDraqBlockWords)
                block[bit / 32 + 1] |= static_cast<uint32_t>(shifted >> 32);
        }
        std::copy(block, block + kDraqBlockWords, out);
        out += kDraqBlockWords;
    }
    return out;
}

uint32_t EventsPerAggregate(const ZarnSim_EncoderContext_t*, uint32_t) { return 0; } // one aggregate per trigger

uint32_t UnitWords(const ZarnSim_EncoderContext_t* c, uint32_t, const ZarnSim_Event_t* events, uint32_t count) {
    Layout layout = LayoutOf(c);
    uint32_t words = WordsFor(layout, MaxSamples(events, count));
    if (layout == Layout::DraqBlocks)
        return words;
    return words * std::min(count, kChannelsPerUnit);
}

uint32_t Encode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                uint32_t* out, uint32_t maxWords) {
    Layout layout = LayoutOf(c);
    uint32_t samples = MaxSamples(events, count);
    uint32_t words = WordsFor(layout, samples);
    if (words == 0 || count == 0)
        return 0;
    uint32_t* p = out;
    if (layout == Layout::DraqBlocks) {
        if (words > maxWords)
            return 0;
        p = EncodeDraqGroup(unit, events, count, words, p);
        PendingMask(c) |= uint64_t{1} << unit;
        return static_cast<uint32_t>(p - out);
    }
    if (uint64_t{words} * std::min(count, kChannelsPerUnit) > maxWords)
        return 0;
    for (uint32_t i = 0; i < count && i < kChannelsPerUnit; ++i) {
        const ZarnSim_Event_t& e = events[i];
        p = layout == Layout::TwoPerWord ? EncodeTwoPerWord(e, words, p) : EncodeThreePerWord(e, samples, words, p);
        PendingMask(c) |= uint64_t{1} << (e.channel % 64);
    }
    return static_cast<uint32_t>(p - out);
}

void FinishHeader(ZarnSim_EncoderContext_t* c, uint32_t header[4], const ZarnSim_Event_t* trigger) {
    uint32_t mask = static_cast<uint32_t>(PendingMask(c) & 0xFFFF);
    PendingMask(c) = 0;
    uint32_t counter = static_cast<uint32_t>(EventCounter(c)++ & 0xFFFFFF);
    uint64_t ticks = 0;
    if (trigger) {
        double tickNs = c->familyCode == 0 ? 10.0 : 8.0;
        ticks = static_cast<uint64_t>(static_cast<double>(trigger->timeTag) * c->samplePeriodNs / tickNs);
    }
    bool mode48 = c->readRegister(c->board, kRegExtrasOption) == kMode48Bit;
    uint32_t upper = mode48 ? static_cast<uint32_t>((ticks >> 32) & 0xFFFF) : 0;
    header[1] = (mask & 0xFF) | (upper << 8);
    header[2] = counter | ((mask >> 8) << 24);
    header[3] = static_cast<uint32_t>(ticks);
}

} // namespace
} // namespace zsim

extern "C" const ZarnSim_Encoder_t ZarnSim_ScopeEncoder = {zsim::kChannelsPerUnit, zsim::EventsPerAggregate,
                                                           zsim::UnitWords, zsim::Encode, zsim::FinishHeader};
