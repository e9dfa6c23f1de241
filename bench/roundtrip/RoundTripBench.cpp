/*
 * Command round trips against the built server process on the simulated
 * board: one request sent and its whole reply received over one TCP
 * connection, the way a client drives the server. Requests are built once
 * through the packet layer and replies are read with c_recv_packet; every
 * reply is checked (command code, status 0, payload size) so a refused
 * request can't pass for a fast one.
 *
 * The server runs as a child process with temporary working and log folders
 * and the checkout's definitions, on a free loopback port. It logs at its
 * default level unless ZARN_LOG_LEVEL is set in this program's environment
 * (the child inherits it). At the end the program sends command 25 (quit)
 * and reaps the child; a server that does not start makes every benchmark
 * skip with the reason, after a bounded wait.
 *
 * Items are round trips; mean_us, p50_us, p99_us and max_us are the
 * per-round-trip wall times measured around each send/receive pair.
 *
 * Beside each command, its Echo/ row sends the same request over loopback to
 * an echo server in this program, which receives it with the same packet
 * layer and answers at once with a reply of the command's reply size: the
 * floor that the transport alone sets, measured in the same run.
 */
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"
#include "ZarnUtility.h"

namespace {

using Clock = std::chrono::steady_clock;

enum : uint16_t { kBoardInfo = 5, kReadRegister = 7, kSetParameter = 13, kGetParameter = 14, kQuit = 25 };
// Object types of an index path.
enum : int32_t { kChannel = 2, kCode = 7 };
// Server parameter codes of the shipped definitions.
enum : int32_t { kTrgExtOutPropagate = 12, kChannelThreshold = 1009 };
// The trigger threshold register of channel 3 (0x106C | channel << 8).
constexpr uint32_t kThresholdRegisterCh3 = 0x136C;

constexpr auto kStartPatience = std::chrono::seconds(60);
constexpr uint32_t kFirstReplyTimeoutMs = 30000; // the first request may wait for the board open
constexpr uint32_t kReplyTimeoutMs = 5000;
constexpr auto kExitPatience = std::chrono::seconds(10);

// Sizes of the board-information fields of dataMask bits 0 to 22, in bit
// order: the reply to a request with every bit set holds all of them.
constexpr uint32_t kBoardInfoFieldSizes[] = {12, 4, 4, 2, 2, 2, 2, 2, 2, 17, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 20, 4};
constexpr uint64_t kBoardInfoEveryField = (1ull << 23) - 1;

uint32_t boardInfoSize() {
    uint32_t total = 0;
    for (uint32_t size : kBoardInfoFieldSizes)
        total += size;
    return total;
}

// A request packet built with the packet layer; the buffer is freed with it.
class Packet {
public:
    explicit Packet(uint16_t command) : command_(command), buffer_(c_createheader(0, command, &size_)) {}
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    Packet(Packet&& other) noexcept : command_(other.command_), size_(other.size_), buffer_(other.buffer_) {
        other.buffer_ = nullptr;
    }
    ~Packet() { c_free(buffer_); }

    Packet& u32(uint32_t v) { return append(serialize_u32, v); }
    Packet& u64(uint64_t v) { return append(serialize_u64, v); }
    Packet& f64(double v) { return append(serialize_f64, v); }
    Packet& path(std::initializer_list<int32_t> elements) {
        std::vector<int32_t> values(elements);
        if (buffer_ != nullptr)
            buffer_ = serialize_i32_array(values.data(), static_cast<uint32_t>(values.size()), buffer_, &size_);
        return *this;
    }

    uint16_t command() const { return command_; }
    const void* data() const { return buffer_; }
    uint32_t size() const { return size_; }
    bool valid() const { return buffer_ != nullptr; }

private:
    template <typename T>
    Packet& append(void* (*serialize)(const T*, uint32_t, void*, uint32_t*), T value) {
        if (buffer_ != nullptr)
            buffer_ = serialize(&value, 1, buffer_, &size_);
        return *this;
    }

    uint16_t command_;
    uint32_t size_ = 0;
    void* buffer_;
};

// A request and the size of its reply's payload (status and fields).
struct Exchange {
    Packet request;
    uint32_t replyPayload;
};

// Sends the request and receives its whole reply; an empty text when the
// reply is the expected one, else what went wrong.
std::string roundTrip(c_socket_t* socket, const Exchange& exchange) {
    const Packet& request = exchange.request;
    if (c_send(socket, request.data(), request.size()) != static_cast<int64_t>(request.size()))
        return "command " + std::to_string(request.command()) + ": send failed";
    uint16_t command = 0;
    uint32_t payloadSize = 0;
    void* payload = c_recv_packet(socket, &command, &payloadSize);
    if (payload == nullptr)
        return "command " + std::to_string(request.command()) + ": no whole reply (closed or timed out)";
    int16_t status = -1;
    const uint8_t* begin = static_cast<const uint8_t*>(payload);
    bool statusRead = deserialize_i16(&status, 1, begin, begin + payloadSize) != nullptr;
    c_free(payload);
    if (command != request.command())
        return "command " + std::to_string(request.command()) + ": reply carries command " + std::to_string(command);
    if (!statusRead)
        return "command " + std::to_string(command) + ": reply without status";
    if (status != 0)
        return "command " + std::to_string(command) + ": status " + std::to_string(status);
    if (payloadSize != exchange.replyPayload)
        return "command " + std::to_string(command) + ": reply payload of " + std::to_string(payloadSize) +
               " bytes, expected " + std::to_string(exchange.replyPayload);
    return {};
}

// The last `count` lines of a text on one line, joined with " | ", so that
// a failure shows in the benchmark table.
std::string lastLines(const std::string& text, size_t count) {
    std::vector<std::string> lines;
    size_t end = text.size();
    while (end > 0 && lines.size() < count) {
        size_t newline = text.rfind('\n', end - 1);
        size_t begin = newline == std::string::npos ? 0 : newline + 1;
        if (begin < end)
            lines.insert(lines.begin(), text.substr(begin, end - begin));
        if (newline == std::string::npos)
            break;
        end = newline;
    }
    std::string joined;
    for (const std::string& line : lines)
        joined += (joined.empty() ? "" : " | ") + line;
    return joined.empty() ? "(empty)" : joined;
}

// What the server left behind: its output, the end of its main log and the
// errors of every log file (a start-up failure is often logged elsewhere).
std::string lastWords(const srvtest::ServerProcess& server) {
    std::string errors;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(server.logDir(), ignored)) {
        std::istringstream lines(srvtest::readFile(entry.path()));
        for (std::string line; std::getline(lines, line);)
            if (line.find(" ERROR ") != std::string::npos)
                errors += line + "\n";
    }
    return "output: " + lastLines(server.output(), 3) + "; log: " + lastLines(server.log(), 2) +
           "; errors: " + lastLines(errors, 3);
}

// The server process and the client connection, started on first use and
// stopped at the end of the run. Once anything fails, `error` says why and
// every later benchmark skips.
class Session {
public:
    static Session& get() {
        if (instance_ == nullptr) {
            instance_ = new Session;
            instance_->start();
        }
        return *instance_;
    }

    static void stopIfStarted() {
        if (instance_ == nullptr)
            return;
        instance_->stop();
        delete instance_;
        instance_ = nullptr;
    }

    const std::string& error() const { return error_; }
    c_socket_t* socket() const { return socket_; }
    void fail(std::string why) { error_ = std::move(why); }

private:
    Session() = default;
    ~Session() { c_socket_delete(socket_); }

    void start() {
        // The packet layer logs its own failures; keep those files out of
        // the current folder.
        setenv("ZARN_LOG_DIR", clientLogs_.path().c_str(), 1);
        if (access(MORVANE_SERVER_BINARY, X_OK) != 0) {
            fail(std::string("server binary not found: ") + MORVANE_SERVER_BINARY);
            return;
        }
        uint16_t port = srvtest::freePort();
        server_ = std::make_unique<srvtest::ServerProcess>(
            std::vector<std::string>{"-p", std::to_string(port)},
            std::map<std::string, std::string>{{"DRAVIKDIR", MORVANE_DEFINITIONS_DIR},
                                               {"MORVANESERVERDIR", MORVANE_DEFINITIONS_DIR}});
        if (!connect(port))
            return;
        // The server may accept before its command loop serves; the first
        // reply shows that it does.
        c_socket_set_recv_timeout(socket_, kFirstReplyTimeoutMs);
        Exchange probe{Packet(kBoardInfo), 2};
        probe.request.u64(0);
        std::string failure = roundTrip(socket_, probe);
        if (!failure.empty()) {
            fail("the server accepted but did not serve (" + failure + "); " + lastWords(*server_));
            return;
        }
        c_socket_set_recv_timeout(socket_, kReplyTimeoutMs);
    }

    // Connects to the port, retrying until the server accepts, ends, or the
    // patience runs out.
    bool connect(uint16_t port) {
        auto until = Clock::now() + kStartPatience;
        while (Clock::now() < until) {
            if (auto code = server_->waitExit(std::chrono::milliseconds(0))) {
                fail("the server ended with code " + std::to_string(*code) + " before it accepted; " +
                     lastWords(*server_));
                return false;
            }
            if (c_socket_client_connect(&socket_, "127.0.0.1", port) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        fail("the server did not accept on port " + std::to_string(port) + " within " +
             std::to_string(kStartPatience.count()) + " s; " + lastWords(*server_));
        return false;
    }

    // Asks the server to quit and reaps it; a server that does not end in
    // time is killed by the process record.
    void stop() {
        if (server_ == nullptr)
            return;
        if (socket_ != nullptr) {
            Exchange quit{Packet(kQuit), 2};
            quit.request.u64(0).u64(0);
            std::string failure = roundTrip(socket_, quit);
            if (!failure.empty())
                std::fprintf(stderr, "quit: %s\n", failure.c_str());
        }
        if (auto code = server_->waitExit(kExitPatience))
            std::fprintf(stderr, "server ended with exit code %d\n", *code);
        else
            std::fprintf(stderr, "server did not end within %lld s after quit; killing it\n",
                         static_cast<long long>(kExitPatience.count()));
        server_.reset();
    }

    static inline Session* instance_ = nullptr;
    srvtest::TempDir clientLogs_;
    std::unique_ptr<srvtest::ServerProcess> server_;
    c_socket_t* socket_ = nullptr;
    std::string error_;
};

// A loopback echo: receives each request with the packet layer and answers
// with a reply of `replyPayload` bytes (status 0 and zeros) for the same
// command. Serves one connection on its own thread until the program ends.
class EchoServer {
public:
    static EchoServer& get() {
        static EchoServer* instance = new EchoServer; // runs until the program ends
        return *instance;
    }
    const std::string& error() const { return error_; }
    c_socket_t* socket() const { return client_; }
    void setReplyPayload(uint32_t bytes) { replyPayload_.store(bytes, std::memory_order_relaxed); }

private:
    EchoServer() {
        uint16_t port = 0;
        if (c_socket_server_init(&listener_, INADDR_LOOPBACK, &port) != 0) {
            error_ = "the echo server could not listen";
            return;
        }
        std::thread([this] { serve(); }).detach();
        if (c_socket_client_connect(&client_, "127.0.0.1", port) != 0) {
            error_ = "no connection to the echo server";
            return;
        }
        c_socket_set_recv_timeout(client_, kReplyTimeoutMs);
    }

    void serve() {
        c_socket_t* peer = nullptr;
        if (c_socket_server_accept(listener_, &peer) != 0)
            return;
        std::vector<uint8_t> zeros;
        for (;;) {
            uint16_t command = 0;
            uint32_t payloadSize = 0;
            void* request = c_recv_packet(peer, &command, &payloadSize);
            if (request == nullptr)
                break;
            c_free(request);
            zeros.assign(replyPayload_.load(std::memory_order_relaxed), 0);
            uint32_t size = 0;
            void* reply = c_createheader(0, command, &size);
            if (reply != nullptr && !zeros.empty())
                reply = serialize_u8(zeros.data(), static_cast<uint32_t>(zeros.size()), reply, &size);
            bool sent = reply != nullptr && c_send(peer, reply, size) == static_cast<int64_t>(size);
            c_free(reply);
            if (!sent)
                break;
        }
        c_socket_delete(peer);
    }

    c_socket_t* listener_ = nullptr;
    c_socket_t* client_ = nullptr;
    std::atomic<uint32_t> replyPayload_{0};
    std::string error_;
};

// The value below which the given share of the samples lies.
double percentile(std::vector<double>& samples, double share) {
    if (samples.empty())
        return 0;
    size_t at = std::min(samples.size() - 1, static_cast<size_t>(share * static_cast<double>(samples.size())));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
    return samples[at];
}

// Runs the requests in turn, one round trip per iteration, against the
// server or, with `echo`, against the loopback echo.
void measure(benchmark::State& state, const std::vector<Exchange>& exchanges, bool echo = false) {
    Session& session = Session::get();
    for (const Exchange& exchange : exchanges)
        if (!exchange.request.valid())
            session.fail("a request could not be built");
    const std::string& error = echo ? EchoServer::get().error() : session.error();
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    c_socket_t* socket = echo ? EchoServer::get().socket() : session.socket();
    std::vector<double> samples;
    double total = 0;
    size_t next = 0;
    for (auto _ : state) {
        const Exchange& exchange = exchanges[next];
        next = (next + 1) % exchanges.size();
        if (echo)
            EchoServer::get().setReplyPayload(exchange.replyPayload);
        auto start = Clock::now();
        std::string failure = roundTrip(socket, exchange);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!failure.empty()) {
            // The connection's state is unknown now: later benchmarks skip.
            if (!echo)
                session.fail(failure);
            state.SkipWithError(failure.c_str());
            break;
        }
        total += seconds;
        samples.push_back(seconds);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["mean_us"] = benchmark::Counter(total * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["p50_us"] = percentile(samples, 0.50) * 1e6;
    state.counters["p99_us"] = percentile(samples, 0.99) * 1e6;
    state.counters["max_us"] = samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end()) * 1e6;
}

// Command 14: the value of parameter 12 (a board parameter) addressed as
// channel 3, the packet layer's reference request.
void BM_GetParameter(benchmark::State& state, bool echo) {
    std::vector<Exchange> exchanges;
    exchanges.push_back({Packet(kGetParameter), 2 + 8});
    exchanges.back().request.u64(0x1).path({3, kChannel, kTrgExtOutPropagate, kCode});
    measure(state, exchanges, echo);
}

// Command 13: the trigger threshold of channel 3, alternating between two
// values so that every set changes the register.
void BM_SetParameter(benchmark::State& state, bool echo) {
    std::vector<Exchange> exchanges;
    for (double threshold : {200.0, 201.0}) {
        exchanges.push_back({Packet(kSetParameter), 2});
        exchanges.back().request.u64(0x1).path({3, kChannel, kChannelThreshold, kCode}).f64(threshold);
    }
    measure(state, exchanges, echo);
}

// Command 7: the threshold register of channel 3 (address in, value out).
void BM_ReadRegister(benchmark::State& state, bool echo) {
    std::vector<Exchange> exchanges;
    exchanges.push_back({Packet(kReadRegister), 2 + 4});
    exchanges.back().request.u64(0x1).u64(0x2).u32(kThresholdRegisterCh3);
    measure(state, exchanges, echo);
}

// Command 5: the board information with every field.
void BM_BoardInfo(benchmark::State& state, bool echo) {
    std::vector<Exchange> exchanges;
    exchanges.push_back({Packet(kBoardInfo), 2 + boardInfoSize()});
    exchanges.back().request.u64(kBoardInfoEveryField);
    measure(state, exchanges, echo);
}

// Each command beside its echo of the same reply size.
BENCHMARK_CAPTURE(BM_GetParameter, server, false)->Name("RoundTrip/cmd14_GetParameter")->UseRealTime();
BENCHMARK_CAPTURE(BM_GetParameter, echo, true)->Name("Echo/cmd14_GetParameter")->UseRealTime();
BENCHMARK_CAPTURE(BM_SetParameter, server, false)->Name("RoundTrip/cmd13_SetThreshold")->UseRealTime();
BENCHMARK_CAPTURE(BM_SetParameter, echo, true)->Name("Echo/cmd13_SetThreshold")->UseRealTime();
BENCHMARK_CAPTURE(BM_ReadRegister, server, false)->Name("RoundTrip/cmd7_ReadRegister")->UseRealTime();
BENCHMARK_CAPTURE(BM_ReadRegister, echo, true)->Name("Echo/cmd7_ReadRegister")->UseRealTime();
BENCHMARK_CAPTURE(BM_BoardInfo, server, false)->Name("RoundTrip/cmd5_BoardInfoAllFields")->UseRealTime();
BENCHMARK_CAPTURE(BM_BoardInfo, echo, true)->Name("Echo/cmd5_BoardInfoAllFields")->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const char* level = std::getenv("ZARN_LOG_LEVEL");
    benchmark::AddCustomContext("server_log_level", level != nullptr ? level : "default (4)");
    benchmark::RunSpecifiedBenchmarks();
    Session::stopIfStarted();
    benchmark::Shutdown();
    return 0;
}
