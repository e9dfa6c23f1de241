// The built server on the simulated board, driven over TCP: start, wait,
// fetch and stop; run files named, written, listed and replayed; list mode
// written to its files and fetched with command 36.
#include <gtest/gtest.h>

#include <set>

#include "../server/ServerRequests.h"

using namespace srvtest;
using namespace std::chrono_literals;

namespace {

const int16_t SUCCESS = 0;
const int16_t INVALID_FILE_NAME = -30;
const int16_t FILE_NOT_FOUND = -28;
const int16_t UNSUPPORTED = -33;
const int16_t NO_WAVEFORM = -40;

using namespace srvtest::command;

class AcquisitionServer : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = freePort();
        server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"-p", std::to_string(port_)});
        ASSERT_TRUE(server_->waitReady()) << server_->log() << server_->log("SRV_CommonLog.txt");
        client_ = std::make_unique<Client>(port_);
        ASSERT_TRUE(client_->connected());
    }
    void TearDown() override {
        if (client_ && client_->connected()) {
            auto reply = client_->request(QUIT, masks(0, 0));
            EXPECT_TRUE(reply && reply->status() == SUCCESS);
            EXPECT_EQ(server_->waitExit(60000ms), 0) << boardLog();
        }
    }

    int16_t status(uint16_t command, const Bytes& payload = {}) {
        auto reply = client_->request(command, payload);
        EXPECT_TRUE(reply);
        return reply ? reply->status() : INT16_MIN;
    }
    // The board thread's log with the library's, which explain a failed start,
    // stop or readout.
    std::string boardLog() const {
        return server_->log("SRVBoardThreadLog.txt") + server_->log("ZarnDPPLayerLog.txt") +
               server_->log("ZarnBoard_GENERICLog.txt");
    }
    fs::path work() const { return server_->workDir(); }

    // Total entries of a channel's energy spectrum.
    uint64_t entries(uint32_t channel) {
        auto reply = client_->request(GET_SPECTRUM, spectrumRequest(0x40, channel));
        EXPECT_TRUE(reply && reply->status() == SUCCESS && reply->payload.size() == 10);
        return reply && reply->payload.size() == 10 ? getU64(reply->payload, 2) : 0;
    }
    void clearSpectrum(uint32_t channel) { EXPECT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(channel)), SUCCESS); }
    bool waitForEntries(uint32_t channel, uint64_t atLeast) {
        return waitFor([&] { return entries(channel) >= atLeast; }, 30000ms);
    }

    uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<Client> client_;
};

// ------------------------------------------------------- the main road

TEST_F(AcquisitionServer, StartFillsTheSpectrumAndStopEndsIt) {
    clearSpectrum(0);
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS) << boardLog();
    ASSERT_TRUE(waitForEntries(0, 50)) << boardLog();
    ASSERT_EQ(status(STOP, acquisitionRequest()), SUCCESS) << boardLog();
    uint64_t stopped = entries(0);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(entries(0), stopped);
    // A second stop of the idle board goes through the board thread again.
    EXPECT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
    EXPECT_NE(boardLog().find("Acquisition stopped."), std::string::npos);
}

// A run file named with command 22 records one run; command 23 replays the
// recorded buffers through the same decoding.
TEST_F(AcquisitionServer, RunFileRecordsOneRunAndReplaysIt) {
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("first.zrn")), SUCCESS);
    clearSpectrum(1);
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS) << server_->log("SRV_CommonLog.txt");
    ASSERT_TRUE(waitForEntries(1, 200)) << boardLog();
    ASSERT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
    uint64_t live = entries(1);

    std::string line = readFile(work() / "Run" / "first.zrn");
    std::istringstream words(line);
    std::string boardName, rawFile;
    words >> boardName >> rawFile;
    EXPECT_EQ(boardName, "OR5780_1101");
    EXPECT_EQ(line, boardName + " " + rawFile + "\n");
    EXPECT_EQ(rawFile.rfind("Run/", 0), 0u) << rawFile;
    ASSERT_TRUE(fs::exists(work() / rawFile)) << rawFile;
    uintmax_t recorded = fs::file_size(work() / rawFile);
    EXPECT_GT(recorded, 1000u);

    // The path was emptied: the next start writes no run file, records nothing.
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
    EXPECT_EQ(fs::file_size(work() / rawFile), recorded);
    size_t runFiles = 0;
    for (const auto& entry : fs::directory_iterator(work() / "Run"))
        runFiles += entry.path().extension() == ".zrn";
    EXPECT_EQ(runFiles, 1u);

    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("first.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    EXPECT_NE(server_->log("SRVAcquisitionControlLog.txt").find("Replaying raw-data file " + rawFile + "."),
              std::string::npos);
    clearSpectrum(1);
    // The replayed events are listed as live ones are.
    std::string listFile = (work() / "replay-list.txt").string();
    Bytes list = dataRequest(0x2F, 1);
    putU32(list, 1);
    putU32(list, 0);
    Bytes name = fixedText(listFile, 401);
    list.insert(list.end(), name.begin(), name.end());
    putU32(list, 1);
    putU32(list, 65536);
    ASSERT_EQ(status(SET_LIST, list), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS) << boardLog();
    // The replay feeds every recorded buffer, the drain of the stop included.
    ASSERT_TRUE(waitForEntries(1, live)) << boardLog();
    EXPECT_EQ(status(STOP, acquisitionRequest()), SUCCESS) << boardLog();
    std::string listed = readFile(listFile);
    EXPECT_GE(static_cast<uint64_t>(std::count(listed.begin(), listed.end(), '\n')), live + 1);

    // A start on the replay with a run-file path leaves an empty run file.
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("replayed.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS);
    EXPECT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
    ASSERT_TRUE(fs::exists(work() / "Run" / "replayed.zrn"));
    EXPECT_EQ(fs::file_size(work() / "Run" / "replayed.zrn"), 0u);
}

TEST_F(AcquisitionServer, Command30AnswersNoWaveformUnlessTheChannelRunsWithWaveformsOn) {
    EXPECT_EQ(status(GET_WAVEFORM, dataRequest(1, 0)), NO_WAVEFORM);
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS)
        << server_->log("SRVParameterLog.txt");
    // Simulated waveforms are costly: channel 0 alone is enough.
    for (int32_t channel = 1; channel < 8; channel++)
        ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_ENABLED, channel, 0.0)), SUCCESS);
    EXPECT_EQ(status(GET_WAVEFORM, dataRequest(1, 0)), NO_WAVEFORM); // not running
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS);
    bool got = waitFor(
        [&] {
            auto reply = client_->request(GET_WAVEFORM, dataRequest(0x5, 0));
            return reply && reply->status() == SUCCESS && reply->payload.size() > 2;
        },
        20000ms);
    EXPECT_TRUE(got) << server_->log("SRV_WaveformsLog.txt");
    auto reply = client_->request(GET_WAVEFORM, dataRequest(0x5, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ((reply->payload.size() - 2) % 3, 0u); // n 16-bit samples and n digital samples
    EXPECT_EQ(status(GET_WAVEFORM, dataRequest(1, 8)), UNSUPPORTED);
    ASSERT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
}

// ------------------------------------------------------------ list mode

TEST_F(AcquisitionServer, ListModeWritesTheTextFileAndBuffersForCommand36) {
    // Channel 2: text file of time tags and flags; channel 3: no file.
    std::string listFile = (work() / "lists" / "ch2.txt").string();
    Bytes text = dataRequest(0x2F, 2);
    putU32(text, 1);
    putU32(text, 0);
    Bytes name = fixedText(listFile, 401);
    text.insert(text.end(), name.begin(), name.end());
    putU32(text, 5);
    putU32(text, 100);
    ASSERT_EQ(status(SET_LIST, text), SUCCESS) << server_->log("SRV_ListLog.txt");
    Bytes none = dataRequest(0x2B, 3);
    putU32(none, 1);
    putU32(none, 2);
    putU32(none, 7);
    putU32(none, 1000);
    ASSERT_EQ(status(SET_LIST, none), SUCCESS);

    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS) << server_->log("SRV_ListLog.txt");
    ASSERT_TRUE(waitFor(
        [&] {
            auto reply = client_->request(GET_LIST, dataRequest(1u << 6, 3));
            return reply && reply->status() == SUCCESS && getU32(reply->payload, 2) == 1000;
        },
        30000ms))
        << boardLog();
    ASSERT_EQ(status(STOP, acquisitionRequest()), SUCCESS);

    std::string written = readFile(listFile);
    ASSERT_EQ(written.rfind("TIMETAG\t\tFLAGS\t\n", 0), 0u) << written.substr(0, 100);
    std::istringstream lines(written.substr(written.find('\n') + 1));
    std::string line;
    size_t count = 0;
    uint64_t previous = 0;
    while (std::getline(lines, line)) {
        unsigned long long timeTag = 0;
        unsigned flags = 0;
        char tail = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%llu\t0x%8X%c", &timeTag, &flags, &tail), 3) << line;
        EXPECT_EQ(tail, '\t');
        EXPECT_EQ(line.size(), line.find('\t') + 1 + 10 + 1) << line;
        EXPECT_GE(timeTag, previous);
        previous = timeTag;
        count++;
    }
    EXPECT_GT(count, 100u);

    // Without a file the first 1000 events wait for command 36, which empties
    // the buffer.
    auto reply = client_->request(GET_LIST, dataRequest(0x3C0, 3));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status(), SUCCESS);
    ASSERT_EQ(getU32(reply->payload, 2), 1000u);
    EXPECT_EQ(reply->payload.size(), 2u + 4 + 1000 * (8 + 2 + 4));
    for (size_t i = 1; i < 1000; i++)
        EXPECT_GE(getU64(reply->payload, 6 + 8 * i), getU64(reply->payload, 6 + 8 * (i - 1)));
    reply = client_->request(GET_LIST, dataRequest(1u << 6, 3));
    ASSERT_TRUE(reply);
    EXPECT_EQ(getU32(reply->payload, 2), 0u);
}

// ------------------------------------------------------------ run files

TEST_F(AcquisitionServer, RunFileNamesMustStayInTheRunFolder) {
    struct Case {
        std::string name;
        int16_t status;
    } cases[] = {
        {"run.zrn", SUCCESS},
        {"noending", INVALID_FILE_NAME},
        {"run.zrn.bak", INVALID_FILE_NAME},
        {"run.ZRN", INVALID_FILE_NAME},
        {"sub/run.zrn", INVALID_FILE_NAME},
        {"..\\run.zrn", INVALID_FILE_NAME},
        {"", INVALID_FILE_NAME},
        {std::string(195, 'a') + ".zrn", SUCCESS},
        {std::string(196, 'a') + ".zrn", INVALID_FILE_NAME}, // 200 characters leave no room for the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(status(SET_RUN_FILE, runFileName(c.name)), c.status);
    }
    EXPECT_EQ(status(SET_RUN_FILE, Bytes{0}), SUCCESS);
    EXPECT_EQ(status(SET_RUN_FILE, Bytes{}), -6);
    EXPECT_EQ(status(SET_RUN_FILE, Bytes{1, 201, 0, 0, 0}), -6);

    // Loading obeys the same rule: a client can't reach files outside "Run".
    std::ofstream(work() / "outside.zrn") << "OR5780_1101 Run/none.dat\n";
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("../outside.zrn", 200)), INVALID_FILE_NAME);
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("..\\outside.zrn", 200)), INVALID_FILE_NAME);
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("outside.txt", 200)), INVALID_FILE_NAME);
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("missing.zrn", 200)), FILE_NOT_FOUND);
    // A run file whose raw-data file is gone leaves the board as it was.
    std::ofstream(work() / "Run" / "dangling.zrn") << "OR5780_1101 Run/none.dat\n";
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("dangling.zrn", 200)), -7);
    EXPECT_EQ(status(START, acquisitionRequest()), SUCCESS);
    EXPECT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
    // A file that is no raw-data file can't be replayed: its header is read
    // before the live board is closed, which serves on untouched.
    std::ofstream(work() / "Run" / "garbage.dat") << "not a raw-data file";
    std::ofstream(work() / "Run" / "garbage.zrn") << "OR5780_1101 Run/garbage.dat\n";
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("garbage.zrn", 200)), -7);
    std::string log = server_->log("SRVAcquisitionControlLog.txt");
    EXPECT_NE(log.find("Can't read the header of raw-data file Run/garbage.dat"), std::string::npos) << log;
    EXPECT_EQ(log.find("Opening the previous board again."), std::string::npos) << log;
    clearSpectrum(0);
    EXPECT_EQ(status(START, acquisitionRequest()), SUCCESS) << boardLog();
    EXPECT_TRUE(waitForEntries(0, 10)) << boardLog();
    EXPECT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
}

// A run file that names no raw-data file (fewer than two words) is refused
// with the file named in the log, and nothing changes: the live board stays,
// the run file is left as it was.
TEST_F(AcquisitionServer, RunFileThatNamesNoRecordingIsRefused) {
    const int16_t FILE_READ = -34;
    const std::string contents[] = {
        "", "\n", "   \n\t\n", "OR5780_1101\n", "OR5780_1101", std::string("\x01\xff\x7f", 3)};
    int n = 0;
    for (const std::string& content : contents) {
        std::string name = "norecording" + std::to_string(n++) + ".zrn";
        SCOPED_TRACE(name);
        std::ofstream(work() / "Run" / name, std::ios::binary) << content;
        EXPECT_EQ(status(LOAD_RUN_FILE, fixedText(name, 200)), FILE_READ);
        EXPECT_NE(server_->log("SRVAcquisitionControlLog.txt").find("Run file Run/" + name + " names no raw-data file"),
                  std::string::npos);
        EXPECT_EQ(readFile(work() / "Run" / name), content);
    }
    EXPECT_EQ(server_->log("SRV_CommonLog.txt").find("Adding board from file"), std::string::npos);
    // Still the live board: it acquires.
    clearSpectrum(0);
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS) << boardLog();
    EXPECT_TRUE(waitForEntries(0, 10)) << boardLog();
    EXPECT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
}

// A run file may name a recording only inside the working folder, reached
// without a link; command 24 lists the folder "Run" only, never where a link
// in its place leads. Each refusal leaves the live board as it was.
TEST_F(AcquisitionServer, ReplaysAndListingsStayInsideTheWorkingFolder) {
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("real.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest()), SUCCESS) << boardLog();
    EXPECT_TRUE(waitForEntries(0, 10)) << boardLog();
    ASSERT_EQ(status(STOP, acquisitionRequest()), SUCCESS);
    std::istringstream line(readFile(work() / "Run" / "real.zrn"));
    std::string boardName, rawFile;
    line >> boardName >> rawFile;
    const uint64_t live = entries(0);

    // The same recording outside the working folder, and ways to reach it.
    TempDir outside;
    fs::copy_file(work() / rawFile, outside.path() / "rec.dat");
    fs::create_directory_symlink(outside.path(), work() / "Run" / "away");
    fs::create_symlink(outside.path() / "rec.dat", work() / "Run" / "linked.dat");
    fs::create_directories(work() / "sub");
    const struct {
        const char* runFile;
        std::string rawData;
    } refused[] = {
        {"absolute.zrn", (outside.path() / "rec.dat").string()},
        {"relative.zrn", (fs::relative(outside.path(), work()) / "rec.dat").string()},
        {"viafolder.zrn", "Run/away/rec.dat"},
        {"viafile.zrn", "Run/linked.dat"},
        {"backout.zrn", "sub/../Run/away/rec.dat"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.runFile);
        std::ofstream(work() / "Run" / c.runFile) << boardName << " " << c.rawData << "\n";
        EXPECT_EQ(status(LOAD_RUN_FILE, fixedText(c.runFile, 200)), INVALID_FILE_NAME);
    }
    std::string log = server_->log("SRVAcquisitionControlLog.txt");
    EXPECT_EQ(log.find("Replaying raw-data file"), std::string::npos) << log;
    EXPECT_NE(log.find("Raw-data file '" + (outside.path() / "rec.dat").string() +
                       "' leads outside the server's folders: refused."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Raw-data file 'Run/linked.dat' is a link: refused."), std::string::npos) << log;
    // Still the live board, its spectrum as it was.
    EXPECT_EQ(entries(0), live);
    EXPECT_EQ(server_->log("SRV_CommonLog.txt").find("Adding board from file"), std::string::npos);

    // Command 24 leaves out the link named like a run file.
    fs::create_symlink(work() / "Run" / "real.zrn", work() / "Run" / "alias.zrn");
    auto reply = client_->request(LIST_RUN_FILES);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status(), SUCCESS);
    std::set<std::string> listed;
    for (uint32_t i = 0; i < getU32(reply->payload, 2); i++)
        listed.insert(reinterpret_cast<const char*>(&reply->payload[6 + 200 * i]));
    EXPECT_EQ(listed.count("alias.zrn"), 0u);
    EXPECT_EQ(listed.count("real.zrn"), 1u);

    // "Run" itself a link to an outside folder: neither listed nor loaded.
    std::ofstream(outside.path() / "secret.zrn") << boardName << " rec.dat\n";
    fs::rename(work() / "Run", work() / "Run.kept");
    fs::create_directory_symlink(outside.path(), work() / "Run");
    reply = client_->request(LIST_RUN_FILES);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), INVALID_FILE_NAME);
    EXPECT_EQ(reply->payload.size(), 2u);
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("secret.zrn", 200)), INVALID_FILE_NAME);
    fs::remove(work() / "Run");
    fs::rename(work() / "Run.kept", work() / "Run");

    // The recording itself replays from inside the working folder.
    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("real.zrn", 200)), SUCCESS);
}

TEST_F(AcquisitionServer, Command24ListsAtMost200RunFiles) {
    for (int i = 0; i < 250; i++)
        std::ofstream(work() / "Run" / ("r" + std::to_string(i) + ".zrn")).put('\n');
    std::ofstream(work() / "Run" / "other.dat").put('\n');
    std::ofstream(work() / "Run" / "tricky.zrn.old").put('\n');
    auto reply = client_->request(LIST_RUN_FILES);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status(), SUCCESS);
    uint32_t count = getU32(reply->payload, 2);
    EXPECT_EQ(count, 200u);
    ASSERT_EQ(reply->payload.size(), 6u + 200 * count);
    for (uint32_t i = 0; i < count; i++) {
        std::string name(reinterpret_cast<const char*>(&reply->payload[6 + 200 * i]));
        EXPECT_EQ(name.substr(name.size() - 4), ".zrn") << name;
        EXPECT_EQ(name[0], 'r');
    }
}

} // namespace
