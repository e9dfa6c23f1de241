// Folders the operator linked elsewhere before the server started: "Run" and
// the board's data folder of the working folder as symbolic links to another
// disk. The server starts on every simulated board it can open (the data
// folder's name differs by board), records, lists, replays and quits with
// every file in the link targets and none in the working folder; a link put
// below them, or in their place, while it runs is refused.
#include <gtest/gtest.h>

#include <set>

#include "EndToEndSupport.h"

using namespace srvtest;
using namespace srvtest::command;
using namespace std::chrono_literals;

namespace {

const int16_t INVALID_FILE_NAME = -30;

class LinkedFolders : public ServerOnBoard {
protected:
    void SetUp() override {
        work_ = temp_.path() / "work";
        disk_ = temp_.path() / "disk";
        outside_ = temp_.path() / "outside";
        for (const fs::path& folder : {work_, disk_ / "runs", disk_ / "data", outside_})
            fs::create_directories(folder);
        fs::create_directory_symlink(disk_ / "runs", work_ / "Run");
        fs::create_directory_symlink(disk_ / "data", work_ / dataFolder());
        startServer({{"ZARNWORKINGDIR", work_.string()}});
    }

    std::string dataFolder() const { return std::string(GetParam().model) + "_" + std::to_string(GetParam().serial); }
    std::set<std::string> listedRunFiles() {
        std::set<std::string> names;
        auto reply = client_->request(LIST_RUN_FILES);
        EXPECT_TRUE(reply && reply->status() == SUCCESS);
        for (uint32_t i = 0; reply && reply->status() == SUCCESS && i < getU32(reply->payload, 2); i++)
            names.insert(reinterpret_cast<const char*>(&reply->payload[6 + 200 * i]));
        return names;
    }
    bool everyChannelHas(uint64_t entries) {
        return waitFor(
            [&] {
                for (uint32_t ch = 0; ch < GetParam().channels; ch++)
                    if (spectrum(ch).histogrammed() < entries)
                        return false;
                return true;
            },
            60000ms);
    }

    TempDir temp_;
    fs::path work_, disk_, outside_;
};

TEST_P(LinkedFolders, TheServerWorksInTheLinkTargets) {
    const BoardCase& board = GetParam();
    const bool spectra = !board.waveformsOnly;

    // A run on every channel, recorded; channel 0 lists every event's time
    // tag into its default list file, in the data folder.
    ASSERT_EQ(status(SET_RUN_FILE, runFileName("linked.zrn")), SUCCESS) << server_->output();
    if (spectra) {
        Bytes list = dataRequest(0x2B, 0);
        putU32(list, 1);    // enabled
        putU32(list, 1);    // binary
        putU32(list, 1);    // the time tag alone: 8 bytes an event
        putU32(list, 1000); // flushed every 1000 events
        ASSERT_EQ(status(SET_LIST, list), SUCCESS) << server_->log("SRV_ListLog.txt");
    }
    // (A waveform firmware's run is stopped at once: waveforms of every
    // event, recorded, are a heavy load for a sanitised server, and its
    // recording needs no more than its header here.)
    ASSERT_EQ(status(START, acquisitionRequest(allChannels())), SUCCESS) << boardLog();
    if (spectra)
        ASSERT_TRUE(everyChannelHas(100)) << boardLog();
    // The stop drains the board: on a loaded machine a waveform firmware's
    // takes seconds, longer than a plain command's answer is awaited.
    ASSERT_TRUE(client_->send(packet(STOP, acquisitionRequest(allChannels()))));
    auto stop = client_->receive(60000ms);
    ASSERT_TRUE(stop) << boardLog();
    ASSERT_EQ(stop->status(), SUCCESS) << boardLog();

    // The run file and its recording are in the target of "Run", and the
    // recording holds what the client received.
    std::istringstream words(readFile(disk_ / "runs" / "linked.zrn"));
    std::string boardName, rawFile;
    words >> boardName >> rawFile;
    EXPECT_EQ(boardName, dataFolder());
    ASSERT_EQ(rawFile.rfind("Run/", 0), 0u) << rawFile;
    const fs::path recording = disk_ / "runs" / rawFile.substr(4);
    ASSERT_TRUE(fs::is_regular_file(recording)) << rawFile;
    std::vector<Spectrum> live;
    if (spectra) {
        Recorded recorded = decodeRunFile(recording, board.channels);
        for (uint32_t ch = 0; ch < board.channels; ch++) {
            live.push_back(spectrum(ch));
            EXPECT_EQ(live[ch].histogrammed(), recorded.histogrammable[ch]) << "channel " << ch;
        }
        EXPECT_EQ(fs::file_size(disk_ / "data" / "ListData_ch00.dat"), 8 * recorded.listable[0]);
    }

    // Listed and replayed: the live spectra are saved into the data folder's
    // target and the replay loads them back from there.
    EXPECT_EQ(listedRunFiles(), std::set<std::string>{"linked.zrn"});
    ASSERT_EQ(status(LOAD_RUN_FILE, fixedText("linked.zrn", 200)), SUCCESS) << server_->log("SRV_CommonLog.txt");
    for (uint32_t ch = 0; spectra && ch < board.channels; ch++)
        EXPECT_TRUE(spectrum(ch) == live[ch]) << "channel " << ch;

    // Links put while the server runs stay refused: one below the data
    // folder's target, and "Run" pointed elsewhere.
    fs::create_directory_symlink(outside_, disk_ / "data" / "away");
    Bytes set = spectrumRequest(0x100, 0);
    Bytes name = fixedText(dataFolder() + "/away/ch0.spe", 401);
    set.insert(set.end(), name.begin(), name.end());
    EXPECT_EQ(status(SET_SPECTRUM, set), INVALID_FILE_NAME);
    fs::copy_file(disk_ / "runs" / "linked.zrn", outside_ / "linked.zrn");
    fs::remove(work_ / "Run");
    fs::create_directory_symlink(outside_, work_ / "Run");
    EXPECT_EQ(client_->request(LIST_RUN_FILES)->status(), INVALID_FILE_NAME);
    EXPECT_EQ(status(LOAD_RUN_FILE, fixedText("linked.zrn", 200)), INVALID_FILE_NAME);
    EXPECT_NE(server_->log("SRVAcquisitionControlLog.txt")
                  .find("Run folder 'Run' leads elsewhere than at the start (a link put in its place): refused."),
              std::string::npos);
    fs::remove(work_ / "Run");
    fs::create_directory_symlink(disk_ / "runs", work_ / "Run");
    EXPECT_EQ(listedRunFiles(), std::set<std::string>{"linked.zrn"});

    // The quit saves every spectrum into the data folder's target; the
    // working folder holds the two links and nothing else.
    EXPECT_EQ(status(QUIT, masks(0, 0)), SUCCESS);
    EXPECT_EQ(server_->waitExit(60000ms), 0) << server_->output();
    client_.reset();
    EXPECT_TRUE(fs::is_regular_file(disk_ / "data" / "boardconfig.info"));
    for (uint32_t ch = 0; spectra && ch < board.channels; ch++) {
        char file[32];
        std::snprintf(file, sizeof file, "spectrum_ch%02u.spe", ch);
        EXPECT_TRUE(fs::is_regular_file(disk_ / "data" / file)) << file;
    }
    std::set<std::string> inWork;
    for (const auto& entry : fs::directory_iterator(work_))
        inWork.insert(entry.path().filename().string());
    EXPECT_EQ(inWork, (std::set<std::string>{"Run", dataFolder()}));
    EXPECT_TRUE(fs::is_symlink(work_ / "Run") && fs::is_symlink(work_ / dataFolder()));
    EXPECT_EQ(fs::directory_iterator(outside_)->path().filename(), "linked.zrn"); // the copy alone
}

INSTANTIATE_TEST_SUITE_P(SimulatedBoards, LinkedFolders, ::testing::ValuesIn(kBoards), caseName);

} // namespace
