/* Pieces of the driver tests: boards of the shipped simulated profiles opened
 * through the library, hand-made records for the decoders, pulses and the
 * simulated encoders set up for a format (the shared pieces are in
 * tests/support/). */
#ifndef DRIVER_SUPPORT_H
#define DRIVER_SUPPORT_H

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/SimBoards.h"
#include "../support/SimEncoding.h"
#include "../support/SoftRecord.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayer.h"
#include "ZarnSimEncoder.h"
#include "ZarnSimulator.h"

extern "C" const ZarnSim_Encoder_t ZarnSim_VeskCIEncoder, ZarnSim_VeskPSDEncoder, ZarnSim_TilkPSDEncoder,
    ZarnSim_DraqQDCEncoder;

namespace drvtest {

using testsup::Connection;

/* The shipped profiles (definitions/SimulatedBoards.xml). */
inline c_ConnParams_t VeskCI() { return Connection(0, 2, 0); }
inline c_ConnParams_t VeskPSD() { return Connection(0, 3, 0); }
inline c_ConnParams_t TilkPSD() { return Connection(1, 2, 0); }
inline c_ConnParams_t DraqQDC() { return Connection(4, 0, 0, 0x32100000); }

/* A record opened by the library, closed and freed when it goes. */
using LiveBoard = testsup::OpenedRecord;

/* Checks that every parameter of an opened record holds its preferred value. */
void ExpectEveryParameterAtPreferred(c_Digitizer_t* d);

/* Descriptor values of a format (32-bit time tags, 15-bit energies). */
using Format = testsup::SoftFormat;

inline Format TilkFormat() { return {.dppCode = 132, .family = 5, .periodNs = 1.0, .adcBits = 10, .channels = 8}; }
inline Format VeskPSDFormat() { return {.dppCode = 131, .family = 12, .periodNs = 4.0, .adcBits = 12, .channels = 8}; }
inline Format VeskCIFormat() { return {.dppCode = 130, .family = 12, .periodNs = 4.0, .adcBits = 12, .channels = 8}; }
inline Format DraqFormat() {
    return {.dppCode = 135, .family = 4, .periodNs = 16.0, .adcBits = 12, .channels = 16, .groups = 2};
}

/* An open record with no board behind it, described as a format; its
 * parameters are software-only. */
class Record : public testsup::SoftRecord {
public:
    explicit Record(const Format& format);
    /* Every channel gets events (withWaveform of them carry samples-long traces). */
    void allocate(uint32_t events, uint32_t withWaveform, uint32_t samples);
    /* A channel decoder on its own, at the channel's first event. */
    int decode(GENERIC_ChannelDecoder_t decoder, uint32_t ch, std::vector<uint32_t> words, int32_t* decoded);
    const c_DPPEvent_t& event(uint32_t ch, uint32_t i) const { return d_->channels[ch].events[i]; }
};

using testsup::BoardAggregate;
using testsup::OfChannel;
using testsup::Pulse;
using testsup::PulseShape;

/* Pulses of the given channels in time order: gaps of 1 to maxGap ticks,
 * energies below fullScale (every 11th saturated, every 7th piled up),
 * waveforms of the given length with values below 2^adcBits. */
std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples, uint32_t adcBits);

/* An encoder driven with its own register file, set up for a format. */
using Encoder = testsup::UnitEncoder;

/* The decoded events of a channel after a walk. */
std::vector<c_DPPEvent_t> Events(const Record& r, uint32_t ch);

/* After a walk: each of the channels holds one event for each of its pulses,
 * and check(ch, i, pulse, event, saturated, rolled) sees the i-th pulse of a
 * channel with its event, whether the pulse was saturated and whether its
 * 32-bit tag rolled over since the channel's previous pulse. The first fatal
 * failure ends the walk through the events. */
template <typename Check>
void ExpectEventsOfPulses(const Record& r, const std::vector<Pulse>& pulses, std::initializer_list<uint32_t> channels,
                          Check&& check) {
    for (uint32_t ch : channels) {
        std::vector<Pulse> expected = OfChannel(pulses, ch);
        std::vector<c_DPPEvent_t> got = Events(r, ch);
        ASSERT_EQ(expected.size(), got.size()) << ch;
        for (size_t i = 0; i < got.size(); ++i) {
            const Pulse& p = expected[i];
            const bool saturated = (p.flags & ZARN_SIM_EVENT_SATURATED) != 0;
            const bool rolled = i > 0 && (p.tag >> 32) != (expected[i - 1].tag >> 32);
            check(ch, i, p, got[i], saturated, rolled);
            if (testing::Test::HasFatalFailure())
                return;
        }
    }
}

} // namespace drvtest

#endif
