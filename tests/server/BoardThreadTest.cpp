// The board thread's hand-over, its end, the processor choice and the board
// information record, on a board record without a digitizer.
#include <gtest/gtest.h>

#include <atomic>

#include "SRVBoardThread.h"
#include "SRV_BoardInfo.h"
#include "SRV_BoardLock.h"
#include "ServerTestSupport.h"

using namespace srvtest;
using namespace std::chrono_literals;

const fs::path& testLogFolder();

namespace {

// A board record with its locks and semaphores, and optionally its thread.
class BoardThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        board_ = static_cast<SRVBoard_t*>(c_calloc(1, sizeof(SRVBoard_t)));
        ASSERT_NE(board_, nullptr);
        ASSERT_EQ(c_ticket_init(&board_->boardLock), 0);
        ASSERT_EQ(c_ticket_init(&board_->flagsLock), 0);
        ASSERT_EQ(c_semaphore_init(&board_->startedSem, 0), 0);
        ASSERT_EQ(c_condition_init(&board_->idleCondition), 0);
        ASSERT_EQ(c_semaphore_init(&board_->doneSem, 0), 0);
        board_->idle = 1;
    }
    void TearDown() override {
        stopThread();
        c_semaphore_destroy(&board_->doneSem);
        c_condition_destroy(&board_->idleCondition);
        c_semaphore_destroy(&board_->startedSem);
        c_ticket_delete(&board_->flagsLock);
        c_ticket_delete(&board_->boardLock);
        c_free(board_);
    }
    void startThread() {
        SRV_StartBoardThread(board_); // an affinity the machine refuses is only logged
        ASSERT_NE(board_->thread, nullptr);
        ASSERT_TRUE(SRV_IsBoardThreadRunning(board_));
    }
    void stopThread() {
        if (board_->thread == nullptr)
            return;
        ASSERT_EQ(SRV_SetQuitFlag(board_), 0);
        EXPECT_EQ(c_thread_timedjoin(board_->thread, nullptr, 5000), 0);
        board_->thread = nullptr;
    }
    // Hands a command over the way a handler does, with the lock held.
    SRVStatus_t handOver(uint32_t command, std::chrono::milliseconds* took = nullptr) {
        EXPECT_EQ(SRV_LockBoard(board_), 0);
        auto start = Clock::now();
        SRVStatus_t status = SRV_SendThreadCommand(board_, command);
        if (took != nullptr)
            *took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        EXPECT_EQ(SRV_UnlockBoard(board_), 0);
        return status;
    }
    SRVBoard_t* board_ = nullptr;
};

TEST_F(BoardThreadTest, IdleThreadRunsAPendingCommandAndEndsOnQuit) {
    startThread();
    std::chrono::milliseconds took{};
    EXPECT_EQ(handOver(7, &took), SRV_SUCCESS); // unknown: logged, still answered
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(board_->pending, 0);
    stopThread();
    EXPECT_FALSE(SRV_IsBoardThreadRunning(board_));
    std::string log = readFile(testLogFolder() / "SRVBoardThreadLog.txt");
    EXPECT_NE(log.find("Unknown command 7."), std::string::npos);
    EXPECT_NE(log.find("Acquisition thread exiting."), std::string::npos);
}

TEST_F(BoardThreadTest, HandOverWithoutABoardThreadFailsAtOnce) {
    std::chrono::milliseconds took{};
    EXPECT_EQ(handOver(SRV_THREAD_CMD_START, &took), SRV_ERR_GENERIC);
    EXPECT_LT(took, 500ms);

    startThread();
    stopThread(); // the thread has ended: nobody would execute the command
    EXPECT_EQ(handOver(SRV_THREAD_CMD_STOP, &took), SRV_ERR_GENERIC);
    EXPECT_LT(took, 500ms);
    EXPECT_EQ(board_->pending, 0);
}

// The thread has seen the quit flag and waits for the lock to end; a command
// handed over now is never executed, and the handler is told so.
TEST_F(BoardThreadTest, HandOverToAThreadThatEndsMeanwhileDoesNotHang) {
    startThread();
    ASSERT_EQ(c_ticket_lock(&board_->flagsLock), 0);
    board_->quit = 1;
    ASSERT_EQ(c_ticket_unlock(&board_->flagsLock), 0);
    ASSERT_EQ(SRV_LockBoard(board_), 0);
    std::this_thread::sleep_for(300ms);
    auto start = Clock::now();
    EXPECT_EQ(SRV_SendThreadCommand(board_, SRV_THREAD_CMD_START), SRV_ERR_GENERIC);
    EXPECT_LT(Clock::now() - start, 2000ms);
    EXPECT_EQ(SRV_UnlockBoard(board_), 0);
    EXPECT_EQ(c_thread_timedjoin(board_->thread, nullptr, 5000), 0);
    board_->thread = nullptr;
}

// A failure status stops the acquisition; on a record without a board that
// stop fails and ends the thread, which must not keep the board lock.
TEST_F(BoardThreadTest, FailureWhoseStopFailsEndsTheThreadAndReleasesTheLock) {
    startThread();
    ASSERT_EQ(SRV_LockBoard(board_), 0);
    board_->digitizer.failStatus = 0x30;
    board_->digitizer.overTempMask = 0x5;
    ASSERT_EQ(SRV_UnlockBoard(board_), 0);
    EXPECT_TRUE(waitFor([this] { return !SRV_IsBoardThreadRunning(board_); }, 3000ms));
    EXPECT_EQ(c_thread_timedjoin(board_->thread, nullptr, 3000), 0);
    board_->thread = nullptr;

    std::atomic<bool> locked{false};
    std::thread taker([this, &locked] {
        if (SRV_LockBoard(board_) == 0) {
            locked = true;
            SRV_UnlockBoard(board_);
        }
    });
    EXPECT_TRUE(waitFor([&locked] { return locked.load(); }, 2000ms));
    taker.join();
    EXPECT_EQ(board_->digitizer.failStatus, 0);
    EXPECT_EQ(board_->digitizer.overTempMask, 0);
    std::string log = readFile(testLogFolder() / "SRVBoardThreadLog.txt");
    EXPECT_NE(log.find("Failure detected. Status=0x30"), std::string::npos);
    EXPECT_NE(log.find("Executing ERROR routine."), std::string::npos);

    // With the thread gone a hand-over is refused instead of waiting.
    EXPECT_EQ(handOver(SRV_THREAD_CMD_STOP), SRV_ERR_GENERIC);
}

TEST(ProcessorChoice, SkipsTheFirstTwoProcessorsAndWrapsToTwo) {
    struct Case {
        int cpus;
        std::vector<int> expected;
    } cases[] = {
        {8, {3, 4, 5, 6, 7, 2, 3}},
        {4, {3, 2, 3, 2}},
        {3, {2, 2}},
        {1, {2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cpus);
        int last = -1;
        for (int expected : c.expected) {
            last = SRV_ChooseNextCPU(last, c.cpus);
            EXPECT_EQ(last, expected);
        }
    }
}

TEST(ServerAcquiringStatus, OnlyRunningStoppingAndPausingCountAsAcquiring) {
    bool expected[] = {false, true, true, false, true, false};
    for (int status = 0; status < 6; status++)
        EXPECT_EQ(SRV_IsAcquiring(status), expected[status]) << status;
}

// ------------------------------------------------------ board information

class ServerBoardInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        digitizer_ = static_cast<c_Digitizer_t*>(c_calloc(1, sizeof(c_Digitizer_t)));
        ASSERT_NE(digitizer_, nullptr);
    }
    void TearDown() override { c_free(digitizer_); }
    SRVBoardInfo_t fill() {
        SRVBoardInfo_t info;
        std::memset(&info, 0, sizeof info);
        EXPECT_EQ(SRV_FillBoardInfo(&info, digitizer_, SRV_BoardAccessOf(&digitizer_->descriptor)), 0);
        return info;
    }
    void setText(char* field, size_t size, const char* text) {
        std::memset(field, 0, size);
        std::memcpy(field, text, std::min(size, std::strlen(text)));
    }
    c_Digitizer_t* digitizer_ = nullptr;
};

TEST_F(ServerBoardInfoTest, MapsModelFamilyAndFormFactorCodes) {
    struct Case {
        uint32_t model, family, formFactor;
        int32_t modelCode, familyCode, formCode;
    } cases[] = {
        {0, 0, 0, 0, 0, 0},     {41, 9, 3, 41, 9, 3}, {42, 11, 4, 43, 10, -1}, {8560, 8560, 2, 42, 14, 2},
        {43, 10, 1, -1, -1, 1}, {7, 16, 0, 7, 15, 0}, {7, 15, 0, 7, -1, 0},    {7, 14, 0, 7, 13, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model * 100000 + c.family);
        digitizer_->descriptor.Model = c.model;
        digitizer_->descriptor.FamilyCode = c.family;
        digitizer_->descriptor.FormFactor = c.formFactor;
        SRVBoardInfo_t info = fill();
        EXPECT_EQ(info.modelCode, c.modelCode);
        EXPECT_EQ(info.familyCode, c.familyCode);
        EXPECT_EQ(info.formFactor, c.formCode);
    }
}

TEST_F(ServerBoardInfoTest, ParsesFirmwareReleaseTextsWithinTheirFields) {
    c_BoardDescriptor_t& d = digitizer_->descriptor;
    struct Case {
        const char* text;
        uint16_t major, minor, build;
    } cases[] = {
        {"1.5 Build 2A", 1, 5, 0x2A},
        {"4.22", 4, 22, 0},
        {"NOT PRESENT", 0, 0, 0},
        {"1.1.1-Build 2023111", 1, 1, 0x3111},    // the server version cut to the field
        {"12.34 Build FFFFFFFF", 12, 34, 0xFFFF}, // fills the field: no terminator
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        setText(d.BoardFirmwareRel, sizeof d.BoardFirmwareRel, c.text);
        setText(d.ChannelFirmwareRel, sizeof d.ChannelFirmwareRel, c.text);
        SRVBoardInfo_t info = fill();
        EXPECT_EQ(info.boardFwMajor, c.major);
        EXPECT_EQ(info.boardFwMinor, c.minor);
        EXPECT_EQ(info.boardFwBuild, c.build);
        EXPECT_EQ(info.channelFwMajor, c.major);
        EXPECT_EQ(info.channelFwMinor, c.minor);
        EXPECT_EQ(info.channelFwBuild, c.build);
    }
}

TEST_F(ServerBoardInfoTest, CopiesCountsAndConvertsThePeriodToPicoseconds) {
    c_BoardDescriptor_t& d = digitizer_->descriptor;
    setText(d.ModelName, sizeof d.ModelName, "MODELNAME123"); // 12 characters, no terminator
    d.Channels = 16;
    d.SerialNumber = 4711;
    d.HVChannels = 2;
    d.LVDSGroups = 4;
    d.MonOuts = 1;
    d.EnergyBits = 15;
    d.ADC_NBits = 14;
    d.InfoWord = 0xABCD;
    d.AnalogVTraces = 2;
    d.DigitalVTraces = 3;
    d.SamplePeriod = 4.0;
    SRVBoardInfo_t info = fill();
    EXPECT_EQ(std::string(info.modelName), "MODELNAME12");
    EXPECT_EQ(info.channelCount, 16u);
    EXPECT_EQ(info.serialNumber, 4711u);
    EXPECT_EQ(info.hvChannelCount, 2u);
    EXPECT_EQ(info.lvdsGroupCount, 4u);
    EXPECT_EQ(info.monOutCount, 1u);
    EXPECT_EQ(info.energyBits, 15u);
    EXPECT_EQ(info.adcBits, 14u);
    EXPECT_EQ(info.boardInfoWord, 0xABCDu);
    EXPECT_EQ(info.virtualTraceCount, 5u);
    EXPECT_EQ(info.samplePeriodPs, 4000u);
    EXPECT_EQ(std::string(info.libraryVersion), "0.99.10");
    EXPECT_EQ(std::string(info.reserved, sizeof info.reserved), std::string(17, '\0'));

    d.SamplePeriod = 3.3333; // truncated
    EXPECT_EQ(fill().samplePeriodPs, 3333u);
}

} // namespace
