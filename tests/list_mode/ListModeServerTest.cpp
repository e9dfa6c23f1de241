// List files over TCP against the server process, on every simulated board
// with pulse-processing firmware: a disk that fills while a run is listed
// (a file-size limit on the server process) is answered by the stop with the
// list-saving failure, the file keeps whole events only, the log names the
// file and the reason, and the next run, with room again, lists as before.
#include <sys/resource.h>

#include <memory>

#include <gtest/gtest.h>

#include "../endtoend/EndToEndSupport.h"
#include "ListFileSupport.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t RESOURCE = -17;
const rlim_t LIMIT = 16 * 1024;

// Command 35: list mode on, the format, the file, every field, the buffer.
Bytes listSettings(int32_t channel, int32_t format, const std::string& file, uint32_t bufferSize) {
    Bytes b;
    putU64(b, 0x1 | 0x2 | 0x4 | 0x8 | 0x20);
    putU32(b, static_cast<uint32_t>(channel));
    putU32(b, 1);
    putU32(b, static_cast<uint32_t>(format));
    Bytes name = fixedText(file, 401);
    b.insert(b.end(), name.begin(), name.end());
    putU32(b, 7);
    putU32(b, bufferSize);
    return b;
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

bool setFileSizeLimit(pid_t pid, rlim_t bytes) {
    rlimit limit{bytes, RLIM_INFINITY};
    return prlimit(pid, RLIMIT_FSIZE, &limit, nullptr) == 0;
}

// The server on the board of the case, and its client. The server starts
// with the default action of SIGXFSZ, which ends a process that writes past
// its file-size limit: it must ignore the signal itself, so that such a write
// fails with EFBIG and is reported.
class FullDisk : public ::testing::TestWithParam<BoardCase> {
protected:
    void SetUp() override {
        signal(SIGXFSZ, SIG_DFL);
        ASSERT_TRUE(simulatorServes(GetParam()));
        uint16_t port = freePort();
        std::vector<std::string> options = GetParam().options;
        options.insert(options.end(), {"-p", std::to_string(port)});
        server_ = std::make_unique<ServerProcess>(options);
        ASSERT_TRUE(server_->waitReady()) << server_->log() << server_->log("SRV_CommonLog.txt");
        client_ = std::make_unique<Client>(port);
    }

    int16_t status(uint16_t command, const Bytes& payload) {
        auto reply = client_->request(command, payload);
        EXPECT_TRUE(reply) << "command " << command;
        return reply ? reply->status() : INT16_MIN;
    }

    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

TEST_P(FullDisk, TheStopAnswersTheListFailureAndTheFileHoldsWholeEvents) {
    const BoardCase& board = GetParam();
    ServerProcess& server = *server_;
    const uint32_t all = (1u << board.channels) - 1u;
    const fs::path file = server.workDir() / "list_ch00.txt";
    // Channel 0 into a text file, channel 1 into its buffer only.
    ASSERT_EQ(status(SET_LIST, listSettings(0, 0, "list_ch00.txt", 100)), SUCCESS);
    ASSERT_EQ(status(SET_LIST, listSettings(1, 2, "", 100)), SUCCESS);

    ASSERT_TRUE(setFileSizeLimit(server.pid(), LIMIT));
    ASSERT_EQ(status(START, acquisitionRequest(all)), SUCCESS);
    EXPECT_TRUE(waitFor(
        [&] { return server.log("SRVBoardThreadLog.txt").find("Error in handleListMode.") != std::string::npos; },
        60000ms))
        << server.log("SRVBoardThreadLog.txt");
    // Channels 0 and 1 stop one by one (the whole board where they are all
    // of it): channel 1's success does not hide channel 0's failure.
    EXPECT_EQ(status(STOP, acquisitionRequest(0x3)), RESOURCE) << server.log("SRV_ListLog.txt");
    EXPECT_EQ(status(STOP, acquisitionRequest(all)), SUCCESS);

    std::string listed = readFile(file);
    std::vector<listtest::ListedEvent> events;
    EXPECT_TRUE(listtest::parseTextListFile(listed, &events))
        << listed.substr(listed.size() > 200 ? listed.size() - 200 : 0);
    EXPECT_LE(listed.size(), LIMIT);
    EXPECT_GT(listed.size(), LIMIT - 3 * 100 * 40); // the failing flush still wrote what fitted
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const auto& a, const auto& b) { return a.timeTag < b.timeTag; }));
    std::string failure = "Error saving list events to file. list_ch00.txt: File too large; ";
    EXPECT_NE(server.log("SRV_ListLog.txt").find(failure), std::string::npos) << server.log("SRV_ListLog.txt");
    EXPECT_NE(server.log("SRVBoardThreadLog.txt").find(failure), std::string::npos);

    // With room again the next run lists past the old limit.
    ASSERT_TRUE(setFileSizeLimit(server.pid(), RLIM_INFINITY));
    ASSERT_EQ(status(START, acquisitionRequest(all)), SUCCESS);
    EXPECT_TRUE(waitFor([&] { return fs::file_size(file) > LIMIT; }, 60000ms));
    EXPECT_EQ(status(STOP, acquisitionRequest(all)), SUCCESS) << server.log("SRV_ListLog.txt");
    events.clear();
    EXPECT_TRUE(listtest::parseTextListFile(readFile(file), &events));

    EXPECT_EQ(status(QUIT, masks(0, 0)), SUCCESS);
    EXPECT_EQ(server.waitExit(60000ms), 0) << server.standardError();
}

// A stop criterion met while the list file can't be written: the automatic
// stop's failure has no reply of its own, so the client's next command 9
// answers it, once (the 9 after it answers 0), or its next command 8, which
// then starts nothing (no run file written, the list file left as it was);
// the 8 after it starts.
TEST_P(FullDisk, AnAutomaticStopsListFailureIsAnsweredOnceByTheNextStopOrStart) {
    const BoardCase& board = GetParam();
    const uint32_t LIMIT_COUNTS = 3000; // far more text lines than LIMIT bytes hold
    const int32_t PARAM_CH_STOP_MODE_TOTAL_COUNTS = 1067;
    ServerProcess& server = *server_;
    Client& client = *client_;
    auto entries = [&](uint32_t channel) {
        // The counts, overflows, underflows and entries: the entries last.
        auto reply = client.request(GET_SPECTRUM, spectrumRequest(0x1 | 0x10 | 0x20 | 0x40, channel));
        bool whole = reply && reply->status() == SUCCESS && reply->payload.size() >= 2 + 16;
        return whole ? getU64(reply->payload, reply->payload.size() - 8) : 0;
    };
    const uint32_t all = (1u << board.channels) - 1u;
    const fs::path file = server.workDir() / "list_ch00.txt";
    ASSERT_EQ(status(SET_LIST, listSettings(0, 0, "list_ch00.txt", 100)), SUCCESS);
    // Channel 0's criterion alone: it stops the board, or on the
    // register-level device the channel, whose list file it is.
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, 0, LIMIT_COUNTS)), SUCCESS);
    // A run until the criterion has stopped it (its stop runs in the cycle
    // that met it, under the lock that command 27 waits for), then room on
    // the disk again so that the logs are whole.
    auto runIntoTheCriterion = [&] {
        ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(0)), SUCCESS);
        ASSERT_TRUE(setFileSizeLimit(server.pid(), LIMIT));
        ASSERT_EQ(status(START, acquisitionRequest(all)), SUCCESS);
        EXPECT_TRUE(waitFor([&] { return entries(0) >= LIMIT_COUNTS; }, 60000ms));
        ASSERT_TRUE(setFileSizeLimit(server.pid(), RLIM_INFINITY));
    };
    auto answers = [&] {
        return occurrences(server.log("SRVBoardThreadLog.txt"), "answers the failure (" + std::to_string(RESOURCE));
    };

    runIntoTheCriterion();
    std::vector<listtest::ListedEvent> events;
    EXPECT_TRUE(listtest::parseTextListFile(readFile(file), &events));
    std::cout << "[ measured ] " << board.name << ": " << LIMIT_COUNTS - events.size() << " of " << LIMIT_COUNTS
              << " events not written\n";
    EXPECT_LT(events.size(), LIMIT_COUNTS);
    EXPECT_EQ(status(STOP, acquisitionRequest(all)), RESOURCE) << server.log("SRVBoardThreadLog.txt");
    EXPECT_EQ(answers(), 1u);
    EXPECT_EQ(status(STOP, acquisitionRequest(all)), SUCCESS);

    runIntoTheCriterion();
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("refused.zrn")), SUCCESS);
    const uintmax_t listed = fs::file_size(file);
    EXPECT_EQ(status(START, acquisitionRequest(all)), RESOURCE) << server.log("SRVBoardThreadLog.txt");
    EXPECT_EQ(answers(), 2u);
    EXPECT_FALSE(fs::exists(server.workDir() / "Run" / "refused.zrn")) << "the refused start wrote its run file";
    EXPECT_EQ(fs::file_size(file), listed) << "the refused start opened the list file again";
    EXPECT_EQ(status(START, acquisitionRequest(all)), SUCCESS);
    EXPECT_TRUE(fs::exists(server.workDir() / "Run" / "refused.zrn"));
    EXPECT_EQ(status(STOP, acquisitionRequest(all)), SUCCESS);

    // A failure that no client was told of when the server quits is told on
    // stderr, with its file and reason, and is the exit code.
    runIntoTheCriterion();
    EXPECT_EQ(status(QUIT, masks(0, 0)), SUCCESS);
    EXPECT_EQ(server.waitExit(60000ms), static_cast<uint8_t>(RESOURCE)) << server.standardError();
    EXPECT_EQ(server.standardError().rfind("MorvaneServer did not save list events: list file list_ch00.txt cannot be "
                                           "written: File too large; ",
                                           0),
              0u)
        << server.standardError();
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, FullDisk, ::testing::ValuesIn(pulseProcessingBoards()), caseName);

} // namespace
