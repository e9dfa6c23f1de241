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

#include <set>

#include "EndToEndSupport.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

// Entries that every channel gathers before the live run is stopped.
const uint64_t kLiveEntries = 200;

class EveryBoard : public ServerOnBoard {
protected:
    void SetUp() override { startServer(); }

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
