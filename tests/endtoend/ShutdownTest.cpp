// Every way the server ends keeps what it acquired, or says what it could
// not keep: SIGINT and SIGTERM end it as command 25 does (the acquisition
// stopped with its drain, the recording closed, the spectra saved), checked
// after a restart on the same working folder against the run's raw-data file;
// a second signal gives the shutdown up and says so; and the quit names on
// stderr, with the exit code, a list file or a recording it could not
// complete.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <regex>

#include "EndToEndSupport.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t RESOURCE = -17;
const int16_t DUMPER_CLOSE = -27;
const auto kExitWait = 60000ms;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The server's file-size limit (RLIM_INFINITY lifts it). The server ignores
// SIGXFSZ, so a write past it fails with EFBIG as one to a full disk fails.
void limitFileSize(pid_t server, rlim_t bytes) {
    rlimit limit{};
    ASSERT_EQ(prlimit(server, RLIMIT_FSIZE, nullptr, &limit), 0);
    limit.rlim_cur = std::min(bytes, limit.rlim_max);
    ASSERT_EQ(prlimit(server, RLIMIT_FSIZE, &limit, nullptr), 0) << std::strerror(errno);
}

// ------------------------------------------------------------ end signals

class EndSignals : public ServerOnBoard {
protected:
    // A server on the same working folder as the first, after it has ended.
    void restart() {
        client_.reset();
        std::vector<std::string> options = GetParam().options;
        options.insert(options.end(), {"-p", std::to_string(port_)});
        first_ = std::move(server_);
        server_ = std::make_unique<ServerProcess>(
            options, std::map<std::string, std::string>{{"ZARNWORKINGDIR", first_->workDir().string()}});
        ASSERT_TRUE(server_->waitReady()) << server_->output() << server_->log();
        client_ = std::make_unique<Client>(port_);
        ASSERT_TRUE(client_->connected());
    }
    std::unique_ptr<ServerProcess> first_;
};

// The signal comes while every channel acquires and records: the server
// stops as the quit does, so the spectra it saves hold every event of the
// recording (the stop's drain included), and a restart loads them.
TEST_P(EndSignals, EndTheServerAsTheQuitDoesAndKeepTheSpectra) {
    const BoardCase& board = GetParam();
    const struct {
        int number;
        const char* name;
    } signals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}};
    for (const auto& sent : signals) {
        SCOPED_TRACE(sent.name);
        startServer();
        for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly; ch++)
            ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
        if (board.waveformsOnly)
            ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
        ASSERT_EQ(status(SET_RUN_FILE, runFileName("signal.zrn")), SUCCESS);
        ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        std::vector<Spectrum> before;
        if (!board.waveformsOnly) {
            EXPECT_TRUE(waitFor([&] { return spectrum(0).histogrammed() >= 200; }, 60000ms)) << boardLog();
            for (uint32_t ch = 0; ch < board.channels; ch++)
                before.push_back(spectrum(ch));
        } else {
            std::this_thread::sleep_for(500ms);
        }
        fs::path rawData = recordedFile("signal.zrn");

        ASSERT_EQ(kill(server_->pid(), sent.number), 0);
        EXPECT_EQ(server_->waitExit(kExitWait), 0) << server_->output() << boardLog();
        EXPECT_EQ(server_->standardError(), "");
        EXPECT_TRUE(contains(server_->standardOutput(),
                             std::string("MorvaneServer ends on ") + sent.name + " as on command 25"))
            << server_->output();
        EXPECT_TRUE(contains(server_->log("SRVBoardThreadLog.txt"), "Acquisition stopped."))
            << boardLog() << server_->log("SRV_CommonLog.txt");

        // Everything the board delivered is in the closed recording and in
        // the spectra that the restart loads.
        Recorded recorded = decodeRunFile(rawData, board.channels);
        restart();
        for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly; ch++) {
            Spectrum kept = spectrum(ch);
            std::cout << "[ measured ] " << board.name << " " << sent.name << " channel " << ch << ": "
                      << before[ch].entries << " entries read before the signal, " << kept.entries
                      << " after the restart\n";
            EXPECT_EQ(kept.histogrammed(), recorded.histogrammable[ch]) << "channel " << ch;
            ASSERT_EQ(kept.counts.size(), before[ch].counts.size());
            for (size_t bin = 0; bin < kept.counts.size(); bin++)
                ASSERT_GE(kept.counts[bin], before[ch].counts[bin]) << "channel " << ch << " bin " << bin;
        }
        EXPECT_EQ(status(QUIT, masks(0, 0)), SUCCESS);
        EXPECT_EQ(server_->waitExit(kExitWait), 0) << server_->output();
        client_.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, EndSignals, ::testing::ValuesIn(kBoards), caseName);

// A signal that comes while the server ends gives the shutdown up: the
// process ends at once, killed by that signal, after a line that says what
// is not saved. Here the first signal waits for a request in progress (half
// a packet, which the server waits for up to 10 s) before it can stop
// anything.
TEST(EndSignalsTwice, TheSecondGivesTheShutdownUpAndSaysWhatIsNotSaved) {
    uint16_t port = freePort();
    ServerProcess server({"-p", std::to_string(port)});
    ASSERT_TRUE(server.waitReady()) << server.output();
    Client client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.request(START, acquisitionRequest(0xFF))->status(), SUCCESS);
    Bytes half = packet(BOARD_INFO, masks(0x1, 0));
    half.resize(6);
    ASSERT_TRUE(client.send(half));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(kill(server.pid(), SIGINT), 0);
    ASSERT_TRUE(waitFor([&] { return contains(server.standardOutput(), "ends on SIGINT"); }, 5000ms));
    ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(server.waitExit(5000ms), 128 + SIGTERM) << server.output();
    EXPECT_EQ(server.standardError(),
              "MorvaneServer gave up ending on SIGTERM before its shutdown began: the acquisition was not stopped, "
              "no spectrum, list file or recording was saved.\n");
}

// ------------------------------------------------- the quit's cut files

class QuitReport : public ServerOnBoard {
protected:
    void SetUp() override {
        signal(SIGXFSZ, SIG_IGN); // inherited by the server
        startServer();
    }
    std::string details(const char* logFile) const { return ". Details: " + (server_->logDir() / logFile).string(); }
};

// Command 35: list mode on for the channel, text format, the file, every
// field, the buffer size.
Bytes textListSettings(int32_t channel, const std::string& file, uint32_t bufferSize) {
    Bytes b = dataRequest(0x1 | 0x2 | 0x4 | 0x8 | 0x20, channel);
    putU32(b, 1);
    putU32(b, 0);
    Bytes name = fixedText(file, 401);
    b.insert(b.end(), name.begin(), name.end());
    putU32(b, 7);
    putU32(b, bufferSize);
    return b;
}

// A list file that the disk can't take, cut while the run lists into it or
// by the quit's own flush, is named on stderr with the events it lost, and
// its status is the exit code; where the spectra can't be saved either,
// their lines follow and the exit code stays the first line's.
TEST_P(QuitReport, AListFileTheQuitCouldNotCompleteIsNamedAndIsTheExitCode) {
    const BoardCase& board = GetParam();
    // Cut during the run: the limit is lifted again before the quit, so only
    // the list file is lost. Cut at the quit: the buffer holds the whole run,
    // and the limit stays, so the spectrum files can't be written either.
    for (bool atQuit : {false, true}) {
        SCOPED_TRACE(atQuit ? "cut by the quit's flush" : "cut during the run");
        if (atQuit) {
            server_.reset();
            SetUp();
        }
        const std::regex listLine(
            "MorvaneServer did not save list events: list file list_ch00\\.txt cannot be "
            "written: File too large; ([0-9]+) buffered events are lost \\(status -17\\)" +
            std::regex_replace(details("SRV_ListLog.txt"), std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&"));
        ASSERT_EQ(status(SET_LIST, textListSettings(0, "list_ch00.txt", atQuit ? 65536 : 100)), SUCCESS)
            << server_->log("SRV_ListLog.txt");
        if (!atQuit)
            limitFileSize(server_->pid(), 16 * 1024);
        ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        if (atQuit) {
            EXPECT_TRUE(waitFor([&] { return spectrum(0).entries >= 2000; }, 60000ms)) << boardLog();
            limitFileSize(server_->pid(), 16 * 1024);
        } else {
            EXPECT_TRUE(waitFor([&] { return contains(boardLog(), "Error in handleListMode."); }, 60000ms))
                << boardLog();
            limitFileSize(server_->pid(), RLIM_INFINITY);
        }
        auto reply = client_->request(QUIT, masks(0, 0));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status(), SUCCESS);
        EXPECT_EQ(server_->waitExit(kExitWait), exitCodeOf(RESOURCE)) << server_->output();
        std::vector<std::string> lines = linesOf(server_->standardError());
        ASSERT_FALSE(lines.empty()) << server_->output();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[0], match, listLine)) << lines[0];
        std::cout << "[ measured ] " << board.name << (atQuit ? " cut at the quit: " : " cut during the run: ")
                  << match[1] << " buffered events lost\n";
        EXPECT_GT(std::stoul(match[1]), 0u);
        if (!atQuit) {
            EXPECT_EQ(lines.size(), 1u) << server_->standardError();
        } else {
            EXPECT_EQ(lines.size(), 1u + board.channels) << server_->standardError();
            for (size_t i = 1; i < lines.size(); i++)
                EXPECT_TRUE(contains(lines[i], "MorvaneServer did not save a spectrum: spectrum file ")) << lines[i];
        }
        client_.reset();
    }
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, QuitReport, ::testing::ValuesIn(pulseProcessingBoards()), caseName);

// A recording whose disk filled during the run is named by the quit on
// stderr as incomplete, and its status is the exit code.
class QuitRecording : public QuitReport {};

TEST_P(QuitRecording, ARecordingTheQuitCouldNotCompleteIsNamedAndIsTheExitCode) {
    const BoardCase& board = GetParam();
    if (board.waveformsOnly)
        ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("cut.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    fs::path rawData = recordedFile("cut.zrn");
    // The limit is set just past what the recording holds, so the recording
    // reaches it first; it is lifted before the quit, so that only the
    // recording is lost.
    ASSERT_TRUE(waitFor([&] { return fs::exists(rawData) && fs::file_size(rawData) > 0; }, 60000ms));
    limitFileSize(server_->pid(), fs::file_size(rawData) + 64 * 1024);
    std::string dumperLog;
    EXPECT_TRUE(waitFor(
        [&] {
            dumperLog = server_->log("ZarnROBuffDumperLog.txt");
            return contains(dumperLog, "Can't write buffer");
        },
        120000ms))
        << fs::file_size(rawData);
    limitFileSize(server_->pid(), RLIM_INFINITY);

    auto reply = client_->request(QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), SUCCESS);
    EXPECT_EQ(server_->waitExit(kExitWait), exitCodeOf(DUMPER_CLOSE))
        << server_->output() << boardLog() << server_->log("SRV_CommonLog.txt");
    EXPECT_EQ(linesOf(server_->standardError()),
              std::vector<std::string>{"MorvaneServer did not save the whole recording: raw-data file " +
                                       ("Run" / rawData.filename()).string() + " is incomplete: " +
                                       std::strerror(EFBIG) + " (status -27)" + details("SRV_CommonLog.txt")});
    client_.reset();
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, QuitRecording, ::testing::ValuesIn(kBoards), caseName);

} // namespace
