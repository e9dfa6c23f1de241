/*
 * Cost of SRV_ProcessCycle on the events of one readout: the simulated
 * pulse-height board opened through the library with the server's parameter
 * tree on it, its 8 channels acquiring, their events decoded by hand, waveforms
 * off, the stop criteria looked at for every event. The energies come from a
 * source like the default simulated board's: three peaks on an exponential
 * continuum, so that the spectrum's bins are hit the way a real measurement
 * hits them (a few hot bins, a long tail), and a few pile-ups. Items are
 * events of all channels; the argument is the events of one channel.
 */
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "SRVBoardThread.h"
#include "SRVParameters.h"
#include "SRV_Globals.h"
#include "SRV_List.h"
#include "SRV_ParameterBuild.h"
#include "SRV_Spectra.h"

namespace {

// The board record of the global record, opened once.
SRVBoard_t* openBoard() {
    static SRVBoard_t* board = []() -> SRVBoard_t* {
        // Per-cycle messages the simulated board may cause stay out of the
        // figures.
        setenv("ZARN_LOG_LEVEL", "1", 1);
        SRV_Globals = static_cast<SRVGlobals_t*>(c_calloc(1, sizeof(SRVGlobals_t)));
        std::string definitions = std::string(MORVANE_DEFAULT_SERVER_DIR) + "/ServerDefinitions.xml";
        SRV_Globals->serverDefinitions = c_xml_newfile(definitions.c_str());
        SRVBoard_t* b = &SRV_Globals->board;
        c_ConnParams_t params;
        std::memset(&params, 0, sizeof params);
        if (SRV_GetCategoryIndexLevels() != 0 || c_newDigitizer(&b->digitizer, &params) != 0 ||
            SRV_InitServerParameters(b) != SRV_SUCCESS || c_bfixedealloc(&b->digitizer, 1u << 20, 65536, 1, 64) != 0)
            return nullptr;
        b->access = SRV_BoardAccessOf(&b->digitizer.descriptor);
        c_pfind(&b->digitizer, DPPL_PARAM_WAVEFORMS)->value = 0;
        return b;
    }();
    return board;
}

constexpr uint32_t kChannels = 8;

// An energy of the default simulated board's source (ADC counts, 14 bits):
// peaks at 2620, 5540 and 9410 over an exponential continuum.
uint16_t sourceEnergy(std::mt19937& rng) {
    struct Peak {
        double centroid, sigma, weight;
    };
    static const Peak peaks[] = {{2620, 9, 0.30}, {5540, 13, 0.25}, {9410, 17, 0.15}};
    const double continuumSlope = 2400;
    double pick = std::uniform_real_distribution<double>(0, 1)(rng);
    double energy = -1;
    for (const Peak& peak : peaks) {
        if (pick < peak.weight) {
            energy = std::normal_distribution<double>(peak.centroid, peak.sigma)(rng);
            break;
        }
        pick -= peak.weight;
    }
    if (energy < 0) // the continuum's share
        energy = std::exponential_distribution<double>(1.0 / continuumSlope)(rng);
    return static_cast<uint16_t>(std::min(energy, 16383.0));
}

// Fills every channel with `count` events and lets it acquire.
void deliver(SRVBoard_t* board, uint32_t count) {
    std::mt19937 rng(12345);
    for (uint32_t ch = 0; ch < kChannels; ch++) {
        c_ChannelRecord_t* record = &board->digitizer.channels[ch];
        for (uint32_t i = 0; i < count; i++) {
            record->events[i].energy = sourceEnergy(rng);
            record->events[i].flags = rng() % 256 == 0 ? EVTFLAG_PILEUP : 0;
            record->events[i].timeStamp = 4000ull * i;
        }
        record->nEvents = count;
        record->acqStatus = ACQSTATUS_RUNNING;
    }
}

void runCycles(benchmark::State& state, SRVBoard_t* board) {
    uint32_t count = static_cast<uint32_t>(state.range(0));
    deliver(board, count);
    for (auto _ : state)
        benchmark::DoNotOptimize(SRV_ProcessCycle(board));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count * kChannels);
    for (uint32_t ch = 0; ch < kChannels; ch++) {
        board->digitizer.channels[ch].acqStatus = ACQSTATUS_STOPPED;
        SRV_ClearEnergySpectrum(&board->channels[ch].energySpectra[0]);
    }
}

void BM_CycleSpectrum(benchmark::State& state) {
    SRVBoard_t* board = openBoard();
    if (board == nullptr) {
        state.SkipWithError("the simulated board could not be opened");
        return;
    }
    runCycles(state, board);
}
BENCHMARK(BM_CycleSpectrum)->Arg(1024)->Arg(8192)->Arg(65536);

// A scratch folder that is the process's current folder (the server's
// working folder, where list files may be written) while it lives.
class ScratchWorkingFolder {
public:
    ScratchWorkingFolder()
        : previous_(std::filesystem::current_path()),
          folder_(std::filesystem::temp_directory_path() / ("cycle_bench_" + std::to_string(getpid()))) {
        std::filesystem::create_directories(folder_);
        std::filesystem::current_path(folder_);
    }
    ~ScratchWorkingFolder() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

private:
    std::filesystem::path previous_, folder_;
};

// The same with list mode on in every channel: each event's time tag, energy
// and flags into the channel's buffer, full buffers written in binary to a
// file of the working folder (the page cache takes them).
void BM_CycleSpectrumAndListMode(benchmark::State& state) {
    SRVBoard_t* board = openBoard();
    if (board == nullptr) {
        state.SkipWithError("the simulated board could not be opened");
        return;
    }
    ScratchWorkingFolder scratch;
    for (uint32_t ch = 0; ch < kChannels; ch++) {
        SRVListSave_t* list = &board->channels[ch].listSave;
        char name[32];
        std::snprintf(name, sizeof name, "list_ch%02u.bin", ch);
        if (SRV_InitListSave(board, ch, name) != SRV_SUCCESS) {
            state.SkipWithError("list mode could not be set up");
            return;
        }
        list->enabled = 1;
        list->withTimeTag = 1;
        list->withEnergy = 1;
        list->withFlags = 1;
        list->format = SRV_LIST_FORMAT_BINARY;
        list->bufferSize = 65536;
        SRV_ResizeListBuffers(list);
    }
    if (SRV_HandleListSaving(board, (1u << kChannels) - 1, SRV_LIST_ACTION_START) != SRV_SUCCESS) {
        state.SkipWithError("list output could not be started");
        return;
    }
    runCycles(state, board);
    SRV_HandleListSaving(board, (1u << kChannels) - 1, SRV_LIST_ACTION_STOP);
    for (uint32_t ch = 0; ch < kChannels; ch++)
        board->channels[ch].listSave.enabled = 0;
}
BENCHMARK(BM_CycleSpectrumAndListMode)->Arg(8192)->Arg(65536);

} // namespace
