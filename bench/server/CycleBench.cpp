/*
 * Cost of SRV_ProcessCycle on the events of one readout: the simulated
 * pulse-height board opened through the library with the server's parameter
 * tree on it, one channel acquiring, its events decoded by hand (energies
 * spread over the ADC range, a few pile-ups), waveforms off, the stop
 * criteria looked at for every event. Items are events.
 */
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "SRVBoardThread.h"
#include "SRVParameters.h"
#include "SRV_Common.h"
#include "SRV_List.h"
#include "SRV_Spectra.h"

namespace {

// The board record of the global record, opened once.
SRVBoard_t* openBoard()
{
    static SRVBoard_t* board = [] () -> SRVBoard_t* {
        if (std::getenv("ZARN_LOG_DIR") == nullptr)
            setenv("ZARN_LOG_DIR", "/tmp", 1);
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
        c_pfind(&b->digitizer, DPPL_PARAM_WAVEFORMS)->value = 0;
        return b;
    }();
    return board;
}

// Fills channel 0 with `count` events and lets it acquire.
void deliver(SRVBoard_t* board, uint32_t count)
{
    c_ChannelRecord_t* record = &board->digitizer.channels[0];
    uint32_t seed = 12345;
    for (uint32_t i = 0; i < count; i++) {
        seed = seed * 1103515245u + 12345u;
        record->events[i].energy = static_cast<uint16_t>((seed >> 8) & 0x3FFF);
        record->events[i].flags = (seed & 0xFF) == 0 ? EVTFLAG_PILEUP : 0;
        record->events[i].timeStamp = 4000ull * i;
    }
    record->nEvents = count;
    record->acqStatus = ACQSTATUS_RUNNING;
}

void runCycles(benchmark::State& state, SRVBoard_t* board)
{
    uint32_t count = static_cast<uint32_t>(state.range(0));
    deliver(board, count);
    for (auto _ : state)
        benchmark::DoNotOptimize(SRV_ProcessCycle(board));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
    board->digitizer.channels[0].acqStatus = ACQSTATUS_STOPPED;
    SRV_ClearEnergySpectrum(&board->channels[0].energySpectra[0]);
}

void BM_CycleSpectrum(benchmark::State& state)
{
    SRVBoard_t* board = openBoard();
    if (board == nullptr) {
        state.SkipWithError("the simulated board could not be opened");
        return;
    }
    runCycles(state, board);
}
BENCHMARK(BM_CycleSpectrum)->Arg(1024)->Arg(8192)->Arg(65536);

// The same with list mode on: every event's time tag, energy and flags into
// the channel's buffer, full buffers written in binary to /dev/null.
void BM_CycleSpectrumAndListMode(benchmark::State& state)
{
    SRVBoard_t* board = openBoard();
    if (board == nullptr) {
        state.SkipWithError("the simulated board could not be opened");
        return;
    }
    SRVListSave_t* list = &board->channels[0].listSave;
    if (SRV_InitListSave(board, 0, "/dev/null") != SRV_SUCCESS) {
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
    if (SRV_HandleListSaving(board, 1u, SRV_LIST_ACTION_START) != SRV_SUCCESS) {
        state.SkipWithError("list output could not be started");
        return;
    }
    runCycles(state, board);
    SRV_HandleListSaving(board, 1u, SRV_LIST_ACTION_STOP);
    list->enabled = 0;
}
BENCHMARK(BM_CycleSpectrumAndListMode)->Arg(8192)->Arg(65536);

} // namespace
