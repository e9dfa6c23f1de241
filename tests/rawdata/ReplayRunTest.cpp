/* A run recorded from a simulated board and replayed: the replay decodes
 * the same events, field for field and trace for trace, as the live run did,
 * including the data that an idle flush brought; at its end every enabled
 * channel gets exactly one end-of-run mark and nothing is decoded twice. */
#include <gtest/gtest.h>

#include "RawDataSupport.h"
#include "ZarnSimulator.h"

using namespace rawtest;

namespace {

/* One decoded event, copied out of the record with its traces. */
struct Event {
    uint16_t energy;
    int16_t shortCharge;
    uint64_t timeStamp;
    uint32_t flags;
    uint8_t specialFlag;
    int16_t specialIndex;
    uint32_t specialWord1, specialWord2, sizeWords;
    uint32_t nSamples;
    std::vector<int32_t> probes;
    std::vector<std::vector<uint8_t>> traces;
    bool operator==(const Event&) const = default;
};

Event Copy(const c_DPPEvent_t& e) {
    Event out{e.energy,       e.shortCharge,  e.timeStamp, e.flags, e.specialFlag, e.specialIndex,
              e.specialWord1, e.specialWord2, e.sizeWords, 0,       {},            {}};
    if (e.waveform != NULL) {
        out.nSamples = e.waveform->nSamples;
        for (int slot = 0; slot < DPPL_TRACE_SLOTS; slot++) {
            const c_Trace_t& t = e.waveform->traces[slot];
            out.probes.push_back(t.probe);
            size_t samples = std::min(e.waveform->nSamples, t.capacity);
            size_t bytes = samples * (slot < DPPL_ANALOG_TRACES ? sizeof(int16_t) : sizeof(uint8_t));
            const uint8_t* data = static_cast<const uint8_t*>(t.samples);
            out.traces.emplace_back(data != NULL ? std::vector<uint8_t>(data, data + bytes) : std::vector<uint8_t>{});
        }
    }
    return out;
}

using Events = std::vector<std::vector<Event>>; /* per channel */

/* Appends the events of the last read; returns how many there were. */
size_t Capture(const c_Digitizer_t* d, Events* run) {
    size_t count = 0;
    run->resize(DPPL_MAX_CHANNELS);
    for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++)
        for (uint32_t i = 0; i < d->channels[ch].nEvents; i++, count++)
            (*run)[ch].push_back(Copy(d->channels[ch].events[i]));
    return count;
}

struct Record {
    c_Digitizer_t* d = new c_Digitizer_t;
    Record() { _resetDgtz(d); }
    ~Record() {
        c_freeDgtz(d);
        delete d;
    }
};

c_ConnParams_t Connection(int linkType, int number, int node) {
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    params.linkType = linkType;
    params.linkNumber = number;
    params.node = node;
    return params;
}

constexpr uint64_t kStepNs = 2000000; /* board time between two reads */

/* Records a run of the board in manual clock mode: regular reads, then a
 * stretch that only an idle flush delivers, then the stop. */
struct LiveRun {
    Events events;
    size_t flushedEvents = 0;
    std::string path;
};

void RecordLiveRun(const ScratchDir& dir, const c_ConnParams_t& params, LiveRun* run) {
    Record live;
    ASSERT_EQ(c_newDigitizer(live.d, &params), 0);
    int32_t link = live.d->descriptor.CommHandle;
    ZarnSim_SetSeed(link, 1109);
    ZarnSim_SetClockMode(link, ZARN_SIM_CLOCK_MANUAL);
    ZarnSim_SetRate(link, -1, 4000.0);
    c_Parameter_t* autoFlush = c_pfind(live.d, DPPL_PARAM_AUTOFLUSH_ENABLE);
    if (autoFlush != NULL) {
        ASSERT_EQ(c_pset(live.d, autoFlush, 0.0), 0);
    }

    ASSERT_EQ(c_bdopenw(live.d, &live.d->writer, (dir / "run").c_str(), BD_MODE_CREATE, 1), 0);
    run->path = std::string(live.d->writer.fileName);
    live.d->dumpEnabled = 1;
    ASSERT_EQ(c_bstarta(live.d), 0);
    for (int i = 0; i < 40; i++) {
        ZarnSim_AdvanceClock(link, kStepNs);
        ASSERT_EQ(c_getDPPEvents(live.d, NULL), 0);
        Capture(live.d, &run->events);
    }
    /* Drain what full aggregates hold, then let a few events sit in open
     * aggregates until the board has been silent long enough for a flush. */
    while (c_getDPPEvents(live.d, NULL) == 0 && live.d->roBuffer.ROBytes > 0)
        Capture(live.d, &run->events);
    ZarnSim_AdvanceClock(link, kStepNs / 4);
    for (int tries = 0; tries < 20 && run->flushedEvents == 0; tries++) {
        c_sleep(20);
        ASSERT_EQ(c_getDPPEvents(live.d, NULL), 0);
        run->flushedEvents = Capture(live.d, &run->events);
    }
    ASSERT_EQ(c_bstopa(live.d), 0); /* its drain read is recorded and decoded too */
    Capture(live.d, &run->events);
    live.d->dumpEnabled = 0;
    ASSERT_EQ(c_bdclose(&live.d->writer), 0);
}

} // namespace

TEST(ReplayRun, ReplayDecodesWhatTheLiveRunDecodedAndEndsOnce) {
    ScratchDir dir;
    for (const c_ConnParams_t& board : {Connection(0, 0, 0), Connection(1, 0, 0), Connection(1, 1, 1)}) {
        LiveRun live;
        RecordLiveRun(dir, board, &live);
        if (HasFatalFailure())
            return;
        size_t liveTotal = 0;
        for (const auto& channel : live.events)
            liveTotal += channel.size();
        ASSERT_GT(liveTotal, 100u) << live.path;
        EXPECT_GT(live.flushedEvents, 0u) << "no idle flush delivered data: " << live.path;

        Record replay;
        ASSERT_EQ(c_newFileDigitizer(replay.d, live.path.c_str()), 0) << live.path;
        c_Digitizer_t* d = replay.d;
        ASSERT_EQ(c_bstarta(d), 0);
        Events replayed;
        int reads = 0;
        while (reads++ < 100000 && c_getDPPEvents(d, NULL) == 0 && d->roBuffer.ROBytes > 0)
            Capture(d, &replayed);
        replayed.resize(DPPL_MAX_CHANNELS);
        for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++)
            EXPECT_TRUE(replayed[ch] == live.events[ch]) << live.path << " channel " << ch << ": " << replayed[ch].size()
                                                         << " replayed, " << live.events[ch].size() << " live";

        /* The read that met the end: one synthetic mark per enabled channel,
         * nothing of the last buffer again. */
        for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++) {
            const c_ChannelRecord_t& channel = d->channels[ch];
            if (!c_isChannelEnabled(d, (int32_t)ch)) {
                EXPECT_EQ(channel.nEvents, 0u) << ch;
                continue;
            }
            ASSERT_EQ(channel.nEvents, 1u) << ch;
            EXPECT_EQ(channel.events[0].flags, EVTFLAG_END_OF_RUN | EVTFLAG_PSEUDO) << ch;
            EXPECT_EQ(channel.events[0].energy, 0u) << ch;
            EXPECT_EQ(channel.events[0].timeStamp, d->maxTimeStamp + 1) << ch;
        }
        /* Later reads deliver nothing more, also once the replay has been
         * idle for longer than a board's flush delay. */
        for (int i = 0; i < 3; i++) {
            if (i == 2)
                c_sleep(100);
            ASSERT_EQ(c_getDPPEvents(d, NULL), 0);
            for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++)
                EXPECT_EQ(d->channels[ch].nEvents, 0u) << ch;
        }

        /* A stop rewinds the replay: started again, it replays the same run. */
        ASSERT_EQ(c_bstopa(d), 0);
        ASSERT_EQ(c_bstarta(d), 0);
        Events again;
        reads = 0;
        while (reads++ < 100000 && c_getDPPEvents(d, NULL) == 0 && d->roBuffer.ROBytes > 0)
            Capture(d, &again);
        again.resize(DPPL_MAX_CHANNELS);
        EXPECT_TRUE(again == replayed) << live.path;
    }
}
