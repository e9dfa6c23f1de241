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

/* Descriptor values of a format. */
struct Format {
    int32_t dppCode;
    uint32_t family;
    int32_t minor;
    double periodNs;
    uint32_t timeTagBits;
    uint32_t energyBits;
    uint8_t channels;
};

inline Format OrluPha(uint32_t family = 16) { return {128, family, 70, 10.0, 30, family == 16 ? 15u : 14u, 8}; }
inline Format PembPsd() { return {136, 14, 140, 4.0, 31, 15, 8}; }
inline Format PembPha(int32_t minor = 136) { return {139, 14, minor, 4.0, 31, 14, 8}; }

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
class Encoder : public testsup::UnitEncoder {
public:
    Encoder(const ZarnSim_Encoder_t& encoder, const Format& format);
};

} // namespace dectest

#endif
