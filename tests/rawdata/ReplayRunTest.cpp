/* A run recorded from a simulated board and replayed: the replay decodes
 * the same events, field for field and trace for trace, as the live run did,
 * including the data that an idle flush brought; at its end every enabled
 * channel gets exactly one end-of-run mark and nothing is decoded twice.
 *
 * The one buffer read after the stop (the stop's drain) is compared apart:
 * live, the decoders hold back the events of channels that no longer run,
 * while a replay delivers every recorded event. */
#include <gtest/gtest.h>

#include "../support/SimBoards.h"
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
    Event out{e.energy,
              e.shortCharge,
              e.timeStamp,
              e.flags,
              e.specialFlag,
              e.specialIndex,
              e.specialWord1,
              e.specialWord2,
              e.sizeWords,
              0,
              {},
              {}};
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

/* Where two event lists first differ, for failure messages. */
std::string FirstDifference(const std::vector<Event>& a, const std::vector<Event>& b) {
    for (size_t i = 0; i < std::min(a.size(), b.size()); i++) {
        const Event& x = a[i];
        const Event& y = b[i];
        if (x == y)
            continue;
        char text[300];
        snprintf(text, sizeof text,
                 "event %zu: energy %u/%u short %d/%d time %llu/%llu flags 0x%x/0x%x samples %u/%u%s", i, x.energy,
                 y.energy, x.shortCharge, y.shortCharge, (unsigned long long)x.timeStamp,
                 (unsigned long long)y.timeStamp, x.flags, y.flags, x.nSamples, y.nSamples,
                 x.traces != y.traces || x.probes != y.probes ? " (traces differ)" : "");
        return text;
    }
    return a.size() == b.size() ? "equal" : "lengths " + std::to_string(a.size()) + "/" + std::to_string(b.size());
}

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

using testsup::Connection;

constexpr uint64_t kStepNs = 2000000; /* board time between two reads */
/* Some decoders dither (fine time, gain correction) with the library's
 * random numbers: every run starts decoding from this seed. */
constexpr uint32_t kDitherSeed = 0xD17Eu;

/* Records a run of the board in manual clock mode: regular reads, then a
 * stretch that only an idle flush delivers, then the stop. */
struct LiveRun {
    Events events; /* up to the stop */
    size_t flushedEvents = 0;
    bool drainRecorded = false; /* the stop's drain read brought bytes */
    size_t drainEvents = 0;     /* what the live decode delivered of them */
    std::string path;
};

/* Replays a whole file: the events of every data record but the last, and
 * those of the last one. */
void ReplayAll(c_Digitizer_t* d, Events* before, Events* last) {
    before->assign(DPPL_MAX_CHANNELS, {});
    last->assign(DPPL_MAX_CHANNELS, {});
    for (int reads = 0; reads < 100000; reads++) {
        ASSERT_EQ(c_getDPPEvents(d, NULL), 0);
        if (d->roBuffer.ROBytes == 0)
            return;
        for (size_t ch = 0; ch < DPPL_MAX_CHANNELS; ch++)
            (*before)[ch].insert((*before)[ch].end(), (*last)[ch].begin(), (*last)[ch].end());
        last->assign(DPPL_MAX_CHANNELS, {});
        Capture(d, last);
    }
}

size_t Total(const Events& events) {
    size_t total = 0;
    for (const auto& channel : events)
        total += channel.size();
    return total;
}

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
    c_srand(kDitherSeed);
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
    ASSERT_EQ(c_bstopa(live.d), 0); /* its drain read is recorded too */
    run->drainRecorded = live.d->roBuffer.ROBytes > 0;
    Events drain;
    run->drainEvents = Capture(live.d, &drain);
    live.d->dumpEnabled = 0;
    ASSERT_EQ(c_bdclose(&live.d->writer), 0);
}

} // namespace

TEST(ReplayRun, ReplayDecodesWhatTheLiveRunDecodedAndEndsOnce) {
    ScratchDir dir;
    const struct {
        const char* name;
        c_ConnParams_t params;
    } boards[] = {
        {"orlu-pha", Connection(0, 0, 0)}, {"pemb-psd-11", Connection(1, 0, 0)}, {"pemb-pha-14", Connection(1, 1, 1)}};
    for (const auto& [name, board] : boards) {
        LiveRun live;
        RecordLiveRun(dir, board, &live);
        if (HasFatalFailure())
            return;
        ASSERT_GT(Total(live.events), 100u) << name;
        EXPECT_GT(live.flushedEvents, 0u) << "no idle flush delivered data: " << name;

        Record replay;
        ASSERT_EQ(c_newFileDigitizer(replay.d, live.path.c_str()), 0) << name;
        c_Digitizer_t* d = replay.d;
        ASSERT_EQ(c_bstarta(d), 0);
        c_srand(kDitherSeed);
        Events replayed, last;
        ReplayAll(d, &replayed, &last);
        if (HasFatalFailure())
            return;
        if (!live.drainRecorded) { /* then the last record is an ordinary read */
            for (size_t ch = 0; ch < DPPL_MAX_CHANNELS; ch++)
                replayed[ch].insert(replayed[ch].end(), last[ch].begin(), last[ch].end());
            last.assign(DPPL_MAX_CHANNELS, {});
        }
        live.events.resize(DPPL_MAX_CHANNELS);
        for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++)
            EXPECT_TRUE(replayed[ch] == live.events[ch])
                << name << " channel " << ch << ", replayed/live " << FirstDifference(replayed[ch], live.events[ch]);
        EXPECT_GE(Total(last), live.drainEvents);

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
        c_srand(kDitherSeed);
        Events againBefore, againLast;
        ReplayAll(d, &againBefore, &againLast);
        if (!live.drainRecorded) {
            for (size_t ch = 0; ch < DPPL_MAX_CHANNELS; ch++)
                againBefore[ch].insert(againBefore[ch].end(), againLast[ch].begin(), againLast[ch].end());
            againLast.assign(DPPL_MAX_CHANNELS, {});
        }
        for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++)
            EXPECT_TRUE(againBefore[ch] == replayed[ch] && againLast[ch] == last[ch])
                << name << " channel " << ch << ", again/first " << FirstDifference(againBefore[ch], replayed[ch]);
    }
}

/* A run that recorded no data record (a start and a stop with no signal)
 * replays as any run does: its first read finds the end and marks it on
 * every enabled channel, and the reads after it find nothing, with no error. */
TEST(ReplayRun, ARunWithNoRecordReplaysAndEnds) {
    ScratchDir dir;
    const struct {
        const char* name;
        c_ConnParams_t params;
    } boards[] = {{"orlu-pha", Connection(0, 0, 0)},
                  {"vesk-psd", Connection(0, 3, 0)},
                  {"pemb-psd-11", Connection(1, 0, 0)},
                  {"pemb-pha-14", Connection(1, 1, 1)},
                  {"tilk-psd", Connection(1, 2, 0)}};
    for (const auto& [name, board] : boards) {
        std::string path;
        {
            Record live;
            ASSERT_EQ(c_newDigitizer(live.d, &board), 0) << name;
            ZarnSim_SetClockMode(live.d->descriptor.CommHandle, ZARN_SIM_CLOCK_MANUAL); /* no event ever */
            ASSERT_EQ(c_bdopenw(live.d, &live.d->writer, (dir / name).c_str(), BD_MODE_CREATE, 1), 0);
            path = live.d->writer.fileName;
            live.d->dumpEnabled = 1;
            ASSERT_EQ(c_bstarta(live.d), 0) << name;
            ASSERT_EQ(c_bstopa(live.d), 0) << name;
            ASSERT_EQ(c_bdclose(&live.d->writer), 0);
        }
        Reader probe;
        ASSERT_EQ(probe.Open(path), 0) << name;
        char byte[4];
        c_ReadoutBuffer_t none = {byte, sizeof byte, 0, ROBUF_ALLOC_NONE};
        ASSERT_EQ(c_bdreadrecord(&probe.dumper, &none, 0), BD_END_OF_FILE) << name << ": the run recorded data";

        Record replay;
        ASSERT_EQ(c_newFileDigitizer(replay.d, path.c_str()), 0) << name;
        c_Digitizer_t* d = replay.d;
        ASSERT_EQ(c_bstarta(d), 0) << name;
        for (int read = 0; read < 3; read++) {
            int32_t bytes = -1;
            ASSERT_EQ(c_getDPPEvents(d, &bytes), 0) << name << " read " << read;
            EXPECT_EQ(bytes, 0) << name;
            for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++) {
                const c_ChannelRecord_t& channel = d->channels[ch];
                bool marked = read == 0 && c_isChannelEnabled(d, (int32_t)ch);
                ASSERT_EQ(channel.nEvents, marked ? 1u : 0u) << name << " channel " << ch << " read " << read;
                if (marked)
                    EXPECT_EQ(channel.events[0].flags, EVTFLAG_END_OF_RUN | EVTFLAG_PSEUDO) << name << " " << ch;
            }
        }
        EXPECT_EQ(c_bstopa(d), 0) << name;
    }
}

namespace {

/* A short run of the board recorded by the library's own writer; the
 * record's readout size (the bound of a data record) goes to *bound. */
std::string RecordShortRun(const ScratchDir& dir, const char* name, const c_ConnParams_t* params, uint32_t* bound) {
    Record live;
    EXPECT_EQ(c_newDigitizer(live.d, params), 0) << name;
    EXPECT_EQ(c_bdopenw(live.d, &live.d->writer, (dir / name).c_str(), BD_MODE_CREATE, 1), 0) << name;
    std::string path = live.d->writer.fileName;
    *bound = live.d->roBuffer.ROAllocSize;
    live.d->dumpEnabled = 1;
    EXPECT_EQ(c_bstarta(live.d), 0) << name;
    for (int read = 0; read < 40; read++) {
        c_sleep(5);
        EXPECT_EQ(c_getDPPEvents(live.d, NULL), 0) << name;
    }
    EXPECT_EQ(c_bstopa(live.d), 0) << name;
    live.d->dumpEnabled = 0;
    EXPECT_EQ(c_bdclose(&live.d->writer), 0) << name;
    return path;
}

/* Where each data record of a raw-data file starts. */
std::vector<size_t> RecordOffsets(const std::string& path) {
    Reader reader;
    EXPECT_EQ(reader.Open(path), 0);
    std::vector<size_t> offsets;
    std::vector<uint8_t> bytes = ReadBytes(path);
    for (size_t at = (size_t)ftello(reader.dumper.file); at + 4 <= bytes.size();) {
        offsets.push_back(at);
        uint32_t size;
        memcpy(&size, &bytes[at], sizeof size);
        at += sizeof size + size;
    }
    return offsets;
}

/* Replays the file to its end or its first failed read: the events decoded
 * per channel (end-of-run marks apart), and the status that stopped it. */
struct ReplayOutcome {
    std::vector<uint64_t> events;
    int failure = 0;
    int reads = 0;
};

ReplayOutcome ReplayUntilEndOrFailure(c_Digitizer_t* d) {
    ReplayOutcome outcome;
    outcome.events.assign(d->descriptor.NumChannels, 0);
    for (; outcome.reads < 100000; outcome.reads++) {
        int32_t bytes = -1;
        int result = c_getDPPEvents(d, &bytes);
        if (result != 0) {
            outcome.failure = result;
            outcome.reads++;
            break;
        }
        if (bytes == 0)
            break;
        for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++)
            for (uint32_t i = 0; i < d->channels[ch].nEvents; i++)
                outcome.events[ch] += (d->channels[ch].events[i].flags & EVTFLAG_PSEUDO) == 0;
    }
    return outcome;
}

std::string ReadFileText(const std::string& path) {
    std::vector<uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

} // namespace

/* A data record the replay can't use ends the replay where it lies: every
 * record before it is decoded as in the intact file, the read that meets it
 * fails once with -32 and is logged once with the file and the record's
 * offset, the next read finds the end (one end-of-run mark per enabled
 * channel), and nothing after it is replayed, however many records follow.
 * A stop rewinds the replay to its first record as after any end. */
TEST(ReplayRun, ADamagedRecordEndsTheReplayThereOnce) {
    const c_ConnParams_t orlu = Connection(0, 0, 0), pemb = Connection(1, 1, 1);
    const struct {
        const char* name;
        const c_ConnParams_t* params;
    } boards[] = {{"orlu-pha", &orlu}, {"pemb-pha-14", &pemb}, {"morvane", nullptr}};
    auto u32 = [](std::vector<uint8_t>* bytes, uint32_t value) {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&value);
        bytes->insert(bytes->end(), b, b + 4);
    };
    for (const auto& board : boards) {
        ScratchDir dir;
        uint32_t bound = 0;
        std::string recorded = RecordShortRun(dir, board.name, board.params, &bound);
        if (HasFailure())
            return;
        std::vector<uint8_t> intact = ReadBytes(recorded);
        std::vector<size_t> offsets = RecordOffsets(recorded);
        ASSERT_GE(offsets.size(), 2u) << board.name << ": the run recorded too little";
        const size_t lastRecord = offsets.back();
        std::vector<uint8_t> validRecord(intact.begin() + offsets[0], intact.begin() + offsets[1]);

        Record reference;
        ASSERT_EQ(c_newFileDigitizer(reference.d, recorded.c_str()), 0) << board.name;
        ASSERT_EQ(c_bstarta(reference.d), 0);
        ReplayOutcome whole = ReplayUntilEndOrFailure(reference.d);
        ASSERT_EQ(whole.failure, 0) << board.name;
        uint64_t decoded = 0;
        for (uint64_t events : whole.events)
            decoded += events;
        ASSERT_GT(decoded, 0u) << board.name << ": the run recorded no event";
        ASSERT_EQ(c_bstopa(reference.d), 0);
        ASSERT_EQ(c_bstarta(reference.d), 0);
        std::vector<uint8_t> lastCut(intact.begin(), intact.begin() + lastRecord); /* all records but the last */
        std::vector<uint64_t> beforeLast;
        {
            std::string path = dir / "before-last.dat";
            WriteBytes(path, lastCut);
            Record cut;
            ASSERT_EQ(c_newFileDigitizer(cut.d, path.c_str()), 0);
            ASSERT_EQ(c_bstarta(cut.d), 0);
            beforeLast = ReplayUntilEndOrFailure(cut.d).events;
        }

        struct Case {
            const char* name;
            std::vector<uint8_t> bytes;
            size_t damagedAt;
            std::vector<uint64_t> events; /* what the replay delivers before it */
        };
        std::vector<Case> cases;
        { /* records of size 0, then a valid one that is never reached */
            Case c{"size 0 records", intact, intact.size(), whole.events};
            for (int i = 0; i < 100000; i++)
                u32(&c.bytes, 0);
            c.bytes.insert(c.bytes.end(), validRecord.begin(), validRecord.end());
            cases.push_back(c);
        }
        { /* a size past the end of the file */
            Case c{"size past the end", intact, intact.size(), whole.events};
            u32(&c.bytes, 64);
            u32(&c.bytes, 0xA0000010u);
            cases.push_back(c);
        }
        { /* a size over the readout bound, its bytes all there, then a valid record */
            Case c{"size over the bound", intact, intact.size(), whole.events};
            u32(&c.bytes, bound + 4);
            c.bytes.insert(c.bytes.end(), bound + 4, 0xA0);
            c.bytes.insert(c.bytes.end(), validRecord.begin(), validRecord.end());
            cases.push_back(c);
        }
        { /* the last record cut in its middle */
            Case c{"truncated last record", intact, lastRecord, beforeLast};
            c.bytes.resize(lastRecord + (intact.size() - lastRecord) / 2);
            cases.push_back(c);
        }
        { /* a record whose first word no board of the family writes, then a valid record */
            Case c{"corrupted first word", intact, intact.size(), whole.events};
            u32(&c.bytes, 8);
            u32(&c.bytes, 0x12345678u);
            u32(&c.bytes, 0);
            c.bytes.insert(c.bytes.end(), validRecord.begin(), validRecord.end());
            cases.push_back(c);
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(board.name) + ": " + c.name);
            std::string path = dir / (std::string("damaged-") + std::to_string(&c - cases.data()) + ".dat");
            WriteBytes(path, c.bytes);
            const std::string logBefore = ReadFileText(dir / "ZarnROBuffDumperLog.txt");
            Record replay;
            ASSERT_EQ(c_newFileDigitizer(replay.d, path.c_str()), 0);
            c_Digitizer_t* d = replay.d;
            for (int pass = 0; pass < 2; pass++) { /* the stop rewinds: the same again */
                ASSERT_EQ(c_bstarta(d), 0);
                ReplayOutcome outcome = ReplayUntilEndOrFailure(d);
                EXPECT_EQ(outcome.failure, DPPL_ERR_READ_DATA);
                EXPECT_EQ(outcome.events, c.events);
                int32_t bytes = -1;
                ASSERT_EQ(c_getDPPEvents(d, &bytes), 0) << "the read after the damaged record";
                EXPECT_EQ(bytes, 0);
                for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++) {
                    bool enabled = c_isChannelEnabled(d, (int32_t)ch);
                    ASSERT_EQ(d->channels[ch].nEvents, enabled ? 1u : 0u) << "channel " << ch;
                    if (enabled)
                        EXPECT_NE(d->channels[ch].events[0].flags & EVTFLAG_END_OF_RUN, 0u) << "channel " << ch;
                }
                for (int read = 0; read < 3; read++) {
                    ASSERT_EQ(c_getDPPEvents(d, &bytes), 0);
                    EXPECT_EQ(bytes, 0);
                }
                ASSERT_EQ(c_bstopa(d), 0);
            }
            std::string log = ReadFileText(dir / "ZarnROBuffDumperLog.txt").substr(logBefore.size());
            const std::string said = "The replay of " + path + " ends at the unreadable data record at byte " +
                                     std::to_string(c.damagedAt) + ".";
            EXPECT_EQ(Occurrences(log, said), 2u) << log; /* once per pass */
            EXPECT_LT(log.size(), 2000u) << log.substr(0, 2000);
        }
    }
}
