// Table of the data-format encoders of the simulated board, keyed by DPP
// code: at first the encoders that the firmware rows (ZarnSimRegisterMap.cpp)
// name; a format without one yields no data.
#include "ZarnSimBoard.h"

#include <algorithm>
#include <mutex>

namespace zsim {
namespace {

struct Entry {
    uint32_t dppCode;
    ZarnSim_Encoder_t encoder;
};

constexpr size_t kMaxEncoders = 32;

struct Table {
    std::mutex mutex;
    Entry entries[kMaxEncoders];
    size_t count = 0;
};

Table& T() {
    static Table* table = [] {
        Table* t = new Table;
        ForEachBuiltInEncoder([t](uint32_t dppCode, const ZarnSim_Encoder_t& encoder) {
            if (t->count < kMaxEncoders)
                t->entries[t->count++] = Entry{dppCode, encoder};
        });
        return t;
    }();
    return *table;
}

} // namespace

bool PackTwoSampleTrace(const ZarnSim_Event_t& event, uint32_t words, int32_t maxSample, uint32_t window,
                        uint32_t windowBit, uint32_t halfBit, uint32_t* out) {
    if (!event.waveform || 2 * size_t{words} > event.samples)
        return false;
    // a plain loop over the pairs, which the compiler vectorises; the
    // digital bits go over their ranges afterwards
    const int16_t* __restrict w = event.waveform;
    uint32_t* __restrict o = out;
    for (size_t j = 0; j < words; ++j) {
        int32_t low = w[2 * j], high = w[2 * j + 1];
        low = low < 0 ? 0 : low > maxSample ? maxSample : low;
        high = high < 0 ? 0 : high > maxSample ? maxSample : high;
        o[j] = static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) << 16);
    }
    const uint32_t samples = 2 * words;
    for (uint32_t i = event.preTrigger; i < std::min(event.preTrigger + window, samples); ++i)
        out[i / 2] |= 1u << (windowBit + (i % 2 ? 16 : 0));
    for (uint32_t i = event.samples / 2; i < samples; ++i)
        out[i / 2] |= 1u << (halfBit + (i % 2 ? 16 : 0));
    return true;
}

bool FindEncoder(uint32_t dppCode, ZarnSim_Encoder_t* encoder) {
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (size_t i = 0; i < t.count; ++i) {
        if (t.entries[i].dppCode != dppCode)
            continue;
        *encoder = t.entries[i].encoder;
        return true;
    }
    return false;
}

} // namespace zsim

extern "C" int ZarnSim_RegisterEncoder(uint32_t dppCode, const ZarnSim_Encoder_t* encoder) {
    using namespace zsim;
    Table& t = T();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (size_t i = 0; i < t.count; ++i) {
        if (t.entries[i].dppCode != dppCode)
            continue;
        if (encoder) {
            t.entries[i].encoder = *encoder;
        } else {
            t.entries[i] = t.entries[t.count - 1];
            --t.count;
        }
        return 0;
    }
    if (!encoder)
        return 0;
    if (encoder->channelsPerUnit == 0 || !encoder->unitAggregateWords || !encoder->encodeUnitAggregate)
        return -1;
    if (t.count >= kMaxEncoders)
        return -1;
    t.entries[t.count++] = Entry{dppCode, *encoder};
    return 0;
}
