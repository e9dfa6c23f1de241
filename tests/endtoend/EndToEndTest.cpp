// Every simulated board that the server can open, from its command line to
// the replay of what it recorded, driven over TCP as a client drives it:
// board information, an acquisition on every channel, the spectra (or the
// waveforms of the standard-waveform firmware, which has no spectra), the
// stop, the run file, and the replay of that run file.
//
// What the client received is checked against what the board produced: the
// raw-data file of the run, decoded here through the library, holds every
// buffer the board delivered, so every event of it must be in the live
// spectra and in the list file, and the replay must give the same spectra
// bin for bin.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <regex>
#include <set>

#include "EndToEndSupport.h"
#include "ZarnBoardAccess.h"
#include "ZarnROBuffDumper.h"
#include "ZarnROBuffDumperRecords.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t DUMPER_OPEN = -26;
const int16_t DUMPER_CLOSE = -27;
const int16_t FILE_READ = -34;

// The simulated boards' profiles with every channel's signal rate scaled
// (a board without a <Signal> has the default 1000 counts/s), written into
// folder: the file for ZARN_SIMBOARD_FILE.
fs::path profilesWithRates(const fs::path& folder, double factor) {
    std::string profiles = readFile(fs::path(MORVANE_DEFINITIONS_DIR) / "SimulatedBoards.xml");
    const std::regex rate("(<Signal[^>]*\\brate=\")([0-9.]+)\"");
    std::string scaled;
    size_t done = 0;
    for (size_t end = profiles.find("</Board>"); end != std::string::npos; end = profiles.find("</Board>", done)) {
        std::string board = profiles.substr(done, end - done);
        if (board.find("<Signal") == std::string::npos)
            board += "  <Signal rate=\"" + std::to_string(1000.0 * factor) + "\"/>\n  ";
        std::smatch match;
        if (std::regex_search(board, match, rate))
            board = match.prefix().str() + match[1].str() + std::to_string(std::stod(match[2].str()) * factor) + "\"" +
                    match.suffix().str();
        scaled += board + "</Board>";
        done = end + std::strlen("</Board>");
    }
    scaled += profiles.substr(done);
    fs::path file = folder / "SimulatedBoards.xml";
    std::ofstream(file) << scaled;
    return file;
}

// Bytes of every log file of the folder.
uintmax_t logBytes(const fs::path& folder) {
    uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file())
            bytes += entry.file_size();
    return bytes;
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        count++;
    return count;
}

// Entries that every channel gathers before the live run is stopped.
const uint64_t kLiveEntries = 200;

class EveryBoard : public ServerOnBoard {
protected:
    // The environment the server starts with (none but the test's folders).
    virtual std::map<std::string, std::string> environment() { return {}; }

    void SetUp() override { startServer(environment()); }

    uint64_t histogrammed(uint32_t channel) { return spectrum(channel).histogrammed(); }

    // Every channel has reached its count (a live run or its replay).
    bool waitForEveryChannel(const std::function<uint64_t(uint32_t)>& goal) {
        return waitFor(
            [&] {
                for (uint32_t ch = 0; ch < GetParam().channels; ch++)
                    if (histogrammed(ch) < goal(ch))
                        return false;
                return true;
            },
            60000ms);
    }
    bool waveformOnEveryChannel() {
        return waitFor(
            [&] {
                for (uint32_t ch = 0; ch < GetParam().channels; ch++) {
                    auto reply = client_->request(GET_WAVEFORM, dataRequest(0x1, static_cast<int32_t>(ch)));
                    if (!reply || reply->status() != SUCCESS || reply->payload.size() <= 2)
                        return false;
                }
                return true;
            },
            60000ms);
    }
};

TEST_P(EveryBoard, AcquiresRecordsAndReplaysExactly) {
    const BoardCase& board = GetParam();

    // Board information: model name, channel count and serial number.
    auto info = client_->request(BOARD_INFO, [] {
        Bytes b;
        putU64(b, (1u << 0) | (1u << 2) | (1u << 10));
        return b;
    }());
    ASSERT_TRUE(info);
    ASSERT_EQ(info->status(), SUCCESS);
    ASSERT_EQ(info->payload.size(), 2u + 12 + 4 + 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&info->payload[2])), board.model);
    EXPECT_EQ(getU32(info->payload, 14), board.channels);
    EXPECT_EQ(getU32(info->payload, 18), board.serial);

    ASSERT_EQ(status(SET_RUN_FILE, runFileName("endtoend.zrn")), SUCCESS);
    if (board.waveformsOnly) {
        ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
        ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        EXPECT_TRUE(waveformOnEveryChannel()) << boardLog();
        ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        ASSERT_TRUE(fs::exists(recordedFile("endtoend.zrn")));
        ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("endtoend.zrn", 200)), SUCCESS) << boardLog();
        ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        EXPECT_TRUE(waveformOnEveryChannel()) << boardLog();
        EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        return;
    }

    // Channel 0 lists the time tag of every event into a binary file.
    fs::path listFile = server_->workDir() / "lists" / "ch0.bin";
    Bytes list = dataRequest(0x2F, 0);
    putU32(list, 1); // enabled
    putU32(list, 1); // binary
    Bytes name = fixedText(listFile.string(), 401);
    list.insert(list.end(), name.begin(), name.end());
    putU32(list, 1);    // the time tag alone: 8 bytes an event
    putU32(list, 1000); // flushed every 1000 events
    ASSERT_EQ(status(SET_LIST, list), SUCCESS) << server_->log("SRV_ListLog.txt");

    // The live run, on every channel.
    for (uint32_t ch = 0; ch < board.channels; ch++)
        ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    ASSERT_TRUE(waitForEveryChannel([](uint32_t) { return kLiveEntries; })) << boardLog();
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::vector<Spectrum> live;
    for (uint32_t ch = 0; ch < board.channels; ch++)
        live.push_back(spectrum(ch));

    // Everything the board delivered reached the spectra and the list file.
    Recorded recorded = decodeRunFile(recordedFile("endtoend.zrn"), board.channels);
    for (uint32_t ch = 0; ch < board.channels; ch++)
        EXPECT_EQ(live[ch].histogrammed(), recorded.histogrammable[ch]) << "channel " << ch;
    EXPECT_EQ(fs::file_size(listFile), 8 * recorded.listable[0]);

    // The replay of the run file gives the same spectra, bin for bin.
    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("endtoend.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    for (uint32_t ch = 0; ch < board.channels; ch++)
        ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    ASSERT_TRUE(waitForEveryChannel([&](uint32_t ch) { return recorded.histogrammable[ch]; })) << boardLog();
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    for (uint32_t ch = 0; ch < board.channels; ch++) {
        Spectrum replayed = spectrum(ch);
        EXPECT_EQ(replayed.histogrammed(), live[ch].histogrammed()) << "channel " << ch;
        EXPECT_TRUE(replayed == live[ch]) << "channel " << ch << ": the replay's bins differ from the live run's";
    }

    // Real and dead time that the board (or its replay) doesn't give are
    // reported at most once a run, not in every cycle.
    std::string threadLog = server_->log("SRVBoardThreadLog.txt");
    size_t reports = 0;
    for (size_t at = threadLog.find("Error in c_getRealtimeAndDeadtime"); at != std::string::npos;
         at = threadLog.find("Error in c_getRealtimeAndDeadtime", at + 1))
        reports++;
    EXPECT_LE(reports, 2u) << "live run and replay";
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, EveryBoard, ::testing::ValuesIn(kBoards), caseName);

// Waveforms of record lengths from the smallest (a request below it) through
// values between the firmware's steps: every read of the run succeeds (its
// stop answers 0 and no read failed), the spectra hold every event of the run
// file, and the waveforms are the record length, up to the firmware's next
// whole unit of samples (at most 12).
// (At a quarter of the usual rate: waveforms of every event, recorded, are a
// heavy load for a sanitised server on a busy machine.)
class RecordLengths : public EveryBoard {
protected:
    std::map<std::string, std::string> environment() override {
        return {{"ZARN_SIMBOARD_FILE", profilesWithRates(folder_.path(), 0.25).string()}};
    }
    TempDir folder_;
};

TEST_P(RecordLengths, WaveformsOfEveryRecordLengthReachTheClient) {
    const BoardCase& board = GetParam();
    const int32_t PARAM_RECLEN = 0;
    auto info = client_->request(BOARD_INFO, [] {
        Bytes b;
        putU64(b, 1u << 16);
        return b;
    }());
    ASSERT_TRUE(info && info->status() == SUCCESS);
    const double periodNs = getU32(info->payload, 2) / 1000.0;
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
    int run = 0;
    for (double asked : {1.0, 200.0, 1001.0}) {
        SCOPED_TRACE(testing::Message() << "record length " << asked << " ns asked");
        ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_RECLEN, -1, asked)), SUCCESS);
        Bytes where;
        putU64(where, 1);
        for (uint32_t v : {2u, static_cast<uint32_t>(PARAM_RECLEN), 7u})
            putU32(where, v);
        auto taken = client_->request(GET_PARAMETER, where);
        ASSERT_TRUE(taken && taken->status() == SUCCESS);
        double length;
        uint64_t bits = getU64(taken->payload, 2);
        std::memcpy(&length, &bits, sizeof length);

        std::string runFile = "reclen" + std::to_string(run++) + ".zrn";
        ASSERT_EQ(status(SET_RUN_FILE, runFileName(runFile)), SUCCESS);
        for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly; ch++)
            ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
        const size_t failedReads = occurrences(boardLog(), "Data Error");
        ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        if (board.waveformsOnly)
            EXPECT_TRUE(waveformOnEveryChannel()) << boardLog();
        else
            EXPECT_TRUE(waitForEveryChannel([](uint32_t) { return kLiveEntries / 4; })) << boardLog();
        // The waveform the client gets (command 30 answers while acquiring).
        double samples = -1;
        auto ofThisLength = [&] {
            auto waveform = client_->request(GET_WAVEFORM, dataRequest(0x1, 0));
            if (!waveform || waveform->status() != SUCCESS)
                return false;
            samples = static_cast<double>((waveform->payload.size() - 2) / 2);
            return samples >= std::floor(length / periodNs) && samples < length / periodNs + 12;
        };
        EXPECT_TRUE(waitFor(ofThisLength, 10000ms)) << samples << " samples for " << length << " ns";
        ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        EXPECT_EQ(occurrences(boardLog(), "Data Error"), failedReads) << boardLog();
        if (board.waveformsOnly)
            continue;
        Recorded recorded = decodeRunFile(recordedFile(runFile), board.channels);
        for (uint32_t ch = 0; ch < board.channels; ch++)
            EXPECT_EQ(histogrammed(ch), recorded.histogrammable[ch]) << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, RecordLengths, ::testing::ValuesIn(kBoards), caseName);

// A board with no signal: a run of it records the header alone.
class EmptyRun : public EveryBoard {
protected:
    std::map<std::string, std::string> environment() override {
        return {{"ZARN_SIMBOARD_FILE", profilesWithRates(folder_.path(), 0.0).string()}};
    }
    TempDir folder_;
};

// A run with no event replays like any run: its reads find the end of the
// recording and the replay ends there, with no error and no flood of the log.
TEST_P(EmptyRun, ReplaysAndEndsWithNoError) {
    const BoardCase& board = GetParam();
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("empty.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    fs::path rawData = recordedFile("empty.zrn");
    {
        c_ROBuffDumper_t reader{};
        c_RawDataHeader_t header{};
        ASSERT_EQ(c_bdopenr(&reader, &header, rawData.c_str()), 0) << rawData;
        char byte[4];
        c_ReadoutBuffer_t buffer = {byte, sizeof byte, 0, ROBUF_ALLOC_NONE};
        EXPECT_EQ(c_bdreadrecord(&reader, &buffer, 0), BD_END_OF_FILE) << "the run recorded data";
        c_bdclose(&reader);
        c_bdfreeheader(&header);
    }

    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("empty.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly; ch++)
        ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
    uintmax_t before = logBytes(server_->logDir());
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::this_thread::sleep_for(3000ms);
    uintmax_t grown = logBytes(server_->logDir()) - before;
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::cout << "[ measured ] " << board.name << ": " << grown << " bytes of log in 3 s of replay\n";
    // What a start and a stop log, and nothing per read.
    EXPECT_LT(grown, 16384u) << boardLog().substr(0, 4000);
    std::string logs = boardLog();
    EXPECT_EQ(logs.find("Readout Buffer Error"), std::string::npos) << logs.substr(0, 4000);
    EXPECT_EQ(logs.find("Data Error"), std::string::npos) << logs.substr(0, 4000);
    for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly; ch++)
        EXPECT_EQ(histogrammed(ch), 0u) << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, EmptyRun, ::testing::ValuesIn(kBoards), caseName);

// The server's code of a parameter: its place among the parameters of its
// section of "ServerParams.xml" (board parameters from 0, channel ones from
// 1000).
int32_t serverParameterCode(const std::string& section, int32_t first, const std::string& name) {
    std::string params = readFile(fs::path(MORVANE_DEFINITIONS_DIR) / "ServerParams.xml");
    size_t begin = params.find("<" + section + ">"), end = params.find("</" + section + ">");
    if (begin == std::string::npos || end == std::string::npos)
        return -1;
    params = params.substr(begin, end - begin);
    const std::regex parameter("<Parameter codename=\"(PARAM_[A-Z0-9_]+)\"");
    int32_t code = first;
    for (auto it = std::sregex_iterator(params.begin(), params.end(), parameter); it != std::sregex_iterator();
         ++it, ++code)
        if ((*it)[1].str() == name)
            return code;
    return -1;
}

int32_t boardParameterCode(const std::string& name) { return serverParameterCode("SRVBoardParameters", 0, name); }

int32_t channelParameterCode(const std::string& name) {
    return serverParameterCode("SRVChannelParameters", 1000, name);
}

// The logs of the acquisition: the board thread with the cycle, and the
// library's.
const char* const kAcquisitionLogs[] = {"SRVBoardThreadLog.txt", "ZarnDPPLayerLog.txt", "ZarnBoard_GENERICLog.txt"};

// The acquisition's logs as they stand, to tell what is logged after.
std::map<std::string, size_t> logSizes(const fs::path& folder) {
    std::map<std::string, size_t> sizes;
    for (const char* log : kAcquisitionLogs)
        sizes[log] = readFile(folder / log).size();
    return sizes;
}

// The ERROR lines the acquisition logged since the sizes were taken.
std::string errorLinesSince(const fs::path& folder, const std::map<std::string, size_t>& before) {
    std::string found;
    for (const auto& [log, size] : before) {
        std::istringstream lines(readFile(folder / log).substr(size));
        for (std::string line; std::getline(lines, line);)
            if (line.find(" ERROR ") != std::string::npos)
                found += log + ": " + line + "\n";
    }
    return found;
}

// A board with no signal and its automatic trigger on: every event of the
// run is one the cycle's software triggers made.
class AutoTrigger : public EmptyRun {};

// The triggers reach the board however it is reached, and the client gets
// what they made; neither the run nor its replay (which has no board to
// calibrate, trigger or read counters from) logs an error.
TEST_P(AutoTrigger, TriggersArriveAndNoStartLogsAnError) {
    const BoardCase& board = GetParam();
    ASSERT_EQ(boardParameterCode("PARAM_WAVEFORMS"), PARAM_WAVEFORMS);
    const int32_t timeout = boardParameterCode("PARAM_AUTO_TRG_TIMEOUT");
    ASSERT_GE(timeout, 0);
    if (status(SET_PARAMETER, setParameter(timeout, -1, 20000.0)) != SUCCESS) {
        GTEST_SKIP() << board.name << " has no automatic trigger";
    }
    // A board the library sends channel triggers to has them on too (set in
    // the run, pinned in the replay).
    if (ZarnAccess_OfFamily(board.family)->channelSoftwareTrigger != nullptr) {
        ASSERT_EQ(channelParameterCode("PARAM_CH_ENABLED"), PARAM_CH_ENABLED);
        const int32_t channelTimeout = channelParameterCode("PARAM_CH_AUTO_TRG_TIMEOUT");
        ASSERT_GE(channelTimeout, 0);
        ASSERT_EQ(status(SET_PARAMETER, setParameter(channelTimeout, 0, 30000.0)), SUCCESS);
    }
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("autotrigger.zrn")), SUCCESS);
    const std::map<std::string, size_t> beforeStart = logSizes(server_->logDir());
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();

    Recorded recorded = decodeRunFile(recordedFile("autotrigger.zrn"), board.channels);
    uint64_t triggered = 0;
    for (uint32_t ch = 0; ch < board.channels; ch++)
        triggered += recorded.listable[ch];
    EXPECT_GT(triggered, 0u) << "no trigger reached the board";
    for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly; ch++)
        EXPECT_EQ(histogrammed(ch), recorded.histogrammable[ch]) << "channel " << ch;

    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("autotrigger.zrn", 200)), SUCCESS) << boardLog();
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::this_thread::sleep_for(1000ms);
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_EQ(errorLinesSince(server_->logDir(), beforeStart), "");
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, AutoTrigger, ::testing::ValuesIn(kBoards), caseName);

// A recording that its reads can't go through: every board whose firmware
// the simulator serves, so that every family's walker, the standard-waveform
// firmware and the device show it.
std::vector<BoardCase> damagedRunBoards() {
    std::vector<BoardCase> boards;
    for (const BoardCase& board : kBoards)
        if (board.simulated)
            boards.push_back(board);
    return boards;
}

class DamagedRun : public EveryBoard {
protected:
    // A short run at a quarter of the rate gives records enough.
    std::map<std::string, std::string> environment() override {
        return {{"ZARN_SIMBOARD_FILE", profilesWithRates(folder_.path(), 0.25).string()}};
    }
    TempDir folder_;
    // Records a short run and gives the raw-data file its run file names,
    // with the events of each channel that its replay must deliver.
    fs::path recordRun(Recorded* recorded) {
        EXPECT_EQ(status(SET_RUN_FILE, runFileName("damaged.zrn")), SUCCESS);
        EXPECT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        std::this_thread::sleep_for(1000ms);
        EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        fs::path rawData = recordedFile("damaged.zrn");
        *recorded = decodeRunFile(rawData, GetParam().channels);
        return rawData;
    }
    void append(const fs::path& file, const std::vector<uint32_t>& words, size_t times) {
        std::ofstream out(file, std::ios::binary | std::ios::app);
        for (size_t i = 0; i < times; i++)
            out.write(reinterpret_cast<const char*>(words.data()), static_cast<std::streamsize>(4 * words.size()));
    }
    std::string allLogs() const {
        std::string text;
        for (const auto& entry : fs::directory_iterator(server_->logDir()))
            text += readFile(entry.path());
        return text;
    }
};

// Records of size 0 after a recorded run: the replay delivers the run and
// ends at the first of them (logged once, with the file and its offset) as
// at the end of the file, and the client's next stop answers the loss (-34);
// replayed again, it ends there again and the next start answers it. The log
// stays small however many records follow.
TEST_P(DamagedRun, ZeroSizeRecordsEndTheReplayAndTheStopAnswersIt) {
    const BoardCase& board = GetParam();
    Recorded recorded;
    fs::path rawData = recordRun(&recorded);
    const uintmax_t damagedAt = fs::file_size(rawData);
    append(rawData, {0}, 200000);
    append(rawData, {16, 0xA0000004u, 1, 0, 0}, 1); // never reached

    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("damaged.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly; ch++)
        ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
    const uintmax_t before = logBytes(server_->logDir());
    const std::string ended = "ends at the unreadable data record at byte " + std::to_string(damagedAt) + ".";
    for (uint16_t answering : {STOP, START}) {
        SCOPED_TRACE(answering == STOP ? "answered by the stop" : "answered by the start");
        size_t endsBefore = occurrences(server_->log("ZarnROBuffDumperLog.txt"), ended);
        ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        EXPECT_TRUE(
            waitFor([&] { return occurrences(server_->log("ZarnROBuffDumperLog.txt"), ended) > endsBefore; }, 30000ms))
            << server_->log("ZarnROBuffDumperLog.txt").substr(0, 4000);
        std::this_thread::sleep_for(300ms); // nothing more may come
        EXPECT_EQ(occurrences(server_->log("ZarnROBuffDumperLog.txt"), ended), endsBefore + 1);
        EXPECT_NE(server_->log("ZarnROBuffDumperLog.txt").find(rawData.filename().string()), std::string::npos);
        for (uint32_t ch = 0; ch < board.channels && !board.waveformsOnly && answering == STOP; ch++)
            EXPECT_EQ(histogrammed(ch), recorded.histogrammable[ch]) << "channel " << ch;
        EXPECT_EQ(status(answering, acquisitionRequest(allChannels())), FILE_READ) << boardLog().substr(0, 4000);
        EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << "the failure is answered once";
    }
    uintmax_t grown = logBytes(server_->logDir()) - before;
    std::cout << "[ measured ] " << board.name << ": " << grown << " bytes of log for two damaged replays\n";
    EXPECT_LT(grown, 32768u) << allLogs().substr(0, 4000);
    EXPECT_EQ(occurrences(boardLog(), "Data Error"), 2u) << boardLog().substr(0, 4000);
}

// A replay that ended at a damaged record which no command answered is told
// by the quit on stderr, but the server lost nothing of its own there: the
// exit code stays 0 and the line says what the file lacks, not that
// something was not saved.
TEST_P(DamagedRun, AnUnansweredDamagedReplayIsToldByTheQuitWithoutTheExitCode) {
    Recorded recorded;
    fs::path rawData = recordRun(&recorded);
    append(rawData, {0}, 16);
    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("damaged.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_TRUE(waitFor([&] { return boardLog().find("has damaged data records") != std::string::npos; }, 30000ms))
        << boardLog().substr(0, 4000);

    auto reply = client_->request(QUIT, masks(0, 0));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), SUCCESS);
    EXPECT_EQ(server_->waitExit(60000ms), 0) << server_->output();
    std::vector<std::string> lines = linesOf(server_->standardError());
    ASSERT_EQ(lines.size(), 1u) << server_->standardError();
    EXPECT_EQ(lines[0].rfind("MorvaneServer could not replay all of a file: raw-data file ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(rawData.filename().string()), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("(status -34)"), std::string::npos) << lines[0];
    client_.reset();
}

// Records whose framing holds but whose aggregates don't decode fail every
// read of the replay without ending it: the log shows the first failures and
// counts the rest, and shown and counted make every failed read; the stop
// answers the loss, once. The run's records follow them again, so that the
// spectra show when the replay is past them.
TEST_P(DamagedRun, AReadFailingEveryCycleIsCountedNotLogged) {
    const BoardCase& board = GetParam();
    if (board.waveformsOnly)
        GTEST_SKIP() << "the standard-waveform walker reads no board aggregate";
    Recorded recorded;
    fs::path rawData = recordRun(&recorded);
    std::string intact = readFile(rawData);
    long dataStart = 0;
    {
        c_ROBuffDumper_t reader{};
        c_RawDataHeader_t header{};
        ASSERT_EQ(c_bdopenr(&reader, &header, rawData.c_str()), 0) << rawData;
        dataStart = ftell(reader.file);
        c_bdclose(&reader);
        c_bdfreeheader(&header);
    }
    const size_t failing = 50000;
    // A board aggregate of 3 words: shorter than its own header.
    append(rawData, {20, 0xA0000003u, 1, 0, 0, 0}, failing);
    std::ofstream(rawData, std::ios::binary | std::ios::app) << intact.substr(static_cast<size_t>(dataStart));

    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("damaged.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    for (uint32_t ch = 0; ch < board.channels; ch++)
        ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
    const uintmax_t before = logBytes(server_->logDir());
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_TRUE(waitForEveryChannel([&](uint32_t ch) { return 2 * recorded.histogrammable[ch]; }));
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), FILE_READ) << boardLog().substr(0, 4000);
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << "the loss is answered once";
    for (uint32_t ch = 0; ch < board.channels; ch++)
        EXPECT_EQ(histogrammed(ch), 2 * recorded.histogrammable[ch]) << "channel " << ch;

    std::string log = server_->log("SRVBoardThreadLog.txt");
    const std::string failed = "Data Error (-39).";
    const std::regex counted("Repeated ([0-9]+) more times in the last [0-9.]+ s: [^\\n]*Data Error \\(-39\\)\\.");
    size_t shown = occurrences(log, failed), countedReads = 0, countLines = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), counted), end; it != end; ++it, countLines++)
        countedReads += std::stoul((*it)[1].str());
    EXPECT_EQ(shown - countLines + countedReads, failing) << log.substr(0, 4000);
    EXPECT_LT(shown - countLines, 100u);
    uintmax_t grown = logBytes(server_->logDir()) - before;
    std::cout << "[ measured ] " << board.name << ": " << grown << " bytes of log for " << failing << " failed reads\n";
    EXPECT_LT(grown, 65536u) << allLogs().substr(0, 4000);
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, DamagedRun, ::testing::ValuesIn(damagedRunBoards()), caseName);

// A busy board recording onto a disk that fills: the server runs with a
// file-size limit (SIGXFSZ ignored, so that a write past it fails with
// EFBIG as a write to a full disk fails with ENOSPC), set once it serves so
// that only the raw-data file, which grows fastest, reaches it.
class FullDisk : public EveryBoard {
protected:
    static constexpr rlim_t kFileSizeLimit = 4u << 20;
    std::map<std::string, std::string> environment() override {
        // Waveforms fill the file fast enough at the usual rate.
        double factor = GetParam().waveformsOnly ? 1.0 : 20.0;
        return {{"ZARN_SIMBOARD_FILE", profilesWithRates(folder_.path(), factor).string()}};
    }
    void SetUp() override {
        signal(SIGXFSZ, SIG_IGN); // inherited by the server
        EveryBoard::SetUp();
    }
    // The server's file-size limit; RLIM_INFINITY lifts it.
    void limitFileSize(rlim_t bytes) {
        struct rlimit limit;
        ASSERT_EQ(prlimit(server_->pid(), RLIMIT_FSIZE, nullptr, &limit), 0);
        limit.rlim_cur = std::min(bytes, limit.rlim_max);
        ASSERT_EQ(prlimit(server_->pid(), RLIMIT_FSIZE, &limit, nullptr), 0) << std::strerror(errno);
    }
    std::string dumperLog() const { return server_->log("ZarnROBuffDumperLog.txt"); }
    TempDir folder_;
};

// The reads go on when the raw-data file can't be written; the failure is
// logged once, with the system's reason, and the stop that closes the
// recording answers it.
TEST_P(FullDisk, RecordingFailureIsLoggedOnceAndAnsweredByTheStop) {
    const BoardCase& board = GetParam();
    if (board.waveformsOnly)
        ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
    // No room for the header: the start answers that the raw-data file can't
    // be opened and starts nothing; the stop after it has nothing to report.
    // (The logs can't be written either while this limit holds.)
    limitFileSize(64);
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("none.zrn")), SUCCESS);
    EXPECT_EQ(status(START, acquisitionRequest(allChannels())), DUMPER_OPEN);
    limitFileSize(kFileSizeLimit);
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();

    ASSERT_EQ(status(SET_RUN_FILE, runFileName("full.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog() << dumperLog();
    ASSERT_TRUE(waitFor([&] { return dumperLog().find("Can't write buffer") != std::string::npos; }, 120000ms))
        << "the recording never reached the limit: " << fs::file_size(recordedFile("full.zrn")) << " bytes";
    // The acquisition goes on: two more seconds of reads that find the file
    // full, each of which used to log the failure again.
    uint64_t atFailure = board.waveformsOnly ? 0 : histogrammed(0);
    std::this_thread::sleep_for(2000ms);
    if (!board.waveformsOnly)
        EXPECT_GT(histogrammed(0), atFailure) << "the reads stopped with the recording";
    std::string failures = dumperLog();
    size_t lines = occurrences(failures, "Can't write buffer");
    std::cout << "[ measured ] " << board.name << ": " << lines << " lines of the write failure in 2 s\n";
    EXPECT_EQ(lines, 1u) << failures.substr(0, 2000);
    EXPECT_NE(failures.find(std::strerror(EFBIG)), std::string::npos) << failures.substr(0, 2000);
    EXPECT_EQ(boardLog().find("Data Error"), std::string::npos);

    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), DUMPER_CLOSE) << boardLog();
    std::string common = server_->log("SRV_CommonLog.txt");
    fs::path rawData = recordedFile("full.zrn");
    EXPECT_NE(common.find("Can't close buffer dumper. " + ("Run" / rawData.filename()).string() +
                          " is incomplete: " + std::strerror(EFBIG)),
              std::string::npos)
        << common.substr(common.size() > 2000 ? common.size() - 2000 : 0);
    EXPECT_LE(fs::file_size(rawData), kFileSizeLimit);
    // The next run records again, and its stop answers 0 (the limit is
    // lifted first: only the new file would reach it).
    limitFileSize(RLIM_INFINITY);
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("after.zrn")), SUCCESS);
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, FullDisk, ::testing::ValuesIn(kBoards), caseName);

// A stop criterion met once the raw-data file can't be written: the
// automatic stop cuts the recording, and as no reply carries that stop's
// failure, the client's next command 9 answers it, once (the 9 after it
// answers 0), or its next command 8, which then starts nothing (its run file
// is not written) while the 8 after it starts. The register-level device's
// criteria stop its channels one by one; the last one ends the recording.
using AutomaticStop = FullDisk;

TEST_P(AutomaticStop, ACutRecordingIsAnsweredOnceByTheNextStopOrStart) {
    const int32_t PARAM_CH_STOP_MODE_TOTAL_COUNTS = 1067;
    const double MORE_ENTRIES = 2000; // the criterion, past what each channel holds when the file is full
    auto setCriteria = [&](bool on) {
        for (uint32_t ch = 0; ch < GetParam().channels; ch++) {
            double limit = on ? static_cast<double>(spectrum(ch).entries) + MORE_ENTRIES : 0.0;
            ASSERT_EQ(
                status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, static_cast<int32_t>(ch), limit)),
                SUCCESS);
        }
    };
    // The round's recording reaches the file-size limit, then the criteria
    // stop the run (logged as the automatic stop's failure); the limit is
    // lifted before the client's command.
    auto recordIntoTheCriteria = [&](const std::string& runFile, size_t round) {
        setCriteria(false);
        limitFileSize(kFileSizeLimit);
        ASSERT_EQ(status(SET_RUN_FILE, runFileName(runFile)), SUCCESS);
        ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        ASSERT_TRUE(waitFor([&] { return occurrences(dumperLog(), "Can't write buffer") >= round; }, 120000ms))
            << "the recording never reached the limit";
        setCriteria(true);
        ASSERT_TRUE(
            waitFor([&] { return occurrences(boardLog(), "Error in automatic stop acquisition") >= round; }, 60000ms))
            << boardLog();
        limitFileSize(RLIM_INFINITY);
    };
    auto answers = [&] {
        return occurrences(boardLog(), "answers the failure (" + std::to_string(DUMPER_CLOSE) + ")");
    };

    recordIntoTheCriteria("first.zrn", 1);
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), DUMPER_CLOSE) << boardLog();
    EXPECT_EQ(answers(), 1u);
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();

    recordIntoTheCriteria("second.zrn", 2);
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("refused.zrn")), SUCCESS);
    EXPECT_EQ(status(START, acquisitionRequest(allChannels())), DUMPER_CLOSE) << boardLog();
    EXPECT_EQ(answers(), 2u);
    EXPECT_FALSE(fs::exists(server_->workDir() / "Run" / "refused.zrn")) << "the refused start wrote its run file";
    setCriteria(false);
    EXPECT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_TRUE(fs::exists(server_->workDir() / "Run" / "refused.zrn"));
    EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, AutomaticStop, ::testing::ValuesIn(pulseProcessingBoards()), caseName);

// The table holds every profile that the server can open from its command
// line: every usb and optical-link board, and the board without connection.
TEST(EveryBoardTable, HoldsEveryProfileTheServerCanOpen) {
    std::string profiles = readFile(fs::path(MORVANE_DEFINITIONS_DIR) / "SimulatedBoards.xml");
    std::set<std::string> reachable;
    for (size_t at = profiles.find("<Board name=\""); at != std::string::npos;
         at = profiles.find("<Board name=\"", at + 1)) {
        size_t nameStart = at + 13;
        std::string name = profiles.substr(nameStart, profiles.find('"', nameStart) - nameStart);
        std::string address = profiles.substr(profiles.find("<Address", at), 60);
        bool viaOptions = address.find("link=\"usb\"") != std::string::npos ||
                          address.find("link=\"optical\"") != std::string::npos ||
                          address.find("none=\"true\"") != std::string::npos;
        if (viaOptions)
            reachable.insert(name);
    }
    std::set<std::string> tabled;
    for (const BoardCase& board : kBoards)
        tabled.insert(board.name);
    EXPECT_EQ(tabled, reachable);
}

} // namespace
