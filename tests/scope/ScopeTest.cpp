/* Standard waveform firmware: the shipped boards open with every parameter at
 * its preferred value, an acquisition decodes exactly the samples the
 * simulated encoder wrote, and malformed event buffers fail cleanly. */
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CBoard_Scope.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnComm.h"
#include "ZarnDPPLayer.h"
#include "ZarnFirmwareSetup.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimEncoder.h"
#include "ZarnSimulator.h"

extern "C" const ZarnSim_Encoder_t ZarnSim_ScopeEncoder;

namespace {

struct Profile {
    const char* name;
    int linkType, number, node;
    uint32_t base;
    const char* address;
    uint32_t family;
    int32_t dppCode;
    double periodNs;
    uint8_t channels, groups;
    uint64_t tickPs;
    uint32_t sampleMask;
};

const Profile kProfiles[] = {
    {"scope-orlu", 0, 4, 0, 0, "", 0, 0, 10.0, 8, 0, 10000, 0x3FFF},
    {"scope-draq", 4, 0, 0, 0x32110000, "", 4, 1, 16.0, 32, 4, 8000, 0xFFF},
    {"scope-tilk", 1, 2, 1, 0, "", 5, 0, 1.0, 8, 0, 8000, 0x3FF},
    {"scope-pemb-11", 1, 3, 0, 0, "", 11, 0, 2.0, 8, 0, 8000, 0x3FFF},
    {"scope-pemb-14", 6, 0, 0, 0, "192.168.50.14", 14, 1, 4.0, 8, 0, 8000, 0x3FFF},
};

void PrintTo(const Profile& p, std::ostream* os) { *os << p.name; }

c_ConnParams_t Connection(const Profile& p) {
    c_ConnParams_t c;
    memset(&c, 0, sizeof c);
    c.linkType = p.linkType;
    c.linkNumber = p.number;
    c.node = p.node;
    c.vmeBase = p.base;
    snprintf(c.address, sizeof c.address, "%s", p.address);
    return c;
}

/* A record opened by the library, freed when it goes. */
class Board {
public:
    Board() : d_(new c_Digitizer_t) { _resetDgtz(d_); }
    ~Board() {
        c_freeDgtz(d_);
        delete d_;
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;
    int open(const Profile& p) {
        c_ConnParams_t c = Connection(p);
        return c_newDigitizer(d_, &c);
    }
    c_Digitizer_t* get() const { return d_; }
    c_Digitizer_t* operator->() const { return d_; }
    int32_t link() const { return d_->descriptor.CommHandle; }

private:
    c_Digitizer_t* d_;
};

void ExpectAtPreferred(c_Digitizer_t* d, c_ParamCollection_t* coll, const std::string& where) {
    if (coll == NULL)
        return;
    for (int32_t i = 0; i <= coll->lastCode - coll->firstCode; ++i) {
        c_Parameter_t* p = coll->items[i];
        if (p == NULL || p->accesstype != c_getAccessTypeCode("READWRITE"))
            continue;
        double value = NAN;
        ASSERT_EQ(0, c_pget(d, p, &value)) << where << " " << p->codename;
        EXPECT_NEAR(p->preferred, value, 1e-9) << where << " " << p->codename;
    }
}

/* ----------------------------------------------- recording encoder */

/* What the encoder was given for one trigger: each channel's samples as the
 * firmware format can carry them. */
struct Trigger {
    std::map<uint32_t, std::vector<int16_t>> samples;
};

struct Recorder {
    std::mutex mutex;
    std::vector<Trigger> triggers;
    Trigger pending;
    uint32_t sampleMask = 0x3FFF;
    bool groupsOf3 = false;
} gRecorder;

uint32_t RecordingEncode(ZarnSim_EncoderContext_t* c, uint32_t unit, const ZarnSim_Event_t* events, uint32_t count,
                         uint32_t* out, uint32_t maxWords) {
    uint32_t n = ZarnSim_ScopeEncoder.encodeUnitAggregate(c, unit, events, count, out, maxWords);
    std::lock_guard<std::mutex> lock(gRecorder.mutex);
    for (uint32_t i = 0; n > 0 && i < count; ++i) {
        const ZarnSim_Event_t& e = events[i];
        uint32_t samples = gRecorder.groupsOf3 ? e.samples / 3 * 3 : e.samples;
        std::vector<int16_t>& s = gRecorder.pending.samples[e.channel];
        for (uint32_t k = 0; k < samples; ++k)
            s.push_back((int16_t)std::min<int32_t>(std::max<int32_t>(e.waveform[k], 0), (int32_t)gRecorder.sampleMask));
    }
    return n;
}

void RecordingFinish(ZarnSim_EncoderContext_t* c, uint32_t header[4], const ZarnSim_Event_t* trigger) {
    ZarnSim_ScopeEncoder.finishHeader(c, header, trigger);
    std::lock_guard<std::mutex> lock(gRecorder.mutex);
    gRecorder.triggers.push_back(std::move(gRecorder.pending));
    gRecorder.pending = Trigger{};
}

/* Installs the recording encoder for DPP codes 0 and 1 while it lives. */
class RecordingEncoder {
public:
    explicit RecordingEncoder(const Profile& p) {
        std::lock_guard<std::mutex> lock(gRecorder.mutex);
        gRecorder.triggers.clear();
        gRecorder.pending = Trigger{};
        gRecorder.sampleMask = p.sampleMask;
        gRecorder.groupsOf3 = p.family == 4;
        ZarnSim_Encoder_t e = ZarnSim_ScopeEncoder;
        e.encodeUnitAggregate = RecordingEncode;
        e.finishHeader = RecordingFinish;
        ZarnSim_RegisterEncoder(0, &e);
        ZarnSim_RegisterEncoder(1, &e);
    }
    ~RecordingEncoder() {
        ZarnSim_RegisterEncoder(0, &ZarnSim_ScopeEncoder);
        ZarnSim_RegisterEncoder(1, &ZarnSim_ScopeEncoder);
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(gRecorder.mutex);
        return gRecorder.triggers.size();
    }
    Trigger at(size_t i) {
        std::lock_guard<std::mutex> lock(gRecorder.mutex);
        return gRecorder.triggers.at(i);
    }
};

class ScopeProfile : public ::testing::TestWithParam<Profile> {};

TEST_P(ScopeProfile, OpensWithItsDescriptorAndEveryParameterAtPreferred) {
    const Profile& p = GetParam();
    Board b;
    ASSERT_EQ(0, b.open(p));
    const c_BoardDescriptor_t& desc = b->descriptor;
    EXPECT_EQ(p.dppCode, desc.DPPCode);
    EXPECT_STREQ("SCOPE", desc.DPPTypeName);
    EXPECT_EQ(31u, desc.TimeTagBits);
    EXPECT_EQ(0u, desc.EnergyBits);
    EXPECT_EQ(1u, desc.AnalogVTraces);
    EXPECT_EQ(0u, desc.DigitalVTraces);
    EXPECT_EQ(p.periodNs, desc.SamplePeriod);
    EXPECT_EQ(p.channels, desc.NumChannels);
    EXPECT_EQ(p.groups, desc.NumGroups);
    ASSERT_NE(nullptr, b->scope);
    EXPECT_EQ(4u, b->scope->capacity); /* DPPL_PARAM_NABLT */
    ASSERT_NE(nullptr, b->scope->items);

    ExpectAtPreferred(b.get(), b->boardColl, "board");
    for (int g = 0; g < desc.NumGroups; ++g)
        ExpectAtPreferred(b.get(), b->groupColl[g], "group " + std::to_string(g));
    for (int c = 0; c < desc.NumChannels; ++c)
        ExpectAtPreferred(b.get(), b->channels[c].coll, "channel " + std::to_string(c));
    for (uint32_t l = 0; l < desc.LVDSGroups; ++l)
        ExpectAtPreferred(b.get(), b->lvdsColl[l], "lvds " + std::to_string(l));
    ExpectAtPreferred(b.get(), b->vtrace[0].coll, "trace 0");

    /* every channel's events carry one analog trace of the record length */
    uint32_t samples = (uint32_t)lround(c_pfind(b.get(), DPPL_PARAM_RECLEN)->value / desc.SamplePeriod);
    for (int c = 0; c < desc.NumChannels; ++c) {
        ASSERT_EQ(4u, b->channels[c].capacity) << c;
        c_Waveform_t* w = b->channels[c].events[0].waveform;
        ASSERT_NE(nullptr, w) << c;
        EXPECT_EQ(samples, w->traces[0].capacity);
        EXPECT_EQ(nullptr, w->traces[1].samples);
    }
}

/* The samples, time stamps and headers of an acquisition are what the
 * encoder was given, channel by channel (group by group on Draq). */
TEST_P(ScopeProfile, AcquisitionDecodesWhatTheEncoderWrote) {
    const Profile& p = GetParam();
    RecordingEncoder recorder(p);
    Board b;
    ASSERT_EQ(0, b.open(p));
    ASSERT_EQ(0, ZarnSim_SetClockMode(b.link(), ZARN_SIM_CLOCK_MANUAL));
    ASSERT_EQ(0, ZarnSim_SetSeed(b.link(), 11));
    /* fewer channels on the 32-channel board: groups 1 and 3 only */
    if (p.groups > 0) {
        for (int g : {0, 2})
            ASSERT_EQ(0, c_pset(b.get(), c_pfindg(b.get(), g, DPPL_PARAM_GR_ENABLED), 0));
    } else {
        ASSERT_EQ(0, c_pset(b.get(), c_pfindc(b.get(), 5, DPPL_PARAM_CH_ENABLED), 0));
    }
    ASSERT_EQ(0, c_bstarta(b.get()));
    ASSERT_EQ(0, ZarnSim_AdvanceClock(b.link(), 20000000)); /* 20 ms: a few dozen triggers */

    const uint32_t expectedMask = p.groups > 0 ? 0xAu : 0xDFu;
    size_t decoded = 0;
    uint64_t lastTag = 0;
    uint32_t lastCounter = 0;
    for (int read = 0; read < 200 && (decoded == 0 || decoded < recorder.count()); ++read) {
        int32_t bytes = 0;
        ASSERT_EQ(0, c_getDPPEvents(b.get(), &bytes));
        const c_ScopeBuffer_t* scope = b->scope;
        for (uint32_t i = 0; i < scope->nEvents; ++i, ++decoded) {
            const c_ScopeEvent_t& h = scope->items[i];
            ASSERT_EQ(expectedMask, h.channelMask);
            if (decoded > 0) {
                EXPECT_GE(h.timeTag, lastTag);
                EXPECT_EQ(lastCounter + 1, h.counter);
            }
            lastTag = h.timeTag;
            lastCounter = h.counter;
            const Trigger t = recorder.at(decoded);
            for (uint32_t ch = 0; ch < p.channels; ++ch) {
                bool inMask = (h.channelMask >> (p.groups > 0 ? ch / 8 : ch)) & 1u;
                if (!inMask) {
                    EXPECT_EQ(nullptr, h.waveforms[ch]) << ch;
                    continue;
                }
                ASSERT_GT(b->channels[ch].nEvents, i) << ch;
                const c_DPPEvent_t& e = b->channels[ch].events[i];
                EXPECT_EQ(e.waveform, h.waveforms[ch]);
                EXPECT_EQ(h.timeTag * p.tickPs, e.timeStamp);
                EXPECT_EQ(0, e.energy);
                EXPECT_EQ(1, e.waveform->traces[0].probe);
                const std::vector<int16_t>& want = t.samples.at(ch);
                ASSERT_EQ(want.size(), e.waveform->nSamples) << "channel " << ch << " event " << decoded;
                const int16_t* got = (const int16_t*)e.waveform->traces[0].samples;
                ASSERT_EQ(0, memcmp(want.data(), got, want.size() * sizeof(int16_t)))
                    << "channel " << ch << " event " << decoded;
            }
        }
        for (uint32_t ch = 0; ch < p.channels; ++ch) {
            if (!((expectedMask >> (p.groups > 0 ? ch / 8 : ch)) & 1u)) {
                EXPECT_EQ(0u, b->channels[ch].nEvents) << ch;
            }
        }
    }
    EXPECT_GT(decoded, 4u);
    EXPECT_EQ(recorder.count(), decoded);
    EXPECT_EQ(lastTag * p.tickPs, b->maxTimeStamp);
    EXPECT_EQ(0, c_bstopa(b.get()));
}

/* Every trigger of a run as the decoder delivered it: per channel of the
 * mask, the samples of analog trace 0 and the time stamp. */
struct DecodedTrigger {
    uint64_t timeTag = 0;
    std::map<uint32_t, std::vector<int16_t>> samples;
    std::map<uint32_t, uint64_t> timeStamps;
};

/* Reads until a read brings no bytes (or the bound), keeping every trigger. */
std::vector<DecodedTrigger> ReadTriggers(c_Digitizer_t* d, size_t atLeast) {
    std::vector<DecodedTrigger> out;
    for (int read = 0; read < 400; ++read) {
        int32_t bytes = 0;
        EXPECT_EQ(0, c_getDPPEvents(d, &bytes));
        if (bytes == 0 && out.size() >= atLeast)
            break;
        for (uint32_t i = 0; i < d->scope->nEvents; ++i) {
            const c_ScopeEvent_t& h = d->scope->items[i];
            DecodedTrigger t;
            t.timeTag = h.timeTag;
            for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ++ch) {
                if (h.waveforms[ch] == NULL)
                    continue;
                const int16_t* s = (const int16_t*)h.waveforms[ch]->traces[0].samples;
                t.samples[ch].assign(s, s + h.waveforms[ch]->nSamples);
                t.timeStamps[ch] = d->channels[ch].events[i].timeStamp;
            }
            out.push_back(std::move(t));
        }
    }
    return out;
}

/* A run recorded while it was read replays from its raw-data file through
 * the same walker: trigger for trigger the samples the encoder wrote, with
 * the live run's time stamps. */
TEST_P(ScopeProfile, RecordedRunReplaysEveryTrigger) {
    const Profile& p = GetParam();
    RecordingEncoder recorder(p);
    // A folder of this run's own: test runs beside this one replay the same
    // profiles.
    std::string pattern = (std::filesystem::temp_directory_path() / "scope_replay_XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    const std::string folder = pattern;
    struct RemovedAtTheEnd {
        const std::string& path;
        ~RemovedAtTheEnd() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } removed{folder};
    std::string file;
    std::vector<DecodedTrigger> live;
    {
        Board b;
        ASSERT_EQ(0, b.open(p));
        ASSERT_EQ(0, ZarnSim_SetClockMode(b.link(), ZARN_SIM_CLOCK_MANUAL));
        ASSERT_EQ(0, ZarnSim_SetSeed(b.link(), 23));
        ASSERT_EQ(0, c_bdopenw(b.get(), &b->writer, (folder + "/run").c_str(), BD_MODE_CREATE, 1));
        file = b->writer.fileName;
        b->dumpEnabled = 1;
        ASSERT_EQ(0, c_bstarta(b.get()));
        ASSERT_EQ(0, ZarnSim_AdvanceClock(b.link(), 30000000)); /* 30 ms */
        live = ReadTriggers(b.get(), 5);
        ASSERT_EQ(0, c_bstopa(b.get()));
        b->dumpEnabled = 0;
        ASSERT_EQ(0, c_bdclose(&b->writer));
    }
    ASSERT_GT(live.size(), 4u);
    ASSERT_EQ(recorder.count(), live.size());

    c_Digitizer_t* replay = new c_Digitizer_t;
    _resetDgtz(replay);
    ASSERT_EQ(0, c_newFileDigitizer(replay, file.c_str()));
    ASSERT_NE(nullptr, replay->scope);
    EXPECT_EQ(4u, replay->scope->capacity); /* the recorded DPPL_PARAM_NABLT */
    ASSERT_EQ(0, c_bstarta(replay));
    std::vector<DecodedTrigger> replayed = ReadTriggers(replay, 0);
    ASSERT_EQ(live.size(), replayed.size());
    for (size_t i = 0; i < replayed.size(); ++i) {
        const Trigger wrote = recorder.at(i);
        EXPECT_EQ(live[i].timeTag, replayed[i].timeTag) << "trigger " << i;
        EXPECT_EQ(live[i].timeStamps, replayed[i].timeStamps) << "trigger " << i;
        EXPECT_EQ(wrote.samples, replayed[i].samples) << "trigger " << i;
    }
    EXPECT_EQ(0, c_freeDgtz(replay));
    delete replay;
}

INSTANTIATE_TEST_SUITE_P(Shipped, ScopeProfile, ::testing::ValuesIn(kProfiles),
                         [](const ::testing::TestParamInfo<Profile>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

/* ------------------------------------------------- hand-built buffers */

std::vector<uint32_t> Event(uint32_t mask, uint32_t tag, const std::vector<uint32_t>& payload, uint32_t pattern = 0,
                            uint32_t counter = 0) {
    std::vector<uint32_t> w = {0xA0000000u | (uint32_t)(4 + payload.size()), (mask & 0xFF) | (pattern << 8),
                               (counter & 0xFFFFFF) | ((mask >> 8) << 24), tag};
    w.insert(w.end(), payload.begin(), payload.end());
    return w;
}

std::vector<uint32_t> operator+(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

/* Walks words held in a block of exactly their size, so that any read past
 * the end is caught. */
int Walk(c_Digitizer_t* d, const std::vector<uint32_t>& words) {
    std::vector<uint32_t> exact(words);
    c_ReadoutBuffer_t buffer{};
    buffer.ROBuf = (char*)exact.data();
    buffer.ROBytes = buffer.ROAllocSize = (uint32_t)(exact.size() * sizeof(uint32_t));
    return SCOPE_GetEvents(d, &buffer);
}

class ScopeOrlu : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, b.open(kProfiles[0])); }
    const c_ScopeEvent_t& header(uint32_t i) const { return b->scope->items[i]; }
    const int16_t* samples(uint32_t ch, uint32_t i) const {
        return (const int16_t*)b->channels[ch].events[i].waveform->traces[0].samples;
    }
    Board b;
};

TEST_F(ScopeOrlu, HeaderFieldsAndSamples) {
    std::vector<uint32_t> words = Event(0x5, 1000, {0x00020001u, 0x3FFF1234u, 0x00040003u, 0x00060005u}, 0, 77);
    words[1] |= (1u << 26) | (0x15u << 27);
    ASSERT_EQ(0, Walk(b.get(), words));
    ASSERT_EQ(1u, b->scope->nEvents);
    const c_ScopeEvent_t& h = header(0);
    EXPECT_EQ(1000u, h.timeTag);
    EXPECT_EQ(77u, h.counter);
    EXPECT_EQ(1u, h.flag26);
    EXPECT_EQ(0x15u, h.high5);
    EXPECT_EQ(32u, h.sizeBytes);
    EXPECT_EQ(4u, h.payloadWords);
    EXPECT_EQ(2u, h.wordsPerChannel);
    EXPECT_EQ(nullptr, h.waveforms[1]);
    EXPECT_EQ(1u, b->channels[0].nEvents);
    EXPECT_EQ(0u, b->channels[1].nEvents);
    EXPECT_EQ(1u, b->channels[2].nEvents);
    EXPECT_EQ(4u, b->channels[0].events[0].waveform->nSamples);
    const int16_t want0[] = {1, 2, 0x1234, 0x3FFF}, want2[] = {3, 4, 5, 6};
    EXPECT_EQ(0, memcmp(want0, samples(0, 0), sizeof want0));
    EXPECT_EQ(0, memcmp(want2, samples(2, 0), sizeof want2));
    EXPECT_EQ(10000000u, b->channels[2].events[0].timeStamp);
}

TEST_F(ScopeOrlu, EmptyMaskGivesAHeaderWithoutChannelEvents) {
    ASSERT_EQ(0, Walk(b.get(), Event(0, 5, {})));
    ASSERT_EQ(1u, b->scope->nEvents);
    EXPECT_EQ(0u, header(0).wordsPerChannel);
    for (int ch = 0; ch < 8; ++ch)
        EXPECT_EQ(0u, b->channels[ch].nEvents);
}

TEST_F(ScopeOrlu, TimeTagModes) {
    /* 31 bits: bit 31 of word 3 is ignored and a smaller tag counts a roll-over */
    ASSERT_EQ(0, Walk(b.get(), Event(1, 0x80000010u, {0}) + Event(1, 0x20u, {0}) + Event(1, 0x8u, {0})));
    EXPECT_EQ(0x10u, header(0).timeTag);
    EXPECT_EQ(0u, header(0).rollOverFlag);
    EXPECT_EQ(0x20u, header(1).timeTag);
    EXPECT_EQ((1ull << 31) + 0x8u, header(2).timeTag);
    EXPECT_EQ(EVTFLAG_ROLLOVER, header(2).rollOverFlag);
    EXPECT_EQ(EVTFLAG_ROLLOVER, b->channels[0].events[2].flags);

    /* 48 bits: all of word 3 and the pattern above it */
    ASSERT_EQ(0, c_pset(b.get(), c_pfind(b.get(), DPPL_PARAM_EXTRAS_OPT), 2));
    ASSERT_EQ(0, c_bstarta(b.get())); /* clears the time-tag state */
    ASSERT_EQ(0, c_bstopa(b.get()));
    ASSERT_EQ(0, Walk(b.get(), Event(1, 0x80000010u, {0}, 0x1234) + Event(1, 0x5u, {0}, 0x1234)));
    EXPECT_EQ(0x123480000010ull, header(0).timeTag);
    EXPECT_EQ(0x1234u, header(0).pattern);
    EXPECT_EQ((1ull << 48) + 0x123400000005ull, header(1).timeTag);
    EXPECT_EQ(EVTFLAG_ROLLOVER, header(1).rollOverFlag);
    /* every channel shares the board's time base */
    EXPECT_EQ(b->channels[0].lastExtTimeTag, 0x123400000005ull);
}

struct Malformed {
    const char* name;
    std::vector<uint32_t> words;
    int code;
    uint32_t decodedBefore; /* events that stay decoded */
};

TEST_F(ScopeOrlu, MalformedBuffersFailWithoutReadingPastThem) {
    std::vector<uint32_t> good = Event(1, 1, {0x00010001u});
    std::vector<uint32_t> zle = Event(1, 2, {0});
    zle[1] |= 1u << 24;
    std::vector<uint32_t> badPattern = Event(1, 2, {0});
    badPattern[0] = (badPattern[0] & 0x0FFFFFFFu) | 0x50000000u;
    std::vector<uint32_t> oversized = Event(1, 2, {0});
    oversized[0] = 0xA0000000u | 0x00FFFFFFu;
    std::vector<uint32_t> zeroSize = Event(0, 2, {});
    zeroSize[0] = 0xA0000000u;
    std::vector<uint32_t> truncated = Event(3, 2, {0, 0, 0, 0});
    truncated.resize(6);
    const Malformed cases[] = {
        {"zero-length encoding", good + zle, DPPL_ERR_INVALID_EVENT, 1},
        {"fixed pattern", badPattern, DPPL_ERR_INVALID_EVENT, 0},
        {"payload not a whole number per channel", Event(3, 2, {0, 0, 0}), DPPL_ERR_INVALID_EVENT, 0},
        {"buffer ends inside an event", good + truncated, DPPL_ERR_INVALID_EVENT, 1},
        {"size beyond the bytes read", good + oversized, DPPL_ERR_INVALID_EVENT, 1},
        {"size below the header", zeroSize, DPPL_ERR_INVALID_EVENT, 0},
        {"trailing words", good + std::vector<uint32_t>{0xA0000004u, 0}, DPPL_ERR_INVALID_EVENT, 1},
        {"mask names a channel the board lacks", Event(0x100, 2, {0}), DPPL_ERR_INVALID_EVENT, 0},
        {"more events than allocated", good + good + good + good + good, DPPL_ERR_EVENT_BUFFER_OVERFLOW, 4},
        {"trace too small", Event(1, 2, std::vector<uint32_t>(4096, 0)), DPPL_ERR_OUT_OF_MEMORY, 0},
    };
    for (const Malformed& m : cases) {
        EXPECT_EQ(m.code, Walk(b.get(), m.words)) << m.name;
        EXPECT_EQ(m.decodedBefore, b->scope->nEvents) << m.name;
        EXPECT_EQ(m.decodedBefore, b->channels[0].nEvents) << m.name;
    }
    /* the same through the readout: a failed read leaves the record usable */
    memcpy(b->roBuffer.ROBuf, truncated.data(), truncated.size() * 4);
    b->roBuffer.ROBytes = (uint32_t)truncated.size() * 4;
    EXPECT_EQ(DPPL_ERR_INVALID_EVENT, GENERIC_GetEvents(b.get(), &b->roBuffer));
    EXPECT_EQ(0, Walk(b.get(), good));
}

TEST_F(ScopeOrlu, ChannelWithoutEventsOrWaveformIsRefused) {
    ASSERT_EQ(0, c_pset(b.get(), c_pfindc(b.get(), 3, DPPL_PARAM_CH_ENABLED), 0)); /* frees its events */
    EXPECT_EQ(DPPL_ERR_EVENT_BUFFER_OVERFLOW, Walk(b.get(), Event(0x8, 1, {0})));
    c_Waveform_t* saved = b->channels[0].events[0].waveform;
    b->channels[0].events[0].waveform = NULL;
    EXPECT_EQ(DPPL_ERR_INVALID_TRACE, Walk(b.get(), Event(0x1, 1, {0})));
    b->channels[0].events[0].waveform = saved;
}

TEST_F(ScopeOrlu, EventBufferFollowsNabltAndAFailedInitLeavesNoBuffer) {
    ASSERT_EQ(0, c_pset(b.get(), c_pfind(b.get(), DPPL_PARAM_NABLT), 7));
    EXPECT_EQ(7u, b->scope->capacity);
    EXPECT_EQ(7u, b->channels[0].capacity);

    c_ScopeBuffer_t* scope = b->scope;
    b->scope = NULL;
    EXPECT_EQ(0, SCOPE_AllocEventBuffer(b.get())); /* nothing to do */
    EXPECT_EQ(DPPL_ERR_NULL_ARGUMENT, Walk(b.get(), Event(1, 1, {0})));
    b->scope = scope;

    const uint32_t family = b->descriptor.FamilyCode;
    for (auto [f, code] : {std::pair<uint32_t, int>{6, DPPL_ERR_NOT_SUPPORTED}, {3, DPPL_ERR_INVALID_DPP_CODE}}) {
        b->descriptor.FamilyCode = f;
        EXPECT_EQ(code, SCOPE_InitBoard(b.get())) << f;
        EXPECT_EQ(nullptr, b->scope) << f;
    }
    b->descriptor.FamilyCode = family;
}

TEST(ScopeOpen, FailedOpenLeavesTheRecordClosed) {
    /* the family init's memory-code read, then the flash-type read of the DAC calibration */
    for (auto [address, code] :
         {std::pair<uint32_t, int>{0x8140, DPPL_ERR_READ_REGISTER}, {0xF050, DPPL_ERR_OFFSET_CALIBRATION}}) {
        ASSERT_EQ(0, ZarnSim_FailRegisterAccess(address, 1, ZARN_COMM_CommError));
        Board b;
        EXPECT_EQ(code, b.open(kProfiles[0])) << std::hex << address;
        EXPECT_EQ(DGTZ_KIND_CLOSED, b->kind);
        EXPECT_EQ(nullptr, b->scope);
        ZarnSim_ResetFaults();
        ASSERT_EQ(0, b.open(kProfiles[0])); /* the board was closed again */
    }
}

/* Family payload layouts on hand-built words. */
TEST(ScopeFamilies, TilkAndDraqLayouts) {
    {
        Board b;
        ASSERT_EQ(0, b.open(kProfiles[2]));
        /* three, none, two samples */
        ASSERT_EQ(
            0,
            Walk(b.get(),
                 Event(1, 3, {(3u << 30) | (3u << 20) | (2u << 10) | 1u, 0x3FFu, (2u << 30) | (0x3FFu << 10) | 4u})));
        const c_DPPEvent_t& e = b->channels[0].events[0];
        ASSERT_EQ(5u, e.waveform->nSamples);
        const int16_t want[] = {1, 2, 3, 4, 0x3FF};
        EXPECT_EQ(0, memcmp(want, e.waveform->traces[0].samples, sizeof want));
        EXPECT_EQ(3u * 8000u, e.timeStamp);
    }
    {
        Board b;
        ASSERT_EQ(0, b.open(kProfiles[1]));
        /* one block for group 1: sample s of the block holds the value s + 1 */
        std::vector<uint32_t> block(9, 0);
        for (uint32_t s = 0; s < 24; ++s) {
            uint64_t v = (uint64_t)(s + 1) << ((12 * s) % 32);
            block[12 * s / 32] |= (uint32_t)v;
            if (12 * s / 32 + 1 < 9)
                block[12 * s / 32 + 1] |= (uint32_t)(v >> 32);
        }
        ASSERT_EQ(0, Walk(b.get(), Event(0x2, 9, block)));
        for (uint32_t k = 0; k < 8; ++k) {
            const c_DPPEvent_t& e = b->channels[8 + k].events[0];
            ASSERT_EQ(3u, e.waveform->nSamples) << k;
            const int16_t* s = (const int16_t*)e.waveform->traces[0].samples;
            EXPECT_EQ(3 * k + 1, (uint32_t)s[0]);
            EXPECT_EQ(3 * k + 3, (uint32_t)s[2]);
            EXPECT_EQ(0u, b->channels[k].nEvents);
            EXPECT_EQ(nullptr, b->scope->items[0].waveforms[k]);
        }
        EXPECT_EQ(DPPL_ERR_INVALID_EVENT, Walk(b.get(), Event(0x2, 9, std::vector<uint32_t>(10, 0))));
    }
}

} // namespace
