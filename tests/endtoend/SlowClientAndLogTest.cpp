// Two ways one source could hold up or flood the built server, driven over
// TCP:
// - A client that reads its replies a trickle at a time: each reply has its
//   time to go out whole, then the client is dropped, so neither the next
//   client nor a SIGINT's shutdown waits on it for longer.
// - A line that repeats in the log is written 5 times in 10 s at most, and
//   one line of the code 32 times whatever its texts; the count of the rest comes when the 10 s are over, also
//   while the server idles, at once at an automatic stop, and before the
//   process ends on a second signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <regex>

#include "EndToEndSupport.h"
#include "SRV_ConnectionManager.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

using Seconds = std::chrono::duration<double>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines of a log that hold `what`.
std::vector<std::string> linesHolding(const std::string& log, const std::string& what) {
    std::vector<std::string> found;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (contains(line, what))
            found.push_back(line);
    return found;
}

// ------------------------------------------------------------ slow reader

// A client with a 4 KiB receive buffer that pipelines requests for the
// server definitions (each reply is the whole document) and then reads 1 KiB
// a second until the server closes the connection.
class SlowReader {
public:
    SlowReader(uint16_t port, int requests) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        Bytes request = packet(DEFINITIONS, {});
        for (int i = 0; i < requests && connected_; i++)
            connected_ =
                ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
        reader_ = std::thread([this] {
            while (!stop_ && !closed_) {
                uint8_t buffer[1024];
                pollfd wait{fd_, POLLIN, 0};
                if (poll(&wait, 1, 100) <= 0)
                    continue;
                ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    closed_ = true;
                    break;
                }
                received_ += static_cast<size_t>(got);
                std::this_thread::sleep_for(1s);
            }
        });
    }
    ~SlowReader() {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    bool connected() const { return connected_; }
    bool closedByServer() const { return closed_; }
    size_t received() const { return received_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::atomic<size_t> received_{0};
    std::thread reader_;
};

// The send path is the same whatever the board: one board serves.
std::vector<BoardCase> oneBoard() { return {kBoards.front()}; }

// The server's folder with the shipped parameters and definitions, the
// definitions grown by a comment to 1 MiB: at 1 KiB a second one reply would
// take 17 minutes.
class SlowClient : public ServerOnBoard {
protected:
    static constexpr size_t DOCUMENT_SIZE = 1u << 20;
    void SetUp() override {
        fs::path shipped = MORVANE_DEFINITIONS_DIR;
        fs::copy_file(shipped / "ServerParams.xml", folder_.path() / "ServerParams.xml");
        std::string document = readFile(shipped / "ServerDefinitions.xml");
        std::string open = "\n<!--", close = "-->\n";
        document += open + std::string(DOCUMENT_SIZE - document.size() - open.size() - close.size(), 'x') + close;
        std::ofstream(folder_.path() / "ServerDefinitions.xml", std::ios::binary) << document;
        startServer({{"MORVANESERVERDIR", folder_.path().string()}});
    }
    TempDir folder_;
};

const int PIPELINED_REQUESTS = 4;
// What a reply may take, and what the next step may add to it on a busy
// machine (a connection, a request; the shutdown's stop and saves).
const auto REPLY_BOUND = std::chrono::milliseconds(SRV_CLIENT_SEND_TIMEOUT_MS);
const auto SLACK = 5s;

TEST_P(SlowClient, HoldsNeitherTheNextClientNorTheShutdown) {
    client_.reset();
    {
        SlowReader slow(port_, PIPELINED_REQUESTS);
        ASSERT_TRUE(slow.connected());
        std::this_thread::sleep_for(1s); // its first reply is on its way
        auto start = Clock::now();
        Client next(port_);
        ASSERT_TRUE(next.send(packet(QUIT, masks(0, 1))));
        auto reply = next.receive(REPLY_BOUND + SLACK + 60s);
        Seconds waited = Clock::now() - start;
        std::printf("The next client waited %.2f s for its reply.\n", waited.count());
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status(), -33);
        EXPECT_LT(waited, REPLY_BOUND + SLACK);
        EXPECT_TRUE(waitFor([&] { return slow.closedByServer(); }, 5000ms));
        EXPECT_LT(slow.received(), DOCUMENT_SIZE) << "a reply was sent whole";
    }

    SlowReader slow(port_, PIPELINED_REQUESTS);
    ASSERT_TRUE(slow.connected());
    std::this_thread::sleep_for(1s);
    auto start = Clock::now();
    ASSERT_EQ(kill(server_->pid(), SIGINT), 0);
    auto code = server_->waitExit(REPLY_BOUND + SLACK + 60s);
    Seconds took = Clock::now() - start;
    std::printf("SIGINT's shutdown took %.2f s.\n", took.count());
    EXPECT_EQ(code, 0) << server_->output();
    EXPECT_LT(took, REPLY_BOUND + SLACK);
    EXPECT_TRUE(contains(server_->log(), "c_send() failed.")) << server_->log();
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, SlowClient, ::testing::ValuesIn(oneBoard()), caseName);

// -------------------------------------------------------- repeated lines

// Requests of unknown codes, each answered -9 and logged as a warning whose
// text carries the code, followed by a constant error line
// ("From main command loop: ..."): two call sites that repeat.
const int UNKNOWN_REQUESTS = 100;
const uint16_t FIRST_UNKNOWN_CODE = 1000;

void sendUnknownCommands(Client& client) {
    for (int i = 0; i < UNKNOWN_REQUESTS; i++) {
        auto reply = client.request(static_cast<uint16_t>(FIRST_UNKNOWN_CODE + i));
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status(), -9);
    }
}

// The count lines of both sites, once they are written: each counts every
// request past the ones written (32 texts of the one, 5 of the constant
// other) and carries the last text.
void expectBothCounts(const std::string& log) {
    std::string lastCode = std::to_string(FIRST_UNKNOWN_CODE + UNKNOWN_REQUESTS - 1);
    auto counted = [](int written) {
        return "Repeated " + std::to_string(UNKNOWN_REQUESTS - written) + " more times in the last ";
    };
    EXPECT_EQ(linesHolding(log, "Unsupported command").size(), 33u) << log;
    EXPECT_EQ(linesHolding(log, "From main command loop: ").size(), 6u) << log;
    auto unknown = linesHolding(log, counted(32));
    ASSERT_EQ(unknown.size(), 1u) << log;
    EXPECT_TRUE(contains(unknown[0], ": Unsupported command " + lastCode + ".")) << unknown[0];
    auto constant = linesHolding(log, counted(5));
    ASSERT_EQ(constant.size(), 1u) << log;
    EXPECT_TRUE(contains(constant[0], ": From main command loop: ")) << constant[0];
}

// The window's length in the count line "... in the last T s: ...".
double countedWindow(const std::string& log) {
    std::smatch match;
    static const std::regex window("more times in the last ([0-9.]+) s:");
    return std::regex_search(log, match, window) ? std::stod(match[1]) : -1;
}

using RepeatedLines = ServerOnBoard;

// The server idles after the burst: the counts come at the end of the 10 s.
TEST_P(RepeatedLines, AreCountedWhateverTheTextAndTheCountComesOnTime) {
    startServer();
    auto burst = Clock::now();
    sendUnknownCommands(*client_);
    EXPECT_TRUE(waitFor([&] { return contains(server_->log(), "more times in the last"); }, 20000ms));
    std::this_thread::sleep_for(200ms); // both counts are written in one sweep
    Seconds after = Clock::now() - burst;
    std::printf("The counts came %.2f s after the first repeat.\n", after.count());
    EXPECT_LT(after, 12s);
    expectBothCounts(server_->log());
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, RepeatedLines, ::testing::ValuesIn(oneBoard()), caseName);

using RepeatCountAtAutomaticStop = ServerOnBoard;

// A stop criterion ends the run well within the 10 s: the counts are written
// with that stop, on every board with criteria (the register-level device
// stops the channel, the others the whole board).
TEST_P(RepeatCountAtAutomaticStop, IsWrittenWithTheStop) {
    const int32_t PARAM_CH_STOP_MODE_TOTAL_COUNTS = 1067;
    const double LIMIT = 1000;
    startServer();
    for (uint32_t ch = 0; ch < GetParam().channels; ch++)
        ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, 0, LIMIT)), SUCCESS);
    auto burst = Clock::now();
    sendUnknownCommands(*client_);
    ASSERT_EQ(status(START, acquisitionRequest(1)), SUCCESS) << boardLog();
    ASSERT_TRUE(
        waitFor([&] { return contains(server_->log("SRVBoardThreadLog.txt"), "Stop criteria for mode"); }, 60000ms))
        << boardLog();
    if (Clock::now() - burst > 9s)
        GTEST_SKIP() << "the criterion was met only after 9 s (a busy machine): the window ended first";
    // The counts follow the stop that the criterion's line announces.
    waitFor([&] { return countedWindow(server_->log()) >= 0; }, 5000ms);
    std::string log = server_->log();
    double window = countedWindow(log);
    std::printf("The counts were written %.1f s into their window.\n", window);
    ASSERT_GE(window, 0) << "no count at the automatic stop";
    EXPECT_LT(window, 9.5) << "written at the window's end, not at the stop";
    expectBothCounts(log);
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, RepeatCountAtAutomaticStop, ::testing::ValuesIn(pulseProcessingBoards()),
                         caseName);

// A second signal ends the process at once: the counts held back so far are
// written before it ends. The first signal waits for half a request (the
// server waits up to 10 s for the rest), so that the second comes while the
// shutdown has not begun.
TEST(RepeatCountOnASecondSignal, IsWrittenBeforeTheProcessEnds) {
    uint16_t port = freePort();
    ServerProcess server({"-p", std::to_string(port)});
    ASSERT_TRUE(server.waitReady()) << server.output();
    Client client(port);
    ASSERT_TRUE(client.connected());
    sendUnknownCommands(client);
    endTwiceDuringAHalfSentRequest(server, client);
    expectBothCounts(server.log());
}

} // namespace
