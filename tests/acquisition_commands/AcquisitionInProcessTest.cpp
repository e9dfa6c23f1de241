// The acquisition commands in-process, on the simulated 8-channel board opened
// the way the server opens it (board thread included): the waveform copy and
// command 30, the stop that a quit runs, and the hand-over without a board
// thread.
#include <gtest/gtest.h>

#include <fstream>

#include "../server/ServerTestSupport.h"
#include "MorvaneServer.h"
#include "SRVBoardThread.h"
#include "SRV_BoardIdentity.h"
#include "SRV_BoardLifecycle.h"
#include "SRV_BoardLock.h"
#include "SRV_CommandTable.h"
#include "SRV_Globals.h"
#include "SRV_List.h"
#include "SRV_Waveforms.h"

using namespace srvtest;
using namespace std::chrono_literals;

namespace {

const fs::path& workFolder() { return inProcessServerFolder(); }
const bool environmentSet = !workFolder().empty(); // set before any server code runs

std::string logText(const char* file) { return readFile(workFolder() / "logs" / file); }

// The logs that explain a readout that brought nothing.
std::string readoutLogs() {
    return logText("SRVBoardThreadLog.txt") + logText("ZarnDPPLayerLog.txt") + logText("ZarnBoard_GENERICLog.txt");
}

struct Answer {
    SRVStatus_t status = 0;
    Bytes reply;
};

// Runs a command on the board as the command loop runs it.
Answer call(SRVBoard_t* board, SRVCommand_t command, const Bytes& payload) {
    Answer answer;
    uint32_t size = 0;
    void* reply = SRV_RunCommand(SRV_FindCommand(command), board, payload.data(), static_cast<uint32_t>(payload.size()),
                                 nullptr, &size, &answer.status);
    if (reply != nullptr) {
        const uint8_t* bytes = static_cast<const uint8_t*>(reply);
        answer.reply.assign(bytes, bytes + size);
        c_free(reply);
    }
    return answer;
}

Bytes acquisitionRequest(uint32_t channelMask) {
    Bytes b = masks(0, 0);
    putU32(b, channelMask);
    return b;
}

Bytes waveformRequest(uint64_t mask, int32_t channel) {
    Bytes b;
    putU64(b, mask);
    putU32(b, static_cast<uint32_t>(channel));
    return b;
}

// The server's global record with the board open, as the start-up leaves it.
class BoardEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(SRV_InitGlobals(), 0);
        fs::create_directories(workFolder() / "work" / "Run");
        ASSERT_EQ(chdir((workFolder() / "work").c_str()), 0);
        SRVConnParams_t params{};
        ASSERT_EQ(SRV_AddBoard(&params, nullptr), 0) << logText("SRV_CommonLog.txt");
        SRVBoard_t* board = &SRV_Globals->board;
        ASSERT_EQ(SRV_LockBoard(board), 0);
        char dataPath[SRV_FOLDER_SIZE];
        ASSERT_EQ(SRV_GetBoardDataPath(board, dataPath), 0);
        fs::create_directories(dataPath);
        ASSERT_EQ(SRV_InitListSaves(board, dataPath), 0);
        ASSERT_EQ(SRV_UnlockBoard(board), 0);
    }
    void TearDown() override {
        if (SRV_Globals == nullptr)
            return;
        SRV_CloseBoard(&SRV_Globals->board);
        c_xml_freedoc(SRV_Globals->serverDefinitions);
        c_free(SRV_Globals);
        SRV_Globals = nullptr;
    }
};
const auto* const boardEnvironment = ::testing::AddGlobalTestEnvironment(new BoardEnvironment);

class OpenBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(SRV_Globals, nullptr);
        board_ = &SRV_Globals->board;
        ASSERT_TRUE(board_->open);
        ASSERT_TRUE(SRV_IsBoardThreadRunning(board_));
    }
    void TearDown() override {
        stop();
        setLibraryValue(DPPL_PARAM_WAVEFORMS, -1, 0.0);
        for (int32_t channel = 0; channel < 8; channel++)
            setLibraryValue(DPPL_PARAM_CH_ENABLED, channel, 1.0);
    }

    SRVStatus_t start(uint32_t mask = 0xFF) {
        return call(board_, SRV_CMD_START_ACQUISITION, acquisitionRequest(mask)).status;
    }
    SRVStatus_t stop(uint32_t mask = 0xFF) {
        return call(board_, SRV_CMD_STOP_ACQUISITION, acquisitionRequest(mask)).status;
    }
    // Sets a library parameter through the set path, under the board lock
    // (channel -1: a board parameter).
    void setLibraryValue(int32_t code, int32_t channel, double value) {
        ASSERT_EQ(SRV_LockBoard(board_), 0);
        c_Parameter_t* parameter =
            channel < 0 ? c_pfind(&board_->digitizer, code) : c_pfindc(&board_->digitizer, channel, code);
        EXPECT_NE(parameter, nullptr);
        if (parameter != nullptr) {
            EXPECT_EQ(c_pset(&board_->digitizer, parameter, value), 0);
        }
        ASSERT_EQ(SRV_UnlockBoard(board_), 0);
    }
    // Runs f with the board lock held.
    template <typename F>
    auto locked(F f) {
        EXPECT_EQ(SRV_LockBoard(board_), 0);
        auto result = f();
        EXPECT_EQ(SRV_UnlockBoard(board_), 0);
        return result;
    }

    SRVBoard_t* board_ = nullptr;
};

// ---------------------------------------------------------------- waveforms

TEST_F(OpenBoardTest, Command30ReturnsTheTracesOfARunningChannelWithWaveformsOn) {
    setLibraryValue(DPPL_PARAM_WAVEFORMS, -1, 1.0);
    // Simulated waveforms are costly: channel 0 alone is enough.
    for (int32_t channel = 1; channel < 8; channel++)
        setLibraryValue(DPPL_PARAM_CH_ENABLED, channel, 0.0);
    ASSERT_EQ(start(), 0) << logText("SRVBoardThreadLog.txt");
    ASSERT_TRUE(waitFor([&] { return locked([&] { return board_->channels[0].waveform->nSamples; }) > 0; }, 20000ms))
        << readoutLogs();

    Answer answer = call(board_, SRV_CMD_GET_WAVEFORM, waveformRequest(0xF, 0));
    ASSERT_EQ(answer.status, 0) << logText("SRV_WaveformsLog.txt");
    ASSERT_GE(answer.reply.size(), 10u);
    size_t n = (answer.reply.size() - 10) / 6;
    EXPECT_GT(n, 0u);
    EXPECT_EQ(answer.reply.size(), 10 + 6 * n); // two 16-bit and two 8-bit traces of n samples
    bool anySample = false;
    for (size_t i = 0; i < n; i++)
        anySample = anySample || getU16(answer.reply, 10 + 2 * i) != 0;
    EXPECT_TRUE(anySample);

    Answer none = call(board_, SRV_CMD_GET_WAVEFORM, waveformRequest(0, 0));
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.reply.size(), 10u);
    EXPECT_EQ(call(board_, SRV_CMD_GET_WAVEFORM, waveformRequest(0x10, 0)).status, SRV_ERR_UNSUPPORTED);
    EXPECT_EQ(call(board_, SRV_CMD_GET_WAVEFORM, waveformRequest(1, 8)).status, SRV_ERR_UNSUPPORTED);
    EXPECT_EQ(call(board_, SRV_CMD_GET_WAVEFORM, Bytes{1, 2, 3}).status, SRV_ERR_DESERIALIZE);

    // Stopped: no waveform, even though one is stored.
    ASSERT_EQ(stop(), 0);
    EXPECT_EQ(call(board_, SRV_CMD_GET_WAVEFORM, waveformRequest(1, 0)).status, SRV_ERR_NO_WAVEFORM);
    EXPECT_NE(logText("SRV_WaveformsLog.txt").find("Channel 0 is not in acquisition."), std::string::npos);
}

TEST_F(OpenBoardTest, Command30WithWaveformsOffAnswersNoWaveform) {
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(call(board_, SRV_CMD_GET_WAVEFORM, waveformRequest(1, 0)).status, SRV_ERR_NO_WAVEFORM);
    EXPECT_NE(logText("SRV_WaveformsLog.txt").find("Waveforms not enabled."), std::string::npos);
}

// An event's waveform as the library hands it over, with its own buffers.
struct SourceWaveform {
    explicit SourceWaveform(uint32_t samples, bool withDigital1 = true) {
        analog.assign(samples, 0);
        digital.assign(samples, 0);
        waveform.nSamples = samples;
        for (uint32_t i = 0; i < samples; i++) {
            analog[i] = static_cast<int16_t>(i % 1000);
            digital[i] = static_cast<uint8_t>(i & 1);
        }
        waveform.traces[0] = {5, analog.data(), samples};
        waveform.traces[3] = {9, digital.data(), samples};
        if (withDigital1)
            waveform.traces[4] = {11, digital.data(), samples};
    }
    c_DPPEvent_t event(uint16_t energy) {
        c_DPPEvent_t e{};
        e.energy = energy;
        e.waveform = &waveform;
        return e;
    }
    std::vector<int16_t> analog;
    std::vector<uint8_t> digital;
    c_Waveform_t waveform{};
};

TEST_F(OpenBoardTest, StoredWaveformFollowsTheEnergySkimAndNeverExceedsItsBuffers) {
    const uint32_t channel = 3;
    setLibraryValue(DPPL_PARAM_CH_ESKIM_ENABLE, channel, 1.0);
    setLibraryValue(DPPL_PARAM_CH_ESKIM_LLD, channel, 100.0);
    setLibraryValue(DPPL_PARAM_CH_ESKIM_ULD, channel, 200.0);
    c_Waveform_t* stored = board_->channels[channel].waveform;
    ASSERT_NE(stored, nullptr);

    SourceWaveform first(50);
    SourceWaveform second(70, false);
    locked([&] {
        SRV_ClearWaveform(stored);
        stored->nSamples = 0;
        c_DPPEvent_t accepted = first.event(150);
        EXPECT_EQ(SRV_StoreEventWaveform(board_, channel, &accepted), 0);
        EXPECT_EQ(stored->nSamples, 50u);
        EXPECT_EQ(stored->traces[4].probe, 11);
        // Below the lower level: nothing changes.
        c_DPPEvent_t low = second.event(99);
        EXPECT_EQ(SRV_StoreEventWaveform(board_, channel, &low), 0);
        EXPECT_EQ(stored->nSamples, 50u);
        // Accepted, but without a digital trace 1: that trace keeps its samples.
        c_DPPEvent_t high = second.event(200);
        EXPECT_EQ(SRV_StoreEventWaveform(board_, channel, &high), 0);
        EXPECT_EQ(stored->nSamples, 70u);
        EXPECT_EQ(stored->traces[4].probe, 11);
        EXPECT_EQ(static_cast<uint8_t*>(stored->traces[4].samples)[1], 1);
        c_DPPEvent_t bare{};
        EXPECT_EQ(SRV_StoreEventWaveform(board_, channel, &bare), SRV_ERR_NO_WAVEFORM);
        return 0;
    });
    // Levels beyond the 16-bit range are held at its ends, not wrapped: a
    // negative lower level and a huge upper level let every energy through.
    locked([&] {
        // Written directly: the set path may refuse values this far out.
        c_pfindc(&board_->digitizer, channel, DPPL_PARAM_CH_ESKIM_LLD)->value = -5.0;
        c_pfindc(&board_->digitizer, channel, DPPL_PARAM_CH_ESKIM_ULD)->value = 1e30;
        c_DPPEvent_t any = first.event(10);
        EXPECT_EQ(SRV_StoreEventWaveform(board_, channel, &any), 0);
        EXPECT_EQ(stored->nSamples, 50u);
        return 0;
    });
    setLibraryValue(DPPL_PARAM_CH_ESKIM_ENABLE, channel, 0.0);

    // An event longer than the copy: the count is cut to the copy's buffers,
    // so command 30 can never read past them.
    SourceWaveform huge(SRV_WAVEFORM_CAPACITY + 1000);
    locked([&] {
        c_DPPEvent_t e = huge.event(10);
        EXPECT_EQ(SRV_StoreEventWaveform(board_, channel, &e), 0);
        EXPECT_EQ(stored->nSamples, static_cast<uint32_t>(SRV_WAVEFORM_CAPACITY));
        EXPECT_EQ(static_cast<int16_t*>(stored->traces[0].samples)[999], 999);
        // A start clears the traces and keeps the count.
        SRV_ClearWaveform(stored);
        EXPECT_EQ(stored->nSamples, static_cast<uint32_t>(SRV_WAVEFORM_CAPACITY));
        EXPECT_EQ(stored->traces[0].probe, 0);
        EXPECT_EQ(static_cast<int16_t*>(stored->traces[0].samples)[999], 0);
        return 0;
    });
}

// --------------------------------------------------------- quit and stop

// A quit while acquiring (the board thread's last cycle) writes the buffered
// list-mode events and sets the stop times, as a stop command does.
TEST_F(OpenBoardTest, QuitWhileAcquiringFlushesListModeAndSetsStopTimes) {
    std::string listFile = (workFolder() / "work" / "quit-list.txt").string(); // in the working folder
    locked([&] {
        SRVListSave_t& list = board_->channels[0].listSave;
        list.enabled = 1;
        list.format = SRV_LIST_FORMAT_TEXT;
        list.withTimeTag = 1;
        list.bufferSize = 60000;
        SRV_ResizeListBuffers(&list);
        std::snprintf(list.fileName, sizeof list.fileName, "%s", listFile.c_str());
        board_->channels[0].energySpectra[0].stopTime[0] = '\0';
        return 0;
    });
    ASSERT_EQ(start(), 0);
    ASSERT_TRUE(waitFor([&] { return locked([&] { return board_->channels[0].listSave.count; }) > 0; }, 20000ms))
        << readoutLogs();

    SRV_CloseBoard(board_);
    EXPECT_FALSE(board_->open);
    std::string text = readFile(listFile);
    EXPECT_EQ(text.rfind("TIMETAG\t\t\n", 0), 0u);
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_EQ(std::strlen(board_->channels[0].energySpectra[0].stopTime), 19u);
    EXPECT_NE(logText("SRVBoardThreadLog.txt").find("Acquisition stopped."), std::string::npos);

    // The rest of the suite goes on with the board opened again.
    SRVConnParams_t params{};
    ASSERT_EQ(SRV_AddBoard(&params, nullptr), 0);
    locked([&] {
        SRV_FreeListSave(&board_->channels[0].listSave);
        return SRV_InitListSave(board_, 0, "ListData_ch00.dat");
    });
}

// A start whose list-mode step fails, for the whole board or for its last
// channel, leaves nothing acquiring unread: the board is stopped again, its
// raw-data file closed, the board thread idle; the stop after it succeeds.
TEST_F(OpenBoardTest, AStartThatFailsHalfWayLeavesTheBoardStopped) {
    std::ofstream(workFolder() / "work" / "blocker").put('x'); // no folder can be made under a file
    std::string blocked = (workFolder() / "work" / "blocker" / "list.txt").string();
    struct Case {
        const char* name;
        uint32_t mask;
        uint32_t failingChannel;
    } cases[] = {{"board", 0xFF, 0}, {"last channel", 0x03, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::snprintf(SRV_Globals->runFilePath, SRV_PATH_SIZE, "%s", "Run/failed-start.zrn");
        locked([&] {
            SRVListSave_t& list = board_->channels[c.failingChannel].listSave;
            list.enabled = 1;
            list.format = SRV_LIST_FORMAT_TEXT;
            list.withTimeTag = 1;
            list.bufferSize = 100;
            SRV_ResizeListBuffers(&list);
            std::snprintf(list.fileName, sizeof list.fileName, "%s", blocked.c_str());
            return 0;
        });
        EXPECT_EQ(start(c.mask), SRV_ERR_GENERIC);
        locked([&] {
            // Stopped, or paused where the library stopped the channels one
            // by one: either is not acquiring.
            EXPECT_FALSE(SRV_IsAcquiring(board_->digitizer.acqStatus));
            for (uint32_t ch = 0; ch < 8; ch++)
                EXPECT_FALSE(SRV_IsAcquiring(board_->digitizer.channels[ch].acqStatus)) << ch;
            EXPECT_EQ(board_->idle, 1);
            EXPECT_FALSE(c_bdopened(&board_->digitizer.writer));
            EXPECT_EQ(board_->digitizer.dumpEnabled, 0);
            return 0;
        });
        EXPECT_EQ(stop(c.mask), 0) << logText("SRV_ListLog.txt");
        locked([&] { return board_->channels[c.failingChannel].listSave.enabled = 0; });
    }
}

TEST_F(OpenBoardTest, StopOfAnIdleBoardStillRunsThroughTheBoardThread) {
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(board_->idle, 1);
    for (SRVMCSSpectrum_t& mcs : board_->channels[0].mcsSpectra)
        EXPECT_EQ(mcs.state, 3u);
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(board_->channels[0].mcsSpectra[0].state, 1u);
    EXPECT_EQ(board_->channels[0].mcsSpectra[0].pass, 1u);
}

TEST_F(OpenBoardTest, MaskBitsAreRefused) {
    Bytes in = masks(1, 0);
    putU32(in, 0xFF);
    EXPECT_EQ(call(board_, SRV_CMD_START_ACQUISITION, in).status, SRV_ERR_UNSUPPORTED);
    EXPECT_EQ(board_->digitizer.acqStatus, ACQSTATUS_STOPPED);
    // An unknown cmdMaskOut bit: the start happens, the reply says -33.
    Bytes out = masks(0, 4);
    putU32(out, 0xFF);
    EXPECT_EQ(call(board_, SRV_CMD_START_ACQUISITION, out).status, SRV_ERR_UNSUPPORTED);
    EXPECT_EQ(board_->digitizer.acqStatus, ACQSTATUS_RUNNING);
    EXPECT_EQ(call(board_, SRV_CMD_START_ACQUISITION, masks(0, 0)).status, SRV_ERR_DESERIALIZE);
}

// ------------------------------------------------ without a board thread

// A start or stop handed over while no board thread runs is answered with a
// failure at once; without an open board there is not even a lock to take.
TEST(NoBoardThread, StartAndStopAnswerAFailureWithoutWaiting) {
    SRVBoard_t* board = static_cast<SRVBoard_t*>(c_calloc(1, sizeof(SRVBoard_t)));
    ASSERT_NE(board, nullptr);
    ASSERT_EQ(c_ticket_init(&board->boardLock), 0);
    ASSERT_EQ(c_ticket_init(&board->flagsLock), 0);
    ASSERT_EQ(c_condition_init(&board->idleCondition), 0);
    ASSERT_EQ(c_semaphore_init(&board->doneSem, 0), 0);
    board->digitizer.descriptor.NumChannels = 2;
    board->idle = 1;
    struct Case {
        SRVCommand_t command;
        uint8_t open;
        SRVStatus_t status;
    } cases[] = {
        {SRV_CMD_START_ACQUISITION, 1, SRV_ERR_GENERIC},
        {SRV_CMD_STOP_ACQUISITION, 1, SRV_ERR_GENERIC},
        {SRV_CMD_START_ACQUISITION, 0, SRV_ERR_OPEN_DIGITIZER},
        {SRV_CMD_STOP_ACQUISITION, 0, SRV_ERR_OPEN_DIGITIZER},
    };
    for (const Case& c : cases) {
        board->open = c.open;
        auto begin = Clock::now();
        EXPECT_EQ(call(board, c.command, acquisitionRequest(3)).status, c.status);
        EXPECT_LT(Clock::now() - begin, 1000ms);
        EXPECT_EQ(board->idle, 1);
    }
    // The lock was left free.
    EXPECT_EQ(c_ticket_lock(&board->boardLock), 0);
    EXPECT_EQ(c_ticket_unlock(&board->boardLock), 0);
    c_semaphore_destroy(&board->doneSem);
    c_condition_destroy(&board->idleCondition);
    c_ticket_delete(&board->flagsLock);
    c_ticket_delete(&board->boardLock);
    c_free(board);
}

} // namespace
