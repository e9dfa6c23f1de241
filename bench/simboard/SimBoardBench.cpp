/*
 * Generation speed of the simulated board: a shipped board of
 * definitions/SimulatedBoards.xml (by default the 8-channel Orlu
 * pulse-height board) opened through ZarnDigitizer, its clock in the "as fast
 * as read" mode, and whole transfers read with ZARN_DGTZ_ReadData the way the
 * library reads them. Each iteration is one transfer: the board generates,
 * encodes and frames the events and copies them out. Nothing is decoded.
 *
 * BM_Events and BM_Waveforms run the default board; BM_Format/<board> runs
 * every shipped pulse-processing board and the Orlu waveform board, large
 * aggregates, without and with 1000-sample waveforms.
 *
 * Counters: events/s (events the board generated, from its own counts) and
 * samples/s (waveform samples of those events).
 */
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZarnDigitizer.h"
#include "ZarnSimulator.h"

namespace {

// Registers of the pulse-height layout (definitions/RegisterMap.md).
enum : uint32_t {
    kBoardConfig = 0x8000,        // bit 16: waveforms
    kRecordLength = 0x8020,       // broadcast, samples / 8
    kEventsPerAggregate = 0x8034, // broadcast
    kAggregatesPerTransfer = 0xEF1C,
};
constexpr uint32_t kDefaultConfig = 0x000E0110u;
constexpr uint32_t kWaveformsOn = 1u << 16;

struct Address {
    int linkType, number, node;
    uint32_t base;
};
constexpr Address kDefaultBoard = {0, 0, 0, 0};

struct Setup {
    uint32_t eventsPerAggregate;
    uint32_t aggregatesPerTransfer;
    uint32_t samples; // 0: waveforms off
    Address address = kDefaultBoard;
    bool perTrigger = false; // waveform firmware: every channel records every trigger
};

// A board opened with one setting, closed at the end of the scope.
class Bench {
public:
    explicit Bench(const Setup& s) : samples_(s.samples) {
        const Address& a = s.address;
        if (ZARN_DGTZ_OpenDigitizer2(a.linkType, &a.number, a.node, a.base, &handle_) != 0)
            return;
        if (ZarnSim_LinkOfDigitizer(handle_, &link_) != 0)
            return;
        ZARN_DGTZ_BoardInfo_t info{};
        ZARN_DGTZ_GetInfo(handle_, &info);
        channels_ = info.Channels;
        ZarnSim_SetSeed(link_, 20261210);
        ZarnSim_SetClockMode(link_, ZARN_SIM_CLOCK_AS_FAST_AS_READ);
        bool ok = Write(kBoardConfig, kDefaultConfig | (s.samples ? kWaveformsOn : 0)) &&
                  Write(kRecordLength, s.samples ? s.samples / 8 : 125) &&
                  Write(kEventsPerAggregate, s.eventsPerAggregate) &&
                  Write(kAggregatesPerTransfer, s.aggregatesPerTransfer);
        uint32_t size = 0;
        ok = ok && ZARN_DGTZ_MallocReadoutBuffer(handle_, &buffer_, &size) == 0;
        ok = ok && ZARN_DGTZ_SWStartAcquisition(handle_) == 0;
        ready_ = ok;
    }
    ~Bench() {
        if (handle_ < 0)
            return;
        ZARN_DGTZ_SWStopAcquisition(handle_);
        ZARN_DGTZ_FreeReadoutBuffer(&buffer_);
        ZARN_DGTZ_CloseDigitizer(handle_);
    }
    bool Ready() const { return ready_; }
    // One transfer; the bytes read.
    uint32_t Transfer() {
        uint32_t bytes = 0;
        ZARN_DGTZ_ReadData(handle_, 0, buffer_, &bytes);
        return bytes;
    }
    // Events generated on every channel (groups of channels included).
    uint64_t Generated() const {
        uint64_t total = 0;
        for (uint32_t c = 0; c < 64; ++c) {
            uint64_t n = 0;
            ZarnSim_GetChannelCounts(link_, c, &n, nullptr, nullptr);
            total += n;
        }
        return total;
    }
    uint32_t Samples() const { return samples_; }
    uint32_t Channels() const { return channels_; }

private:
    bool Write(uint32_t address, uint32_t value) { return ZARN_DGTZ_WriteRegister(handle_, address, value) == 0; }
    int handle_ = -1;
    int32_t link_ = -1;
    uint32_t channels_ = 0;
    uint32_t samples_ = 0;
    char* buffer_ = nullptr;
    bool ready_ = false;
};

void Run(benchmark::State& state, const Setup& setup) {
    Bench bench(setup);
    if (!bench.Ready()) {
        state.SkipWithError("the simulated board could not be opened and set up");
        return;
    }
    uint64_t first = bench.Generated();
    uint64_t bytes = 0;
    for (auto _ : state) {
        uint32_t n = bench.Transfer();
        if (n == 0) {
            state.SkipWithError("a transfer came back empty");
            return;
        }
        bytes += n;
    }
    double events = static_cast<double>(bench.Generated() - first);
    double records = setup.perTrigger ? events * bench.Channels() : events;
    state.counters["events/s"] = benchmark::Counter(events, benchmark::Counter::kIsRate);
    state.counters["samples/s"] = benchmark::Counter(records * bench.Samples(), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Without waveforms: argument = events per channel aggregate (16 is the
// power-on value, 1023 the largest).
void BM_Events(benchmark::State& state) {
    uint32_t perAggregate = static_cast<uint32_t>(state.range(0));
    // about half a million events a transfer either way
    Run(state, {perAggregate, perAggregate >= 1023 ? 64u : 1023u, 0});
}
BENCHMARK(BM_Events)->ArgName("perAggregate")->Arg(16)->Arg(1023);

// With waveforms: argument = samples per event.
void BM_Waveforms(benchmark::State& state) {
    uint32_t samples = static_cast<uint32_t>(state.range(0));
    Run(state, {64, 16, samples});
}
BENCHMARK(BM_Waveforms)->ArgName("samples")->Arg(200)->Arg(1000);

// The shipped boards of other formats by their addresses (the pulse-processing
// register layout: the same registers as above).
struct Shipped {
    const char* name;
    Address address;
    bool perTrigger; // waveform firmware: waveforms only, a board aggregate per trigger
};
constexpr Shipped kShipped[] = {{"orlu-pha", {0, 0, 0, 0}, false},          {"pemb-psd-11", {1, 0, 0, 0}, false},
                                {"pemb-pha-11", {1, 0, 1, 0}, false},       {"vesk-ci", {0, 2, 0, 0}, false},
                                {"vesk-psd", {0, 3, 0, 0}, false},          {"tilk-psd", {1, 2, 0, 0}, false},
                                {"draq-qdc", {4, 0, 0, 0x32100000}, false}, {"scope-orlu", {0, 4, 0, 0}, true}};

void RegisterFormats() {
    for (const Shipped& board : kShipped) {
        const std::string name = std::string("BM_Format/") + board.name;
        Setup events{1023, 64, 0, board.address};
        Setup waves{64, 16, 1000, board.address, board.perTrigger};
        if (board.perTrigger)
            waves.aggregatesPerTransfer = 256;
        else
            benchmark::RegisterBenchmark((name + "/events").c_str(), [events](benchmark::State& s) { Run(s, events); });
        benchmark::RegisterBenchmark((name + "/waveforms").c_str(), [waves](benchmark::State& s) { Run(s, waves); });
    }
}

} // namespace

int main(int argc, char** argv) {
    RegisterFormats();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
