#include "SimEncoding.h"

#include <algorithm>
#include <random>

namespace testsup {

namespace {

uint32_t peekMap(void* board, uint32_t address) {
    auto* regs = static_cast<std::map<uint32_t, uint32_t>*>(board);
    auto it = regs->find(address);
    return it == regs->end() ? 0u : it->second;
}

} // namespace

ZarnSim_Event_t Pulse::event() const {
    ZarnSim_Event_t e{};
    e.timeTag = tag;
    e.fineTime = fine;
    e.channel = channel;
    e.energy = energy;
    e.flags = flags;
    e.waveform = wave.empty() ? nullptr : wave.data();
    e.samples = (uint32_t)wave.size();
    e.preTrigger = preTrigger;
    return e;
}

std::vector<Pulse> GeneratePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                                  uint64_t maxGap, uint32_t fullScale, uint32_t samples, const PulseShape& shape) {
    std::mt19937_64 rng(seed);
    std::vector<Pulse> all;
    for (uint32_t ch : channels) {
        uint64_t tag = rng() % 1000;
        for (uint32_t i = 0; i < perChannel; ++i) {
            Pulse p;
            tag += 1 + rng() % maxGap;
            p.tag = tag;
            p.fine = (double)(rng() % 1000) / 1000.0;
            p.channel = ch;
            p.energy = (uint32_t)(rng() % fullScale);
            if (i % 7 == 3)
                p.flags |= ZARN_SIM_EVENT_PILEUP;
            if (i % 11 == 5) {
                p.energy = fullScale;
                p.flags |= ZARN_SIM_EVENT_SATURATED;
            }
            p.preTrigger = samples / 4;
            for (uint32_t s = 0; s < samples; ++s) {
                int32_t v = shape.baseline + (s >= p.preTrigger ? shape.step(p.energy, shape.ceiling) : 0) +
                            (int32_t)(rng() % 7);
                p.wave.push_back((int16_t)std::min(v, shape.ceiling));
            }
            all.push_back(std::move(p));
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const Pulse& a, const Pulse& b) { return a.tag < b.tag; });
    return all;
}

std::vector<Pulse> OfChannel(const std::vector<Pulse>& pulses, uint32_t channel) {
    std::vector<Pulse> out;
    for (const Pulse& p : pulses)
        if (p.channel == channel)
            out.push_back(p);
    return out;
}

std::vector<uint32_t> BoardAggregate(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& units) {
    std::vector<uint32_t> out(4, 0);
    uint32_t mask = 0;
    for (const auto& [bit, words] : units) {
        mask |= 1u << bit;
        out.insert(out.end(), words.begin(), words.end());
    }
    out[0] = 0xA0000000u | (uint32_t)out.size();
    out[1] = mask;
    return out;
}

UnitEncoder::UnitEncoder(const ZarnSim_Encoder_t& encoder) : encoder_(encoder) {
    context.board = &regs;
    context.readRegister = peekMap;
}

UnitEncoder::UnitEncoder(const ZarnSim_Encoder_t& encoder, const SoftFormat& f) : UnitEncoder(encoder) {
    context.dppCode = (uint32_t)f.dppCode;
    context.dppMinor = (uint32_t)f.minor;
    context.familyCode = f.family;
    context.channels = f.channels;
    context.adcBits = f.adcBits;
    context.samplePeriodNs = f.periodNs;
}

std::vector<uint32_t> UnitEncoder::unit(uint32_t unit, const std::vector<Pulse>& pulses) {
    std::vector<ZarnSim_Event_t> events;
    for (const Pulse& p : pulses)
        events.push_back(p.event());
    uint32_t count = (uint32_t)events.size();
    uint32_t bound = encoder_.unitAggregateWords(&context, unit, events.data(), count);
    std::vector<uint32_t> words(bound);
    uint32_t n = bound ? encoder_.encodeUnitAggregate(&context, unit, events.data(), count, words.data(), bound) : 0;
    words.resize(n);
    return words;
}

std::vector<uint32_t> UnitEncoder::buffer(const std::vector<Pulse>& pulses, uint32_t perAggregate) {
    const uint32_t perUnit = encoder_.channelsPerUnit;
    std::map<uint32_t, std::vector<Pulse>> byUnit;
    for (const Pulse& p : pulses)
        byUnit[p.channel / perUnit].push_back(p);
    std::map<uint32_t, size_t> used;
    std::vector<uint32_t> out;
    for (;;) {
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> units;
        for (auto& [u, list] : byUnit) {
            size_t from = used[u];
            if (from >= list.size())
                continue;
            size_t to = std::min(list.size(), from + perAggregate);
            units.emplace_back(u, unit(u, std::vector<Pulse>(list.begin() + (long)from, list.begin() + (long)to)));
            used[u] = to;
        }
        if (units.empty())
            return out;
        std::vector<uint32_t> aggregate = BoardAggregate(units);
        out.insert(out.end(), aggregate.begin(), aggregate.end());
    }
}

} // namespace testsup
