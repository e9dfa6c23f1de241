#include "DriverSupport.h"

#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <random>

namespace drvtest {

namespace {

constexpr int32_t kBoardFirst = 0, kChannelFirst = 200, kCollectionSize = 150;
constexpr uint64_t kReadoutBytes = 4u << 20;

bool softwareOnly(const c_ParamRef_t*) { return true; }

uint32_t peekMap(void* board, uint32_t address) {
    auto* regs = static_cast<std::map<uint32_t, uint32_t>*>(board);
    auto it = regs->find(address);
    return it == regs->end() ? 0u : it->second;
}

void eachParameter(c_ParamCollection_t* coll, const std::string& where,
                   const std::function<void(const std::string&, c_Parameter_t*)>& fn) {
    if (coll == NULL)
        return;
    for (int32_t i = 0; i <= coll->lastCode - coll->firstCode; ++i)
        if (coll->items[i] != NULL)
            fn(where, coll->items[i]);
}

} // namespace

c_ConnParams_t Connection(int linkType, int number, int node, uint32_t base) {
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    params.linkType = linkType;
    params.linkNumber = number;
    params.node = node;
    params.vmeBase = base;
    return params;
}

LiveBoard::LiveBoard() : d_(new c_Digitizer_t) { _resetDgtz(d_); }

LiveBoard::~LiveBoard() {
    c_freeDgtz(d_);
    delete d_;
}

int LiveBoard::open(const c_ConnParams_t& params) { return c_newDigitizer(d_, &params); }

uint32_t LiveBoard::peek(uint32_t address) const {
    uint32_t value = 0;
    EXPECT_EQ(0, ZarnSim_PeekRegister(link(), address, &value));
    return value;
}

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

Record::Record(const Format& f) : d_(new c_Digitizer_t) {
    _resetDgtz(d_);
    d_->kind = DGTZ_KIND_OPEN;
    d_->handle = -1;
    c_BoardDescriptor_t& b = d_->descriptor;
    strcpy(b.ModelName, "DRIVER");
    b.SerialNumber = 1;
    b.DPPCode = f.dppCode;
    b.FamilyCode = f.family;
    b.SamplePeriod = f.periodNs;
    b.TimeTagBits = 32;
    b.EnergyBits = 15;
    b.ADCBits = b.ADC_NBits = f.adcBits;
    b.NumChannels = f.channels;
    b.NumGroups = f.groups;
    b.Channels = f.groups ? f.groups : f.channels;
    for (uint32_t ch = 0; ch < f.channels; ++ch)
        channel(ch, DPPL_PARAM_CH_ENABLED, 1);
}

Record::~Record() {
    _freeDgtzBuffers(d_);
    _freeParamCollections(d_);
    delete d_;
}

c_Parameter_t* Record::add(c_ParamCollection_t** collection, int32_t first, int32_t code, double value, uint8_t index) {
    if (*collection == NULL)
        *collection = _pcnew(kCollectionSize, first);
    c_Parameter_t* p = _pretrieve(*collection, code);
    if (p != NULL) {
        p->value = p->preferred = value;
        return p;
    }
    p = c_pnew(d_);
    p->code = code;
    p->index = index;
    p->value = p->preferred = value;
    p->min = -1e12;
    p->max = 1e12;
    p->swcheck = softwareOnly;
    snprintf(p->name, sizeof p->name, "param %d", (int)code);
    if (_pcinsert(*collection, p, code) != 0) {
        c_pdelete(p);
        return NULL;
    }
    return p;
}

c_Parameter_t* Record::board(int32_t code, double value) { return add(&d_->boardColl, kBoardFirst, code, value, 0xFF); }

c_Parameter_t* Record::channel(uint32_t ch, int32_t code, double value) {
    return add(&d_->channels[ch].coll, kChannelFirst, code, value, (uint8_t)ch);
}

void Record::allocate(uint32_t events, uint32_t withWaveform, uint32_t samples) {
    ASSERT_EQ(0, _bfixedalloc(d_, kReadoutBytes, events, withWaveform, samples));
    if (withWaveform == 0) /* the allocator gives every event a waveform for 0 */
        for (uint32_t ch = 0; ch < d_->descriptor.NumChannels; ++ch) {
            for (uint32_t i = 0; i < d_->channels[ch].capacity; ++i)
                _freeWaveforms(&d_->channels[ch].events[i]);
            d_->channels[ch].waveformsAllocated = 0;
        }
}

void Record::load(const std::vector<uint32_t>& words) {
    size_t size = std::min<size_t>(words.size() * sizeof(uint32_t), d_->roBuffer.ROAllocSize);
    memcpy(d_->roBuffer.ROBuf, words.data(), size);
    d_->roBuffer.ROBytes = (uint32_t)size;
}

int Record::walk() { return GENERIC_GetEvents(d_, &d_->roBuffer); }

int Record::decode(GENERIC_ChannelDecoder_t decoder, uint32_t ch, std::vector<uint32_t> words, int32_t* decoded) {
    GENERIC_InvalidateReadCache(d_);
    c_ChannelRecord_t& rec = d_->channels[ch];
    return decoder(d_, ch, words.data(), rec.capacity, rec.events, decoded);
}

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

std::vector<Pulse> MakePulses(uint32_t seed, const std::vector<uint32_t>& channels, uint32_t perChannel,
                              uint64_t maxGap, uint32_t fullScale, uint32_t samples, uint32_t adcBits) {
    std::mt19937_64 rng(seed);
    std::vector<Pulse> all;
    const int32_t top = (1 << adcBits) - 1;
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
                int32_t v = top / 8 + (s >= p.preTrigger ? (int32_t)(p.energy % (uint32_t)(top / 2)) : 0) +
                            (int32_t)(rng() % 7);
                p.wave.push_back((int16_t)std::min(v, top));
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

Encoder::Encoder(const ZarnSim_Encoder_t& encoder, const Format& f) : encoder_(encoder) {
    context.board = &regs;
    context.readRegister = peekMap;
    context.dppCode = (uint32_t)f.dppCode;
    context.familyCode = f.family;
    context.channels = f.channels;
    context.adcBits = f.adcBits;
    context.samplePeriodNs = f.periodNs;
}

std::vector<uint32_t> Encoder::unit(uint32_t unit, const std::vector<Pulse>& pulses) {
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

std::vector<uint32_t> Encoder::buffer(const std::vector<Pulse>& pulses, uint32_t perAggregate) {
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

std::vector<c_DPPEvent_t> Events(const Record& r, uint32_t ch) {
    const c_ChannelRecord_t& rec = r->channels[ch];
    return std::vector<c_DPPEvent_t>(rec.events, rec.events + rec.nEvents);
}

} // namespace drvtest
