/*
 * How much faster than real time the server replays a run file: a recording
 * of 10 s of board time of the simulated board "orlu-pha" (8 channels at
 * 10,000 counts/s each, manual board clock, fixed seed) is made here through
 * the library, then the built server process, at its default log level,
 * loads its run file (command 23), and the time is taken from the start
 * request (command 8) to the moment the spectra hold the last of the
 * recording's entries (command 27 polled on every channel).
 *
 * Prints the replay time, its speed against real time, the server's
 * processor time meanwhile (the figure a loaded machine does not inflate),
 * how long the start request took to be answered, and how many lines the
 * board thread and the library logged. A measured program, not a test: it fails (exit 1) only
 * when the replay doesn't complete.
 *
 * Usage: replay_bench [seconds of board time, default 10] [repetitions, default 3]
 */
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ServerRequests.h"
#include "ZarnDPPLayer.h"
#include "ZarnRecordMemory.h"
#include "ZarnSimulator.h"

using namespace srvtest;
using namespace srvtest::command;

namespace {

constexpr uint32_t kChannels = 8;
constexpr double kRate = 10000.0;          // counts/s per channel
constexpr uint64_t kReadEveryNs = 2000000; // board time between two reads of the recording
// Flags of an event that the server does not histogram (pseudo events, 0x400,
// pile-up, bit 18, multichannel-scaling data).
constexpr uint32_t kNotHistogrammed = EVTFLAG_PSEUDO | 0x400u | EVTFLAG_PILEUP | (1u << 18) | EVTFLAG_MCS;

struct Recording {
    std::string rawFile; // file name, relative to the server's working folder
    uint64_t histogrammable = 0;
};

// Records `seconds` of board time into <work>/Run, counting the events that
// the spectra will hold.
bool record(const fs::path& work, double seconds, Recording* out) {
    setenv("ZARN_LOG_DIR", (work / "bench-logs").c_str(), 1);
    auto* live = new c_Digitizer_t;
    _resetDgtz(live);
    c_ConnParams_t params{};
    bool ok = c_newDigitizer(live, &params) == 0;
    if (ok) {
        int32_t link = live->descriptor.CommHandle;
        ZarnSim_SetSeed(link, 2026);
        ZarnSim_SetClockMode(link, ZARN_SIM_CLOCK_MANUAL);
        ZarnSim_SetRate(link, -1, kRate);
        std::string base = (work / "Run" / "bench").string();
        ok = c_bdopenw(live, &live->writer, base.c_str(), BD_MODE_CREATE, 1) == 0 && c_bstarta(live) == 0;
    }
    if (ok) {
        out->rawFile = "Run/" + fs::path(live->writer.fileName).filename().string();
        live->dumpEnabled = 1;
        uint64_t reads = static_cast<uint64_t>(seconds * 1e9) / kReadEveryNs;
        for (uint64_t i = 0; i <= reads && ok; i++) {
            if (i < reads)
                ZarnSim_AdvanceClock(live->descriptor.CommHandle, kReadEveryNs);
            ok = c_getDPPEvents(live, nullptr) == 0;
            for (uint32_t ch = 0; ch < kChannels; ch++)
                for (uint32_t e = 0; e < live->channels[ch].nEvents; e++)
                    out->histogrammable += (live->channels[ch].events[e].flags & kNotHistogrammed) == 0;
        }
        live->dumpEnabled = 0;
        c_bdclose(&live->writer);
    }
    c_freeDgtz(live);
    delete live;
    return ok;
}

// The library's replay of the file alone (read, walk, decode), in ms: the
// part of the server's replay that is not the server's.
double libraryReplayMs(const fs::path& rawFile) {
    auto* d = new c_Digitizer_t;
    _resetDgtz(d);
    double ms = -1.0;
    if (c_newFileDigitizer(d, rawFile.c_str()) == 0 && c_bstarta(d) == 0) {
        auto begin = Clock::now();
        int32_t bytes = 1;
        while (bytes > 0 && c_getDPPEvents(d, &bytes) == 0) {}
        ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    }
    c_freeDgtz(d);
    delete d;
    return ms;
}

uint64_t histogrammedTotal(Client& client) {
    uint64_t total = 0;
    for (uint32_t ch = 0; ch < kChannels; ch++) {
        auto reply = client.request(GET_SPECTRUM, spectrumRequest(0x10 | 0x20 | 0x40, ch));
        if (!reply || reply->status() != 0 || reply->payload.size() != 2 + 16)
            return 0;
        total += getU32(reply->payload, 2) + getU32(reply->payload, 6) + getU64(reply->payload, 10);
    }
    return total;
}

// Processor time the process has used, in ms (user and system).
double processorMs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0.0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            user = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
            system = std::strtoull(field.c_str(), nullptr, 10);
    }
    return 1000.0 * static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

size_t lineCount(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

} // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    int repetitions = argc > 2 ? std::atoi(argv[2]) : 3;
    unsetenv("ZARN_LOG_LEVEL"); // the server's default level
    // The checkout's definitions, for the recording here and for the server.
    setenv("DRAVIKDIR", MORVANE_DEFINITIONS_DIR, 0);
    setenv("MORVANESERVERDIR", MORVANE_DEFINITIONS_DIR, 0);

    uint16_t port = freePort();
    ServerProcess server({"-p", std::to_string(port)});
    if (!server.waitReady()) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    Recording recording;
    if (!record(server.workDir(), seconds, &recording)) {
        std::fprintf(stderr, "the recording failed\n");
        return 1;
    }
    std::ofstream(server.workDir() / "Run" / "bench.zrn") << "OR5780_1101 " << recording.rawFile << "\n";
    std::printf("recording: %.1f s of board time, %u channels x %.0f counts/s, %llu events for the spectra\n", seconds,
                kChannels, kRate, static_cast<unsigned long long>(recording.histogrammable));

    for (int run = 0; run < repetitions; run++)
        std::printf("library replay alone: %.1f ms\n", libraryReplayMs(server.workDir() / recording.rawFile));

    Client client(port);
    auto load = client.request(LOAD_RUN_FILE, fixedText("bench.zrn", 200));
    if (!load || load->status() != 0) {
        std::fprintf(stderr, "the run file can't be loaded\n");
        return 1;
    }
    int failures = 0;
    for (int run = 0; run < repetitions; run++) {
        for (uint32_t ch = 0; ch < kChannels; ch++)
            client.request(CLEAR_SPECTRUM, clearSpectrumRequest(ch));
        size_t logLines = lineCount(server.log("SRVBoardThreadLog.txt")) + lineCount(server.log("ZarnDPPLayerLog.txt"));
        double processorBefore = processorMs(server.pid());
        auto begin = Clock::now();
        auto started = client.request(START, acquisitionRequest(0xFF));
        auto answered = Clock::now();
        bool complete = started && started->status() == 0;
        // Every request takes the board lock between two cycles of the
        // replay: a poll each millisecond keeps the measurement from slowing
        // what it measures, at a cost of at most that millisecond.
        while (complete && histogrammedTotal(client) < recording.histogrammable) {
            if (Clock::now() - begin > std::chrono::seconds(120)) {
                complete = false;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        auto done = Clock::now();
        double processor = processorMs(server.pid()) - processorBefore;
        client.request(STOP, acquisitionRequest(0xFF));
        size_t logged =
            lineCount(server.log("SRVBoardThreadLog.txt")) + lineCount(server.log("ZarnDPPLayerLog.txt")) - logLines;
        double replayMs = std::chrono::duration<double, std::milli>(done - begin).count();
        double startMs = std::chrono::duration<double, std::milli>(answered - begin).count();
        if (!complete) {
            std::printf("run %d: the replay did not complete\n", run + 1);
            failures++;
            continue;
        }
        std::printf("run %d: replay %.1f ms (%.0fx real time), server processor time %.0f ms, start answered "
                    "after %.2f ms, %zu log lines (start and stop included)\n",
                    run + 1, replayMs, seconds * 1000.0 / replayMs, processor, startMs, logged);
    }
    client.request(QUIT, masks(0, 0));
    server.waitExit(std::chrono::milliseconds(30000));
    return failures == 0 ? 0 : 1;
}
