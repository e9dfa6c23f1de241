#include "DecodeSupport.h"

namespace dectest {

namespace {

constexpr uint64_t kReadoutBytes = 8u << 20;

} // namespace

Record::Record(const Format& f) { describe(f, "DECODER"); }

void Record::allocate(uint32_t events, uint32_t withWaveform, uint32_t samples) {
    allocateFixed(kReadoutBytes, events, withWaveform, samples);
}

std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples) {
    /* A 14-bit trace: baseline 800, a step of a quarter of the energy. */
    const PulseShape shape{800, 16383, [](uint32_t energy, int32_t) { return (int32_t)(energy / 4); }};
    return testsup::GeneratePulses(seed, channels, perChannel, maxGap, fullScale, samples, shape);
}

} // namespace dectest
