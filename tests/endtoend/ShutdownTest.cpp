// Every way the server ends keeps what it acquired, or says what it could
// not keep: SIGINT, SIGTERM and SIGHUP end it as command 25 does (the
// acquisition stopped with its drain, the recording closed, the spectra
// saved), checked after a restart on the same working folder against the
// run's raw-data file; a second signal gives the shutdown up and says so; and
// the quit names on stderr, with the exit code, every failure of the runs
// that no reply carried: a list file with the events it misses, a recording
// it could not complete, the failures of a board that command 23 closed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <regex>

#include "../list_mode/ListFileSupport.h"
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
    } signals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
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

// A server started with SIGHUP ignored (under nohup) keeps it ignored: it
// goes on serving, and ends with the quit as usual.
TEST(EndSignalsIgnored, ASignalIgnoredAtTheStartStaysIgnored) {
    uint16_t port = freePort();
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous), 0);
    ServerProcess server({"-p", std::to_string(port)}); // inherits the ignored SIGHUP
    sigaction(SIGHUP, &previous, nullptr);
    ASSERT_TRUE(server.waitReady()) << server.output();
    ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(server.waitExit(0ms)) << server.output();
    Client client(port);
    ASSERT_TRUE(client.connected());
    auto reply = client.request(QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), SUCCESS);
    EXPECT_EQ(server.waitExit(kExitWait), 0) << server.output();
    EXPECT_FALSE(contains(server.standardOutput(), "ends on SIGHUP")) << server.output();
}

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
    endTwiceDuringAHalfSentRequest(server, client);
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
    // The quit, and the server's end with its exit code and stderr lines.
    std::vector<std::string> quit(int16_t exitStatus) {
        auto reply = client_->request(QUIT, masks(0, 0));
        EXPECT_TRUE(reply && reply->status() == SUCCESS);
        EXPECT_EQ(server_->waitExit(kExitWait), exitCodeOf(exitStatus)) << server_->output() << boardLog();
        client_.reset();
        return linesOf(server_->standardError());
    }
    uint64_t entries(uint32_t channel) { return spectrum(channel).entries; }
    fs::path workFile(const std::string& name) const { return server_->workDir() / name; }
    uintmax_t sizeOf(const fs::path& file) const { return fs::exists(file) ? fs::file_size(file) : 0; }
};

// The stderr line of a list file the server could not complete: the file,
// the system's reason, the events it misses (the number caught).
std::regex listFileLine(const std::string& file, const std::string& details) {
    auto escaped = [](const std::string& text) {
        return std::regex_replace(text, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&");
    };
    return std::regex("MorvaneServer did not save list events: list file " + escaped(file) +
                      " cannot be written: File too large; ([0-9]+) events are missing from it \\(status -17\\)" +
                      escaped(details));
}

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
        const std::regex listLine = listFileLine("list_ch00.txt", details("SRV_ListLog.txt"));
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
                  << match[1] << " events missing\n";
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

// A list file cut while the run lists into it misses every event the run
// listed after the cut, not only those buffered at the stop: the quit's line
// counts them all. The run is the replay of a recorded one (command 23),
// which writes no recording of its own, so that the file-size limit cuts the
// list file alone; the events of the file and the count make the events the
// recording holds that list mode keeps.
TEST_P(QuitReport, TheQuitCountsEveryEventTheCutListFileMisses) {
    const BoardCase& board = GetParam();
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("counted.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_TRUE(waitFor([&] { return entries(0) >= 20000; }, 60000ms));
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    Recorded recorded = decodeRunFile(recordedFile("counted.zrn"), board.channels);

    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("counted.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(0)), SUCCESS);
    ASSERT_EQ(status(SET_LIST, textListSettings(0, "list_ch00.txt", 100)), SUCCESS) << server_->log("SRV_ListLog.txt");
    limitFileSize(server_->pid(), 128 * 1024);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_TRUE(waitFor([&] { return spectrum(0).histogrammed() >= recorded.histogrammable[0]; }, 60000ms));
    limitFileSize(server_->pid(), RLIM_INFINITY);

    std::vector<std::string> lines = quit(RESOURCE);
    ASSERT_EQ(lines.size(), 1u) << server_->standardError();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, listFileLine("list_ch00.txt", details("SRV_ListLog.txt"))))
        << lines[0];
    std::vector<listtest::ListedEvent> listed;
    ASSERT_TRUE(listtest::parseTextListFile(readFile(workFile("list_ch00.txt")), &listed));
    const uint64_t missing = std::stoull(match[1]);
    std::cout << "[ measured ] " << board.name << ": the quit counts " << missing << " events missing; the file holds "
              << listed.size() << " of the " << recorded.listable[0] << " the recording holds\n";
    EXPECT_EQ(listed.size() + missing, recorded.listable[0]);
}

// A list file and the recording cut at once: the stop's reply answers the
// first (the list file), and the recording, which no reply carried, is the
// quit's line and its exit code.
TEST_P(QuitReport, EveryFailureOfAStopReachesTheReplyOrTheQuit) {
    ASSERT_EQ(status(SET_LIST, textListSettings(0, "list_ch00.txt", 100)), SUCCESS);
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("both.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    fs::path rawData = recordedFile("both.zrn");
    const fs::path list = workFile("list_ch00.txt");
    ASSERT_TRUE(waitFor([&] { return sizeOf(list) > 65536 && sizeOf(rawData) > 65536; }, 60000ms));
    limitFileSize(server_->pid(), 16 * 1024); // below both: their next writes fail
    EXPECT_TRUE(waitFor(
        [&] {
            return contains(boardLog(), "Error in handleListMode.") &&
                   contains(server_->log("ZarnROBuffDumperLog.txt"), "Can't write buffer");
        },
        60000ms))
        << boardLog();
    limitFileSize(server_->pid(), RLIM_INFINITY);
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), RESOURCE) << boardLog();
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << "the reply's failure is answered once";

    std::vector<std::string> lines = quit(DUMPER_CLOSE);
    EXPECT_EQ(lines, std::vector<std::string>{"MorvaneServer did not save the whole recording: raw-data file " +
                                              ("Run" / rawData.filename()).string() + " is incomplete: " +
                                              std::strerror(EFBIG) + " (status -27)" + details("SRV_CommonLog.txt")});
}

// Command 35 text lists on channels 0 and 1, and a stop criterion of total
// counts on both: each criterion stops its channel on the register-level
// device, the board once elsewhere, and both list files are cut by then.
// The next stop answers the first failure, the quit tells the other with its
// exit code; every line names its file.
TEST_P(QuitReport, EveryCriterionStopsFailureReachesTheReplyOrTheQuit) {
    const BoardCase& board = GetParam();
    if (board.channels < 2)
        GTEST_SKIP() << board.name << " has one channel";
    const int32_t PARAM_CH_STOP_MODE_TOTAL_COUNTS = 1067;
    const double LIMIT_COUNTS = 3000; // far more text lines than the file-size limit holds
    for (int32_t ch : {0, 1}) {
        std::string file = "list_ch0" + std::to_string(ch) + ".txt";
        ASSERT_EQ(status(SET_LIST, textListSettings(ch, file, 100)), SUCCESS);
        ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, ch, LIMIT_COUNTS)), SUCCESS);
    }
    limitFileSize(server_->pid(), 16 * 1024);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    // Each list file's stop logs its failure (the register-level device's
    // criteria stop their channels one by one, the others' the board once).
    EXPECT_TRUE(waitFor(
        [&] {
            std::string stopped = server_->log("SRV_ListLog.txt");
            return contains(stopped, "list_ch00.txt: File too large") &&
                   contains(stopped, "list_ch01.txt: File too large");
        },
        60000ms))
        << boardLog();
    limitFileSize(server_->pid(), RLIM_INFINITY);
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), RESOURCE) << boardLog();
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS);
    std::smatch answered;
    std::string log = server_->log("SRVBoardThreadLog.txt");
    ASSERT_TRUE(std::regex_search(log, answered,
                                  std::regex("Command 9 answers the failure \\(-17\\) of the run: list file "
                                             "(list_ch0[01]\\.txt) cannot be written")))
        << log;
    const std::string other = answered[1] == "list_ch00.txt" ? "list_ch01.txt" : "list_ch00.txt";

    std::vector<std::string> lines = quit(RESOURCE);
    ASSERT_EQ(lines.size(), 1u) << server_->standardError();
    EXPECT_TRUE(std::regex_match(lines[0], listFileLine(other, details("SRV_ListLog.txt")))) << lines[0];
}

// A failure kept on the live board belongs to it: command 23 replaces the
// board by the replay of a clean recording, whose start and stop answer 0;
// the quit tells the live board's failure with its exit code.
TEST_P(QuitReport, AFailureOfTheBoardThatCommand23ClosedIsToldByTheQuit) {
    const int32_t PARAM_CH_STOP_MODE_TOTAL_COUNTS = 1067;
    const double LIMIT_COUNTS = 3000;
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("clean.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_TRUE(waitFor([&] { return entries(0) >= 200; }, 60000ms));
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();

    // Channel 0's criterion stops the run while its list file can't be
    // written: its failure waits for the client's next start or stop.
    ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(0)), SUCCESS);
    ASSERT_EQ(status(SET_LIST, textListSettings(0, "list_ch00.txt", 100)), SUCCESS);
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, 0, LIMIT_COUNTS)), SUCCESS);
    limitFileSize(server_->pid(), 16 * 1024);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_TRUE(waitFor([&] { return entries(0) >= LIMIT_COUNTS; }, 60000ms));
    // The criterion's stop logs its failure once its drain has ended.
    EXPECT_TRUE(waitFor([&] { return contains(boardLog(), "Error in automatic stop acquisition (-17)"); }, 30000ms))
        << boardLog();
    limitFileSize(server_->pid(), RLIM_INFINITY);

    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("clean.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    EXPECT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();

    std::vector<std::string> lines = quit(RESOURCE);
    ASSERT_EQ(lines.size(), 1u) << server_->standardError();
    EXPECT_TRUE(std::regex_match(lines[0], listFileLine("list_ch00.txt", details("SRV_ListLog.txt")))) << lines[0];
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
