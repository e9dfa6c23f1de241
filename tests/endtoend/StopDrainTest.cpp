// The stops on every simulated board the server can open, at rates that
// keep the board's memory full: what the board holds when a stop comes is
// read before the stop answers, and counted as the run counts it.
//
// - A board stop (command 9 for every channel) leaves the board empty (its
//   status register shows no data ready) and the live spectra hold every
//   event of the run file, which holds everything the board delivered.
// - Channel stops and restarts while the other channels run: the live
//   spectra hold every event of the run file, and its replay gives them bin
//   for bin.
// - A met stop criterion keeps exactly its limit although the stop reads on
//   after it, and is reported once.
// - The replay of a run that a stop criterion ended gives the live run's
//   spectra and list files: its criterion, met where the live run met it,
//   takes what the live stop read after it from the rest of the file.
#include <gtest/gtest.h>

#include <thread>

#include "EndToEndSupport.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

// The pulse-processing boards' rate (counts/s per channel), and that of the
// standard-waveform boards, whose every event carries a waveform.
const double kRate = 2e5;
const double kWaveformRate = 1e3;
// A rate per channel above what the server reads of a board.
const double kBusyRate = 1e6;
// Board status register and its data-ready bit.
const uint32_t kAcqStatus = 0x8104;
const uint32_t kDataReady = 1u << 3;

// The shipped profiles with every board's signal at its test rate.
std::string profilesAtRate(double pulseRate = kRate) {
    std::string text = readFile(fs::path(MORVANE_DEFINITIONS_DIR) / "SimulatedBoards.xml");
    for (const BoardCase& board : kBoards) {
        size_t at = text.find(std::string("<Board name=\"") + board.name + "\">");
        size_t end = text.find("</Board>", at);
        if (at == std::string::npos || end == std::string::npos)
            return {};
        std::string rate = " rate=\"" + std::to_string(board.waveformsOnly ? kWaveformRate : pulseRate) + "\"";
        size_t signal = text.find("<Signal", at);
        if (signal == std::string::npos || signal > end) {
            text.insert(end, "<Signal" + rate + "/>\n  ");
            continue;
        }
        size_t tagEnd = text.find('>', signal);
        size_t old = text.find(" rate=\"", signal);
        if (old != std::string::npos && old < tagEnd)
            text.erase(old, text.find('"', old + 7) + 1 - old);
        text.insert(signal + 7, rate);
    }
    return text;
}

class Stops : public ServerOnBoard {
protected:
    void SetUp() override {
        std::string profiles = profilesAtRate();
        ASSERT_FALSE(profiles.empty());
        fs::path file = folder_.path() / "SimulatedBoards.xml";
        std::ofstream(file) << profiles;
        startServer({{"ZARN_SIMBOARD_FILE", file}});
    }

    uint32_t channels() const { return GetParam().channels; }
    // Command 9 for every channel. A stop that empties a full board takes
    // its time on a loaded machine: the reply is awaited a minute.
    int16_t stopAll() {
        if (!client_->send(packet(STOP, acquisitionRequest(allChannels()))))
            return INT16_MIN;
        auto reply = client_->receive(60000ms);
        EXPECT_TRUE(reply) << "command 9";
        return reply ? reply->status() : INT16_MIN;
    }

    // The board's status register, read over the board-access path as a
    // client reads it (command 7).
    uint32_t acquisitionStatus() {
        Bytes request = masks(1, 2); // the address in, the value out
        putU32(request, kAcqStatus);
        auto reply = client_->request(READ_REGISTER, request);
        EXPECT_TRUE(reply && reply->status() == SUCCESS && reply->payload.size() >= 6);
        return reply && reply->payload.size() >= 6 ? getU32(reply->payload, 2) : 0;
    }
    void clearSpectra() {
        for (uint32_t ch = 0; ch < channels(); ch++)
            ASSERT_EQ(status(CLEAR_SPECTRUM, clearSpectrumRequest(ch)), SUCCESS);
    }
    std::vector<Spectrum> spectra() {
        std::vector<Spectrum> all;
        for (uint32_t ch = 0; ch < channels(); ch++)
            all.push_back(spectrum(ch));
        return all;
    }
    // Every channel's spectrum as the run file holds it.
    void expectTheRunFile(const std::vector<Spectrum>& live, const Recorded& recorded, const char* what) {
        for (uint32_t ch = 0; ch < channels(); ch++)
            EXPECT_EQ(live[ch].histogrammed(), recorded.histogrammable[ch]) << what << ", channel " << ch;
    }
    // Replays the run file to its end: the spectra it gives.
    std::vector<Spectrum> replay(const std::string& runFile, const Recorded& recorded) {
        EXPECT_EQ(status(LOAD_RUN_FILE, fixedText(runFile, 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
        clearSpectra();
        EXPECT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        EXPECT_TRUE(waitFor(
            [&] {
                for (uint32_t ch = 0; ch < channels(); ch++)
                    if (spectrum(ch).histogrammed() < recorded.histogrammable[ch])
                        return false;
                return true;
            },
            120000ms))
            << boardLog();
        EXPECT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        return spectra();
    }

    TempDir folder_;
};

using BoardStop = Stops;

TEST_P(BoardStop, LeavesTheBoardEmptyAndEveryEventInTheSpectra) {
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("stop.zrn")), SUCCESS);
    if (GetParam().waveformsOnly)
        ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_WAVEFORMS, -1, 1.0)), SUCCESS);
    else
        clearSpectra();
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::this_thread::sleep_for(1500ms); // long enough for the board's memory to fill
    ASSERT_EQ(stopAll(), SUCCESS) << boardLog();
    EXPECT_EQ(acquisitionStatus() & kDataReady, 0u) << "data left on the board after the stop";
    if (GetParam().waveformsOnly)
        return;
    std::vector<Spectrum> live = spectra();
    Recorded recorded = decodeRunFile(recordedFile("stop.zrn"), channels());
    expectTheRunFile(live, recorded, "live");
    for (uint32_t ch = 0; ch < channels(); ch++)
        EXPECT_GT(live[ch].histogrammed(), 0u) << "channel " << ch;
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, BoardStop, ::testing::ValuesIn(kBoards), caseName);

using ChannelStops = Stops;

TEST_P(ChannelStops, WhileTheOthersRunReplayAsTheLiveRunCountedThem) {
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("channels.zrn")), SUCCESS);
    clearSpectra();
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    for (uint32_t round = 0; round < 2 * channels() && round < 12; round++) {
        uint32_t bit = 1u << (round % channels());
        std::this_thread::sleep_for(60ms);
        ASSERT_EQ(status(STOP, acquisitionRequest(bit)), SUCCESS) << boardLog();
        std::this_thread::sleep_for(30ms);
        ASSERT_EQ(status(START, acquisitionRequest(bit)), SUCCESS) << boardLog();
    }
    std::this_thread::sleep_for(60ms);
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::vector<Spectrum> live = spectra();
    Recorded recorded = decodeRunFile(recordedFile("channels.zrn"), channels());
    expectTheRunFile(live, recorded, "live");

    std::vector<Spectrum> replayed = replay("channels.zrn", recorded);
    for (uint32_t ch = 0; ch < channels(); ch++) {
        EXPECT_EQ(replayed[ch].histogrammed(), live[ch].histogrammed()) << "channel " << ch;
        EXPECT_TRUE(replayed[ch] == live[ch]) << "channel " << ch << ": the replay's bins differ from the live run's";
    }
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, ChannelStops, ::testing::ValuesIn(pulseProcessingBoards()), caseName);

// The other channels at a rate above what the reads take: every read of a
// channel stop's drain comes back full of their data, yet the stopped
// channel's last events come out in the first reads. The stop ends once
// nothing of the channel can be left, well before the drain's bound of 5 s,
// and nothing of the channel is lost.
class BusyChannelStops : public Stops {
protected:
    void SetUp() override {
        std::string profiles = profilesAtRate(kBusyRate);
        ASSERT_FALSE(profiles.empty());
        fs::path file = folder_.path() / "SimulatedBoards.xml";
        std::ofstream(file) << profiles;
        startServer({{"ZARN_SIMBOARD_FILE", file}});
    }
};

TEST_P(BusyChannelStops, EndOnceNothingOfTheChannelIsLeft) {
    // The simulated register-level device generates and encodes its events
    // as it is read. An optimised build reads 1e6 counts/s on each channel in
    // 2 ms a read; under the address sanitizer generating them alone is
    // slower than the wall clock, every read fills the buffer (250 ms in the
    // server) and the drain cannot reach the data stored after the stop. The
    // thread sanitizer's build is slower still.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (GetParam().options == std::vector<std::string>{"-h"})
        GTEST_SKIP() << "the sanitized simulator generates the device's events slower than the wall clock at this rate";
#endif
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("busy.zrn")), SUCCESS);
    clearSpectra();
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    std::vector<double> seconds;
    for (uint32_t channel = 0; channel < channels() && channel < 3; channel++) {
        std::this_thread::sleep_for(300ms); // the board's memory fills
        auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(status(STOP, acquisitionRequest(1u << channel)), SUCCESS) << boardLog();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count());
    }
    ASSERT_EQ(stopAll(), SUCCESS) << boardLog();
    // A drain that does not end on its own runs to its bound of 5 s and then
    // logs that the board still holds data; one that ends on its own ends
    // before, however long the reads through the other channels' backlog
    // take on a loaded machine.
    const double drainBoundSeconds = 5.0;
    for (size_t stop = 0; stop < seconds.size(); stop++)
        EXPECT_LT(seconds[stop], drainBoundSeconds) << "stop of channel " << stop << " ran to the drain's bound";
    std::string log = server_->log("SRVBoardThreadLog.txt");
    EXPECT_EQ(log.find("still holds data"), std::string::npos) << log;
    std::vector<Spectrum> live = spectra();
    Recorded recorded = decodeRunFile(recordedFile("busy.zrn"), channels());
    expectTheRunFile(live, recorded, "live");
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, BusyChannelStops, ::testing::ValuesIn(pulseProcessingBoards()), caseName);

// The register-level device stops the channel whose criterion was met, any
// other board the whole board: one board of each.
std::vector<BoardCase> boardsForStopCriteria() {
    std::vector<BoardCase> boards;
    const BoardCase* linked = nullptr;
    const BoardCase* device = nullptr;
    for (const BoardCase& board : kBoards) {
        const BoardCase*& first = board.options == std::vector<std::string>{"-h"} ? device : linked;
        if (first == nullptr && !board.waveformsOnly)
            first = &board;
    }
    for (const BoardCase* board : {linked, device})
        if (board != nullptr)
            boards.push_back(*board);
    return boards;
}

using StopCriterion = Stops;

// How often a line of the log says `what`.
size_t occurrences(const std::string& log, const std::string& what) {
    size_t count = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
        count++;
    return count;
}

TEST_P(StopCriterion, KeepsExactlyItsLimitAndIsReportedOnce) {
    const double LIMIT = 20000; // reached while the board's memory is full
    const int32_t PARAM_CH_STOP_MODE_TOTAL_COUNTS = 1067;
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, 0, LIMIT)), SUCCESS);
    clearSpectra();
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    ASSERT_TRUE(waitFor([&] { return spectrum(0).entries >= LIMIT; }, 60000ms)) << boardLog();
    ASSERT_EQ(status(STOP, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    EXPECT_EQ(spectrum(0).entries, LIMIT);
    std::string log = server_->log("SRVBoardThreadLog.txt");
    EXPECT_EQ(occurrences(log, "Stop criteria for mode"), 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, StopCriterion, ::testing::ValuesIn(boardsForStopCriteria()), caseName);

// A run that a total-counts criterion of channel 0 ends (the whole board, or
// on the register-level device channel 0 alone, the others stopped by
// command 9), then its replay: every channel's spectrum equals the live one
// bin for bin, and so do the list files of channel 0 and channel 1.
class CriterionReplay : public Stops {
protected:
    static constexpr double kLimit = 20000; // reached while the board's memory is full
    static constexpr int32_t PARAM_CH_STOP_MODE_TOTAL_COUNTS = 1067;
    static constexpr int32_t PARAM_ACQRUNNING = 33;
    static constexpr size_t kListedBytes = 2 + 4;

    bool acquisitionRunning() {
        Bytes where;
        putU64(where, 1);
        for (uint32_t v : {2u, static_cast<uint32_t>(PARAM_ACQRUNNING), 7u})
            putU32(where, v);
        auto reply = client_->request(GET_PARAMETER, where);
        EXPECT_TRUE(reply && reply->status() == SUCCESS && reply->payload.size() >= 10);
        if (!reply || reply->payload.size() < 10)
            return false;
        double value;
        uint64_t bits = getU64(reply->payload, 2);
        std::memcpy(&value, &bits, sizeof value);
        return value != 0.0;
    }
    // Channels 0 and 1 list the energy and flags of every event into binary
    // files. (Not the time tag: the fine time of some firmware is dithered,
    // so that two decodes of one record differ in it by a fraction of a
    // sample.)
    void listChannels() {
        for (uint32_t ch = 0; ch < 2; ch++) {
            Bytes list = dataRequest(0x2F, static_cast<int32_t>(ch));
            putU32(list, 1); // enabled
            putU32(list, 1); // binary
            Bytes name = fixedText(listFile(ch).string(), 401);
            list.insert(list.end(), name.begin(), name.end());
            putU32(list, 2 | 4); // energy and flags: 6 bytes an event
            putU32(list, 1000);  // flushed every 1000 events
            ASSERT_EQ(status(SET_LIST, list), SUCCESS) << server_->log("SRV_ListLog.txt");
        }
    }
    fs::path listFile(uint32_t channel) { return server_->workDir() / "lists" / ("ch" + std::to_string(channel)); }
    // A start on every channel that runs until channel 0's criterion stopped
    // it, then command 9 for the channels that a channel stop left running
    // (until `others` holds: their counts are in).
    std::vector<Spectrum> runToCriterion(const std::function<bool()>& others) {
        clearSpectra();
        listChannels();
        EXPECT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
        EXPECT_TRUE(waitFor([&] { return spectrum(0).entries >= kLimit; }, 60000ms)) << boardLog();
        EXPECT_TRUE(waitFor([&] { return !acquisitionRunning() || others(); }, 60000ms)) << boardLog();
        EXPECT_EQ(stopAll(), SUCCESS) << boardLog();
        return spectra();
    }
};

TEST_P(CriterionReplay, GivesTheLiveRunOnEveryChannel) {
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("criterion.zrn")), SUCCESS);
    ASSERT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, 0, kLimit)), SUCCESS);
    std::vector<Spectrum> live = runToCriterion([] {
        std::this_thread::sleep_for(200ms); // the channels a channel stop left running acquire on
        return true;
    });
    std::string liveLists[2] = {readFile(listFile(0)), readFile(listFile(1))};
    Recorded recorded = decodeRunFile(recordedFile("criterion.zrn"), channels());
    EXPECT_EQ(live[0].entries, kLimit);
    EXPECT_LE(live[0].histogrammed(), recorded.histogrammable[0]);
    for (uint32_t ch = 1; ch < channels(); ch++)
        EXPECT_EQ(live[ch].histogrammed(), recorded.histogrammable[ch]) << "live, channel " << ch;
    EXPECT_EQ(liveLists[1].size(), kListedBytes * recorded.listable[1]);

    const std::string liveLog = server_->log("SRVBoardThreadLog.txt");
    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("criterion.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    // The replay keeps the recorded criterion, as every recorded value: it
    // takes its own value again and refuses any other.
    const int16_t PARAMETER_VALUE_REFUSED = -37;
    EXPECT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, 0, 0.0)), PARAMETER_VALUE_REFUSED);
    EXPECT_EQ(status(SET_PARAMETER, setParameter(PARAM_CH_STOP_MODE_TOTAL_COUNTS, 0, kLimit)), SUCCESS);
    std::vector<Spectrum> replayed = runToCriterion([&] {
        for (uint32_t ch = 1; ch < channels(); ch++)
            if (spectrum(ch).histogrammed() < live[ch].histogrammed())
                return false;
        return true;
    });
    for (uint32_t ch = 0; ch < channels(); ch++) {
        int64_t more =
            static_cast<int64_t>(replayed[ch].histogrammed()) - static_cast<int64_t>(live[ch].histogrammed());
        EXPECT_EQ(more, 0) << "channel " << ch << ": events replayed minus live";
        EXPECT_TRUE(replayed[ch] == live[ch]) << "channel " << ch << ": the replay's bins differ from the live run's";
    }
    for (uint32_t ch = 0; ch < 2; ch++)
        EXPECT_TRUE(readFile(listFile(ch)) == liveLists[ch]) << "channel " << ch << ": the replay's list differs";

    // Live and replayed alike, the criterion is met once and stops what it
    // stops once (channel 0 alone on the device), and no stop fails.
    std::string log = server_->log("SRVBoardThreadLog.txt");
    ASSERT_GE(log.size(), liveLog.size());
    const std::string replayLog = log.substr(liveLog.size());
    for (const auto& [what, part] : {std::pair{"live", &liveLog}, std::pair{"replay", &replayLog}}) {
        EXPECT_EQ(occurrences(*part, "Stop criteria for mode"), 1u) << what << "\n" << *part;
        EXPECT_EQ(occurrences(*part, "Error stopping acquisition"), 0u) << what << "\n" << *part;
        if (GetParam().options == std::vector<std::string>{"-h"}) {
            EXPECT_EQ(occurrences(*part, "Stopping Acquisition for channel '0'"), 1u) << what << "\n" << *part;
            EXPECT_EQ(occurrences(*part, "Acquisition for channel '0' stopped."), 1u) << what << "\n" << *part;
        }
    }
}

// Every board with spectra has the stop criteria.
INSTANTIATE_TEST_SUITE_P(SimulatedBoards, CriterionReplay, ::testing::ValuesIn(pulseProcessingBoards()), caseName);

} // namespace
