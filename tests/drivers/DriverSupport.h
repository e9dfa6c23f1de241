/* Pieces of the driver tests: boards of the shipped simulated profiles opened
 * through the library, hand-made records for the decoders, the simulated
 * encoders driven with a register file of their own, and board aggregates
 * framed around unit aggregates. */
#ifndef DRIVER_SUPPORT_H
#define DRIVER_SUPPORT_H

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayer.h"
#include "ZarnSimEncoder.h"
#include "ZarnSimulator.h"

extern "C" const ZarnSim_Encoder_t ZarnSim_VeskCIEncoder, ZarnSim_VeskPSDEncoder, ZarnSim_TilkPSDEncoder,
    ZarnSim_DraqQDCEncoder;

namespace drvtest {

c_ConnParams_t Connection(int linkType, int number, int node, uint32_t base = 0);

/* The shipped profiles (definitions/SimulatedBoards.xml). */
inline c_ConnParams_t VeskCI() { return Connection(0, 2, 0); }
inline c_ConnParams_t VeskPSD() { return Connection(0, 3, 0); }
inline c_ConnParams_t TilkPSD() { return Connection(1, 2, 0); }
inline c_ConnParams_t DraqQDC() { return Connection(4, 0, 0, 0x32100000); }

/* A record opened by the library, closed and freed when it goes. */
class LiveBoard {
  public:
    LiveBoard();
    ~LiveBoard();
    LiveBoard(const LiveBoard&) = delete;
    LiveBoard& operator=(const LiveBoard&) = delete;
    int open(const c_ConnParams_t& params);
    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }
    int32_t link() const { return d_->descriptor.CommHandle; }
    uint32_t peek(uint32_t address) const;

  private:
    c_Digitizer_t* d_;
};

/* Checks that every parameter of an opened record holds its preferred value. */
void ExpectEveryParameterAtPreferred(c_Digitizer_t* d);

/* Descriptor values of a format. */
struct Format {
    int32_t dppCode;
    uint32_t family;
    double periodNs;
    uint32_t adcBits;
    uint8_t channels;
    uint8_t groups;
};

inline Format TilkFormat() { return {132, 5, 1.0, 10, 8, 0}; }
inline Format VeskPSDFormat() { return {131, 12, 4.0, 12, 8, 0}; }
inline Format VeskCIFormat() { return {130, 12, 4.0, 12, 8, 0}; }
inline Format DraqFormat() { return {135, 4, 16.0, 12, 16, 2}; }

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
    /* The words become the readout buffer's contents. */
    void load(const std::vector<uint32_t>& words);
    /* One read's walk over the loaded buffer. */
    int walk();
    /* A channel decoder on its own, at the channel's first event. */
    int decode(GENERIC_ChannelDecoder_t decoder, uint32_t ch, std::vector<uint32_t> words, int32_t* decoded);
    const c_DPPEvent_t& event(uint32_t ch, uint32_t i) const { return d_->channels[ch].events[i]; }

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

/* Pulses of the given channels in time order: gaps of 1 to maxGap ticks,
 * energies below fullScale (every 11th saturated, every 7th piled up),
 * waveforms of the given length with values below 2^adcBits. */
std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples, uint32_t adcBits);

/* The pulses of one channel, in order. */
std::vector<Pulse> OfChannel(const std::vector<Pulse>& pulses, uint32_t channel);

/* An encoder driven with its own register file. */
class Encoder {
  public:
    Encoder(const ZarnSim_Encoder_t& encoder, const Format& format);
    std::map<uint32_t, uint32_t> regs;
    ZarnSim_EncoderContext_t context{};
    /* The unit aggregate of these pulses (all of the unit's channels). */
    std::vector<uint32_t> unit(uint32_t unit, const std::vector<Pulse>& pulses);
    /* Board aggregates of all the pulses, at most perAggregate of a unit in each. */
    std::vector<uint32_t> buffer(const std::vector<Pulse>& pulses, uint32_t perAggregate);

  private:
    const ZarnSim_Encoder_t& encoder_;
};

/* A board aggregate around unit aggregates {mask bit, words}. */
std::vector<uint32_t> BoardAggregate(const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& units);

/* The decoded events of a channel after a walk. */
std::vector<c_DPPEvent_t> Events(const Record& r, uint32_t ch);

} // namespace drvtest

#endif
