/* Pieces of the decoding tests: a digitizer record built by hand for one
 * firmware format, the simulated board's encoders driven directly with a
 * register file of their own, and board aggregates framed around their unit
 * aggregates. */
#ifndef DECODE_SUPPORT_H
#define DECODE_SUPPORT_H

#include <map>
#include <utility>
#include <vector>

#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayer.h"
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

/* An open record with no board behind it; its parameters are software-only. */
class Record {
  public:
    explicit Record(const Format& format);
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }

    c_Parameter_t* board(int32_t code, double value);
    c_Parameter_t* channel(uint32_t ch, int32_t code, double value);
    /* Every channel gets events (withWaveform of them carry samples-long traces). */
    void allocate(uint32_t events, uint32_t withWaveform, uint32_t samples);
    /* The words become the readout buffer's contents (bytes: ROBytes, else all). */
    void load(const std::vector<uint32_t>& words, int64_t bytes = -1);
    /* One read's walk over the loaded buffer. */
    int walk();

  private:
    c_Parameter_t* add(c_ParamCollection_t** collection, int32_t first, int32_t code, double value, uint8_t index);
    c_Digitizer_t* d_;
};

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

/* Pulses of the given channels in time order: gaps of up to maxGap ticks
 * (so that at most one roll-over of a tagBits-bit tag falls between two of
 * one channel when maxGap < 2^tagBits), energies up to fullScale, a few
 * piled up and a few saturated, waveforms of the given length. */
std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples);

/* An encoder driven with its own register file. */
class Encoder {
  public:
    Encoder(const ZarnSim_Encoder_t& encoder, const Format& format);
    std::map<uint32_t, uint32_t> regs;
    /* The unit aggregate of these pulses (all of the unit's channels). */
    std::vector<uint32_t> unit(uint32_t unit, const std::vector<Pulse>& pulses);
    /* Board aggregates of all the pulses: at most perAggregate pulses of a
     * unit in each unit aggregate, every unit with pulses in each board
     * aggregate until all are used. */
    std::vector<uint32_t> buffer(const std::vector<Pulse>& pulses, uint32_t perAggregate);
    ZarnSim_EncoderContext_t context{};

  private:
    const ZarnSim_Encoder_t& encoder_;
};

/* A board aggregate around unit aggregates {mask bit, words}. */
std::vector<uint32_t> BoardAggregate(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& units);

/* The pulses of one channel, in order. */
std::vector<Pulse> OfChannel(const std::vector<Pulse>& pulses, uint32_t channel);

} // namespace dectest

#endif
