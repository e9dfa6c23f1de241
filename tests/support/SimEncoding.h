/* Test helpers shared by the decoder tests: generated pulses, the simulated
 * board's encoders driven directly with a register file of their own, and
 * board aggregates framed around unit aggregates. */
#ifndef TEST_SUPPORT_SIM_ENCODING_H
#define TEST_SUPPORT_SIM_ENCODING_H

#include <stdint.h>

#include <map>
#include <utility>
#include <vector>

#include "SoftFormat.h"
#include "ZarnSimEncoder.h"

namespace testsup {

/* A generated pulse, kept with its waveform. */
struct Pulse {
    uint64_t tag = 0;
    double fine = 0;
    uint32_t channel = 0;
    uint32_t energy = 0;
    uint32_t flags = 0;
    uint32_t preTrigger = 0;
    std::vector<int16_t> wave;
    ZarnSim_Event_t event() const;
};

/* A generated pulse's waveform: the baseline before the trigger sample,
 * baseline + step(energy, ceiling) from it, a few counts of noise on top,
 * clipped at the ceiling. */
struct PulseShape {
    int32_t baseline;
    int32_t ceiling;
    int32_t (*step)(uint32_t energy, int32_t ceiling);
};

/* Pulses of the given channels in time order: gaps of 1 to maxGap ticks,
 * energies below fullScale (every 11th at fullScale and saturated, every 7th
 * piled up), samples-long waveforms of the given shape. */
std::vector<Pulse> GeneratePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                                  uint64_t maxGap, uint32_t fullScale, uint32_t samples, const PulseShape& shape);

/* The pulses of one channel, in order. */
std::vector<Pulse> OfChannel(const std::vector<Pulse>& pulses, uint32_t channel);

/* A board aggregate around unit aggregates {mask bit, words}. */
std::vector<uint32_t> BoardAggregate(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& units);

/* An encoder driven with its own register file, its context's format fields
 * those of a format or left to the caller. Not copyable: the context points
 * at regs. */
class UnitEncoder {
public:
    explicit UnitEncoder(const ZarnSim_Encoder_t& encoder);
    UnitEncoder(const ZarnSim_Encoder_t& encoder, const SoftFormat& format);
    UnitEncoder(const UnitEncoder&) = delete;
    UnitEncoder& operator=(const UnitEncoder&) = delete;
    std::map<uint32_t, uint32_t> regs;
    ZarnSim_EncoderContext_t context{};
    /* The unit aggregate of these pulses (all of the unit's channels). */
    std::vector<uint32_t> unit(uint32_t unit, const std::vector<Pulse>& pulses);
    /* Board aggregates of all the pulses: at most perAggregate pulses of a
     * unit in each unit aggregate, every unit with pulses in each board
     * aggregate until all are used. */
    std::vector<uint32_t> buffer(const std::vector<Pulse>& pulses, uint32_t perAggregate);

private:
    const ZarnSim_Encoder_t& encoder_;
};

} // namespace testsup

#endif
