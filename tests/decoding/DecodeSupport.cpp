#include "DecodeSupport.h"

#include <string.h>

namespace dectest {

namespace {

constexpr uint64_t kReadoutBytes = 8u << 20;

} // namespace

Record::Record(const Format& f) {
    c_BoardDescriptor_t& b = d_->descriptor;
    strcpy(b.ModelName, "DECODER");
    b.SerialNumber = 1;
    b.DPPCode = f.dppCode;
    b.DPPMinorRev = f.minor;
    b.FamilyCode = f.family;
    b.SamplePeriod = f.periodNs;
    b.TimeTagBits = f.timeTagBits;
    b.EnergyBits = f.energyBits;
    b.ADCBits = b.ADC_NBits = 14;
    b.NumChannels = f.channels;
    b.Channels = f.channels;
    for (uint32_t ch = 0; ch < f.channels; ++ch)
        channel(ch, DPPL_PARAM_CH_ENABLED, 1);
}

void Record::allocate(uint32_t events, uint32_t withWaveform, uint32_t samples) {
    allocateFixed(kReadoutBytes, events, withWaveform, samples);
}

std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples) {
    /* A 14-bit trace: baseline 800, a step of a quarter of the energy. */
    const PulseShape shape{800, 16383, [](uint32_t energy, int32_t) { return (int32_t)(energy / 4); }};
    return testsup::GeneratePulses(seed, channels, perChannel, maxGap, fullScale, samples, shape);
}

Encoder::Encoder(const ZarnSim_Encoder_t& encoder, const Format& f) : UnitEncoder(encoder) {
    context.dppCode = (uint32_t)f.dppCode;
    context.dppMinor = (uint32_t)f.minor;
    context.familyCode = f.family;
    context.channels = f.channels;
    context.adcBits = 14;
    context.samplePeriodNs = f.periodNs;
}

} // namespace dectest
