/* Pieces of the decoding tests: a digitizer record built by hand for one
 * firmware format, pulses generated for it and the simulated board's
 * encoders set up for it (the shared pieces are in tests/support/). */
#ifndef DECODE_SUPPORT_H
#define DECODE_SUPPORT_H

#include <vector>

#include "../support/SimEncoding.h"
#include "../support/SoftRecord.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimEncoder.h"

extern "C" const ZarnSim_Encoder_t ZarnSim_OrluPHAEncoder, ZarnSim_PembPSDEncoder, ZarnSim_PembPHAEncoder;

namespace dectest {

/* Descriptor values of a format (14-bit samples). */
using Format = testsup::SoftFormat;

inline Format OrluPha(uint32_t family = 16) {
    return {.dppCode = 128,
            .family = family,
            .minor = 70,
            .periodNs = 10.0,
            .timeTagBits = 30,
            .energyBits = family == 16 ? 15u : 14u,
            .channels = 8};
}
inline Format PembPsd() {
    return {.dppCode = 136,
            .family = 14,
            .minor = 140,
            .periodNs = 4.0,
            .timeTagBits = 31,
            .energyBits = 15,
            .channels = 8};
}
inline Format PembPha(int32_t minor = 136) {
    return {.dppCode = 139,
            .family = 14,
            .minor = minor,
            .periodNs = 4.0,
            .timeTagBits = 31,
            .energyBits = 14,
            .channels = 8};
}

/* An open record with no board behind it, described as a format; its
 * parameters are software-only. */
class Record : public testsup::SoftRecord {
public:
    explicit Record(const Format& format);
    /* Every channel gets events (withWaveform of them carry samples-long traces). */
    void allocate(uint32_t events, uint32_t withWaveform, uint32_t samples);
};

using testsup::BoardAggregate;
using testsup::OfChannel;
using testsup::Pulse;
using testsup::PulseShape;

/* Pulses of the given channels in time order: gaps of up to maxGap ticks
 * (so that at most one roll-over of a tagBits-bit tag falls between two of
 * one channel when maxGap < 2^tagBits), energies up to fullScale, a few
 * piled up and a few saturated, waveforms of the given length. */
std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples);

/* An encoder driven with its own register file, set up for a format. */
using Encoder = testsup::UnitEncoder;

} // namespace dectest

#endif
