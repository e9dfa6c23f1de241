/*
 * Replay throughput of raw-data files recorded from the simulated boards
 * (profiles "orlu-pha" and "pemb-psd-11" of the shipped SimulatedBoards.xml),
 * with the default 4 aggregates per block transfer and with 64. A run of full
 * readout buffers is recorded once per configuration into a temporary folder
 * (removed at exit); the benchmarks then replay it over and over:
 *   - RecordRead: the record reader alone (file to readout buffer);
 *   - Replay: whole readout cycles of a replay record (c_getDPPEvents: read,
 *     check, walk and decode).
 * Both report bytes per second; Replay also events per second.
 */
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "ZarnDPPLayer.h"
#include "ZarnROBuffDumperRecords.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimulator.h"

namespace {

constexpr int kRecordedReads = 400;

c_ConnParams_t connection(int linkType, int number, int node) {
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    params.linkType = linkType;
    params.linkNumber = number;
    params.node = node;
    return params;
}

/* The recorded files and the logs live here until the program ends. */
struct ScratchFolder {
    std::string path;
    ScratchFolder() {
        char pattern[] = "/tmp/rawdata-bench-XXXXXX";
        const char* made = mkdtemp(pattern);
        path = made != NULL ? made : "";
        setenv("ZARN_LOG_DIR", path.c_str(), 1);
        setenv("ZARN_LOG_LEVEL", "1", 1);
    }
    ~ScratchFolder() {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
};

const std::string& scratchFolder() {
    static ScratchFolder folder;
    return folder.path;
}

/* Records kRecordedReads full buffers of a board with the given aggregates
 * per block transfer; the file's name, or "" on failure. */
std::string recordRun(int board, int aggregates) {
    const c_ConnParams_t params = board == 0 ? connection(0, 0, 0) : connection(1, 0, 0);
    std::string base = scratchFolder() + "/board" + std::to_string(board) + "_nablt" + std::to_string(aggregates);
    c_Digitizer_t* live = new c_Digitizer_t;
    _resetDgtz(live);
    std::string path;
    if (c_newDigitizer(live, &params) == 0) {
        int32_t link = live->descriptor.CommHandle;
        ZarnSim_SetSeed(link, 42);
        ZarnSim_SetClockMode(link, ZARN_SIM_CLOCK_AS_FAST_AS_READ);
        ZarnSim_SetRate(link, -1, 50000.0);
        c_Parameter_t* nablt = c_pfind(live, DPPL_PARAM_NABLT);
        bool sized = nablt != NULL && c_pset(live, nablt, aggregates) == 0;
        if (sized && c_bdopenw(live, &live->writer, base.c_str(), BD_MODE_CREATE, 1) == 0 && c_bstarta(live) == 0) {
            path = live->writer.fileName;
            live->dumpEnabled = 1;
            for (int i = 0; i < kRecordedReads; i++)
                c_getDPPEvents(live, NULL);
            live->dumpEnabled = 0;
            c_bstopa(live);
            c_bdclose(&live->writer);
        }
    }
    c_freeDgtz(live);
    delete live;
    return path;
}

const std::string& recordedFile(const benchmark::State& state) {
    static std::map<std::pair<int, int>, std::string> files;
    std::pair<int, int> key((int)state.range(0), (int)state.range(1));
    auto found = files.find(key);
    if (found == files.end())
        found = files.emplace(key, recordRun(key.first, key.second)).first;
    return found->second;
}

/* A replay record of a recorded file, started. */
struct Replay {
    c_Digitizer_t* d = new c_Digitizer_t;
    bool ok = false;
    explicit Replay(const std::string& path) {
        _resetDgtz(d);
        ok = !path.empty() && c_newFileDigitizer(d, path.c_str()) == 0 && c_bstarta(d) == 0;
    }
    ~Replay() {
        c_freeDgtz(d);
        delete d;
    }
    /* Back to the first record, with no end-of-run mark due. */
    void rewind() {
        c_bdrewind(&d->reader);
        for (auto& channel : d->channels)
            channel.endOfRun = 0;
    }
};

void RecordRead(benchmark::State& state) {
    Replay replay(recordedFile(state));
    if (!replay.ok) {
        state.SkipWithError("no recorded file");
        return;
    }
    c_Digitizer_t* d = replay.d;
    uint64_t bytes = 0;
    for (auto _ : state) {
        int result = c_bdreadrecord(&d->reader, &d->roBuffer, d->descriptor.FamilyCode);
        if (result == BD_END_OF_FILE)
            replay.rewind();
        else if (result != 0)
            state.SkipWithError("record reader failed");
        bytes += d->roBuffer.ROBytes;
    }
    state.SetBytesProcessed((int64_t)bytes);
}

void ReplayCycles(benchmark::State& state) {
    Replay replay(recordedFile(state));
    if (!replay.ok) {
        state.SkipWithError("no recorded file");
        return;
    }
    c_Digitizer_t* d = replay.d;
    uint64_t bytes = 0, events = 0;
    for (auto _ : state) {
        if (c_getDPPEvents(d, NULL) != 0) {
            state.SkipWithError("c_getDPPEvents failed");
            break;
        }
        if (d->roBuffer.ROBytes == 0) {
            replay.rewind();
            continue;
        }
        bytes += d->roBuffer.ROBytes;
        for (uint32_t ch = 0; ch < d->descriptor.NumChannels; ch++)
            events += d->channels[ch].nEvents;
    }
    state.SetBytesProcessed((int64_t)bytes);
    state.counters["events"] = benchmark::Counter((double)events, benchmark::Counter::kIsRate);
    state.counters["file_MB"] = (double)std::filesystem::file_size(recordedFile(state)) / 1e6;
}

} // namespace

/* Arguments: board (0 orlu-pha, DPP-PHA; 1 pemb-psd-11, DPP-PSD) and
 * aggregates per block transfer. */
BENCHMARK(RecordRead)->ArgsProduct({{0, 1}, {4, 64}});
BENCHMARK(ReplayCycles)->ArgsProduct({{0, 1}, {4, 64}});
