#include "DriverSupport.h"

#include <gtest/gtest.h>
#include <math.h>

namespace drvtest {

namespace {

constexpr uint64_t kReadoutBytes = 4u << 20;

void eachParameter(c_ParamCollection_t* coll, const std::string& where,
                   const std::function<void(const std::string&, c_Parameter_t*)>& fn) {
    if (coll == NULL)
        return;
    for (int32_t i = 0; i <= coll->lastCode - coll->firstCode; ++i)
        if (coll->items[i] != NULL)
            fn(where, coll->items[i]);
}

} // namespace

void ExpectEveryParameterAtPreferred(c_Digitizer_t* d) {
    const c_BoardDescriptor_t& desc = d->descriptor;
    int checked = 0;
    auto check = [&](const std::string& where, c_Parameter_t* p) {
        if (p->accesstype != c_getAccessTypeCode("READWRITE"))
            return;
        double value = NAN;
        ASSERT_EQ(0, c_pget(d, p, &value)) << where << " " << p->codename;
        EXPECT_NEAR(p->preferred, value, 1e-9) << where << " " << p->codename;
        ++checked;
    };
    eachParameter(d->boardColl, "board", check);
    for (int g = 0; g < desc.NumGroups; ++g)
        eachParameter(d->groupColl[g], "group " + std::to_string(g), check);
    for (int c = 0; c < desc.NumChannels; ++c)
        eachParameter(d->channels[c].coll, "channel " + std::to_string(c), check);
    for (uint32_t l = 0; l < desc.LVDSGroups; ++l)
        eachParameter(d->lvdsColl[l], "lvds " + std::to_string(l), check);
    for (int t = 0; t < DPPL_MAX_VTRACES; ++t)
        eachParameter(d->vtrace[t].coll, "trace " + std::to_string(t), check);
    for (uint32_t h = 0; h < desc.HVChannels; ++h) {
        eachParameter(d->hv[h].coll, "hv " + std::to_string(h), check);
        for (uint32_t r = 0; r < d->hv[h].rangeCount; ++r)
            eachParameter(d->hv[h].ranges[r].coll, "hv range " + std::to_string(h), check);
    }
    EXPECT_GT(checked, 8 * 30);
}

Record::Record(const Format& f) { describe(f, "DRIVER"); }

void Record::allocate(uint32_t events, uint32_t withWaveform, uint32_t samples) {
    ASSERT_EQ(0, allocateFixed(kReadoutBytes, events, withWaveform, samples));
}

int Record::decode(GENERIC_ChannelDecoder_t decoder, uint32_t ch, std::vector<uint32_t> words, int32_t* decoded) {
    GENERIC_InvalidateReadCache(d_);
    c_ChannelRecord_t& rec = d_->channels[ch];
    return decoder(d_, ch, words.data(), rec.capacity, rec.events, decoded);
}

std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples, uint32_t adcBits) {
    /* Values below 2^adcBits: baseline at an eighth of the range, the step
     * folded into half of it. */
    const int32_t top = (1 << adcBits) - 1;
    const PulseShape shape{
        top / 8, top, [](uint32_t energy, int32_t ceiling) { return (int32_t)(energy % (uint32_t)(ceiling / 2)); }};
    return testsup::GeneratePulses(seed, channels, perChannel, maxGap, fullScale, samples, shape);
}

std::vector<c_DPPEvent_t> Events(const Record& r, uint32_t ch) {
    const c_ChannelRecord_t& rec = r->channels[ch];
    return std::vector<c_DPPEvent_t>(rec.events, rec.events + rec.nEvents);
}

} // namespace drvtest
