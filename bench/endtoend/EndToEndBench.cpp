/*
 * The whole path from a busy board to the spectra: the built server process
 * on the shipped default simulated board, driven over TCP like a client does,
 * at rising input rates. Per rate the board's signal is the shipped one with
 * its rate replaced and pile-up off (resolving time 0), so that every pulse is
 * an event; the board runs on the wall clock.
 *
 * For each rate a fresh server is started, the acquisition of all channels
 * started (command 8), stopped after the measuring time (command 9), and each
 * channel's energy spectrum read (command 27: real time, overflows,
 * underflows, entries). The events the board produced are the rate times the
 * channel's real time, which the board itself counts and the server
 * accumulates from its counters; the captured fraction is the events in the
 * spectra over those. The only spread is the pulses' own (Poisson: 0.03 %
 * at 2 M events/s over 3 s).
 *
 * The server's CPU time over the run (user and system, in cores) shows
 * whether its threads had to wait for a core or for data; the machine's load
 * average beside it whether they competed for one (the board thread is
 * pinned to one processor, so on a busy machine it shares that processor
 * with whatever else runs there).
 *
 * Prints one row per rate and the first rate at which the captured fraction
 * falls below 99 %. Bounded: each rate takes its measuring time plus the
 * server's start; the run ends after two rates in a row below 99 %.
 *
 * Usage: endtoend_bench [seconds per rate (3)] [rate per channel ...]
 */
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"

namespace {

using namespace srvtest;
using Seconds = std::chrono::duration<double>;

enum : uint16_t { kStart = 8, kStop = 9, kQuit = 25, kGetSpectrum = 27 };
// Energy-spectrum data-mask bits: real time, overflows, underflows, entries.
constexpr uint64_t kRealTime = 0x2, kOverflows = 0x10, kUnderflows = 0x20, kEntries = 0x40;
constexpr uint32_t kChannels = 8;
constexpr uint32_t kAllChannels = (1u << kChannels) - 1;
constexpr auto kStartPatience = std::chrono::milliseconds(60000);
constexpr double kGoal = 0.99;

// The shipped profiles with the default board's signal at `rate` counts/s
// per channel and its pile-up off.
std::string profilesAtRate(double rate) {
    std::string shipped = readFile(fs::path(MORVANE_DEFINITIONS_DIR) / "SimulatedBoards.xml");
    size_t board = shipped.find("<Board name=\"orlu-pha\">");
    size_t signal = shipped.find("<Signal ", board);
    size_t end = shipped.find('>', signal);
    if (board == std::string::npos || signal == std::string::npos || end == std::string::npos)
        return {};
    std::string tag = shipped.substr(signal, end - signal);
    tag = std::regex_replace(tag, std::regex(R"( rate="[^"]*")"), " rate=\"" + std::to_string(rate) + "\"");
    tag = std::regex_replace(tag, std::regex(R"( resolvingTime="[^"]*")"), "");
    tag += " resolvingTime=\"0\"";
    return shipped.substr(0, signal) + tag + shipped.substr(end);
}

Bytes channelRequest(uint32_t mask) {
    Bytes b = masks(0, 0);
    putU32(b, mask);
    return b;
}

Bytes spectrumPath(Bytes b, int32_t channel) {
    const int32_t path[] = {channel, 2, 0, 9};
    putU32(b, 4);
    for (int32_t element : path)
        putU32(b, static_cast<uint32_t>(element));
    return b;
}

// The reply's payload when it is the command's, with status 0.
std::optional<Bytes> payloadOf(const std::optional<Reply>& reply, uint16_t command) {
    if (!reply || reply->command != command || reply->payload.size() < 2 || reply->status() != 0)
        return std::nullopt;
    return reply->payload;
}

uint64_t getU64(const Bytes& b, size_t at) { return getU32(b, at) | (static_cast<uint64_t>(getU32(b, at + 4)) << 32); }

// CPU seconds that the process has used so far (user and system); 0 when
// unknown.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t name = text.rfind(')'); // the command name may hold spaces
    if (name == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(name + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            user = std::stoull(field);
        if (i == 15)
            system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The process that this program started last (the server): the newest of
// its children.
pid_t newestChild() {
    pid_t newest = 0;
    std::error_code ignored;
    for (const auto& task : fs::directory_iterator("/proc/self/task", ignored)) {
        std::ifstream children(task.path() / "children");
        for (pid_t child; children >> child;)
            newest = std::max(newest, child);
    }
    return newest;
}

// The machine's load average over the last minute.
double loadAverage() {
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

struct Row {
    double captured = 0;    // events in the spectra over the events the board produced
    double serverCores = 0; // CPU time of the server over the run, in cores
    std::string error;
};

Row measure(double rate, Seconds run) {
    Row row;
    TempDir folder;
    fs::path profiles = folder.path() / "SimulatedBoards.xml";
    std::string text = profilesAtRate(rate);
    if (text.empty()) {
        row.error = "the default board's signal was not found in the shipped profiles";
        return row;
    }
    std::ofstream(profiles) << text;
    uint16_t port = freePort();
    ServerProcess server({"-p", std::to_string(port)}, {{"DRAVIKDIR", MORVANE_DEFINITIONS_DIR},
                                                        {"MORVANESERVERDIR", MORVANE_DEFINITIONS_DIR},
                                                        {"ZARN_SIMBOARD_FILE", profiles.string()},
                                                        {"ZARN_LOG_LEVEL", "1"}});
    pid_t pid = newestChild();
    Client client(port, kStartPatience);
    if (!client.connected()) {
        row.error = "the server did not accept: " + server.output();
        return row;
    }
    double cpuBefore = cpuSeconds(pid);
    auto started = Clock::now();
    if (!payloadOf(client.request(kStart, channelRequest(kAllChannels)), kStart)) {
        row.error = "start refused";
        return row;
    }
    std::this_thread::sleep_for(run);
    if (!payloadOf(client.request(kStop, channelRequest(kAllChannels)), kStop)) {
        row.error = "stop refused";
        return row;
    }
    row.serverCores = (cpuSeconds(pid) - cpuBefore) / Seconds(Clock::now() - started).count();

    double produced = 0, captured = 0;
    for (uint32_t ch = 0; ch < kChannels; ch++) {
        Bytes request;
        putU64(request, kRealTime | kOverflows | kUnderflows | kEntries);
        request = spectrumPath(request, static_cast<int32_t>(ch));
        auto payload = payloadOf(client.request(kGetSpectrum, request), kGetSpectrum);
        if (!payload || payload->size() != 2 + 8 + 4 + 4 + 8) {
            row.error = "spectrum of channel " + std::to_string(ch) + " not read";
            return row;
        }
        double realTimeNs = static_cast<double>(getU64(*payload, 2));
        captured += static_cast<double>(getU32(*payload, 10)) + getU32(*payload, 14) +
                    static_cast<double>(getU64(*payload, 18));
        produced += rate * realTimeNs * 1e-9;
    }
    if (produced <= 0) {
        row.error = "the spectra hold no real time";
        return row;
    }
    row.captured = captured / produced;
    client.request(kQuit, masks(0, 0));
    server.waitExit(std::chrono::milliseconds(20000));
    return row;
}

} // namespace

int main(int argc, char** argv) {
    Seconds run(argc > 1 ? std::atof(argv[1]) : 3.0);
    std::vector<double> rates;
    for (int i = 2; i < argc; i++)
        rates.push_back(std::atof(argv[i]));
    if (rates.empty())
        rates = {50e3, 100e3, 200e3, 250e3, 300e3, 400e3, 500e3, 750e3, 1000e3, 1500e3, 2000e3};
    if (access(MORVANE_SERVER_BINARY, X_OK) != 0 || run.count() <= 0) {
        std::fprintf(stderr, "usage: %s [seconds per rate] [rate per channel ...] (server: %s)\n", argv[0],
                     MORVANE_SERVER_BINARY);
        return 2;
    }
    std::printf("default board, %u channels, pile-up off, %.1f s per rate\n", kChannels, run.count());
    std::printf("%14s %14s %10s %12s %8s\n", "per channel/s", "total/s", "captured", "server CPU", "load");
    double firstBelow = 0;
    int belowInRow = 0;
    for (double rate : rates) {
        Row row = measure(rate, run);
        if (!row.error.empty()) {
            std::printf("%14.0f %14.0f  error: %s\n", rate, rate * kChannels, row.error.c_str());
            return 1;
        }
        std::printf("%14.0f %14.0f %9.2f%% %12.2f %8.1f\n", rate, rate * kChannels, 100 * row.captured, row.serverCores,
                    loadAverage());
        std::fflush(stdout);
        if (row.captured < kGoal) {
            if (firstBelow == 0)
                firstBelow = rate;
            if (++belowInRow == 2)
                break;
        } else {
            belowInRow = 0;
        }
    }
    if (firstBelow > 0)
        std::printf("captured fraction below 99 %% from %.0f counts/s per channel (%.0f total)\n", firstBelow,
                    firstBelow * kChannels);
    else
        std::printf("captured fraction at or above 99 %% at every rate measured\n");
    return 0;
}
