// Closing the board while its board thread can't end: the simulated board
// opened in-process the way the server opens it, its board thread held where
// an idle thread waits, and a close that gives up after its join time-out.
#include <gtest/gtest.h>

#include "MorvaneServer.h"
#include "SRVBoardThread.h"
#include "SRV_BoardLifecycle.h"
#include "SRV_Globals.h"
#include "ServerTestSupport.h"

using namespace srvtest;
using namespace std::chrono_literals;

namespace {

const fs::path& workFolder() { return inProcessServerFolder(); }
const bool environmentSet = !workFolder().empty(); // set before any server code runs

std::string commonLog() { return readFile(workFolder() / "logs" / "SRV_CommonLog.txt"); }

class BoardCloseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SRV_InitGlobals(), 0);
        fs::create_directories(workFolder() / "work" / "Run");
        ASSERT_EQ(chdir((workFolder() / "work").c_str()), 0);
        SRVConnParams_t params{};
        ASSERT_EQ(SRV_AddBoard(&params, nullptr), 0) << commonLog();
        board_ = &SRV_Globals->board;
        ASSERT_TRUE(SRV_IsBoardThreadRunning(board_));
    }
    void TearDown() override {
        if (SRV_Globals == nullptr)
            return;
        EXPECT_EQ(SRV_CloseBoard(board_), SRV_SUCCESS);
        c_xml_freedoc(SRV_Globals->serverDefinitions);
        c_free(SRV_Globals);
        SRV_Globals = nullptr;
    }
    SRVBoard_t* board_ = nullptr;
};

// A board thread that does not end within the close's 10 s still uses the
// digitizer record, the server parameters and the locks: the close frees
// none of them, keeps the board open and says so; once the thread has ended
// a second close frees everything.
TEST_F(BoardCloseTest, CloseThatCannotJoinTheThreadFreesNothingItUses) {
    c_ParamCollection_t* collection = board_->collection;
    ASSERT_NE(collection, nullptr);
    // An idle thread takes the idle condition's lock at least every 100 ms,
    // and can't end before the quit flag is set: it is soon held there.
    ASSERT_EQ(c_condition_lock(&board_->idleCondition), 0);
    std::this_thread::sleep_for(1000ms);
    auto start = Clock::now();
    EXPECT_EQ(SRV_CloseBoard(board_), SRV_ERR_GENERIC);
    EXPECT_GE(Clock::now() - start, 9500ms);
    EXPECT_TRUE(board_->open);
    EXPECT_NE(board_->thread, nullptr);
    EXPECT_TRUE(SRV_IsBoardThreadRunning(board_));
    EXPECT_TRUE(c_isDgtzOpened(&board_->digitizer));
    EXPECT_EQ(board_->collection, collection);
    EXPECT_NE(commonLog().find("did not end within 10000 ms: the board stays open"), std::string::npos);

    // Released, the thread sees the quit flag and ends on a record that is
    // still whole.
    ASSERT_EQ(c_condition_unlock(&board_->idleCondition), 0);
    EXPECT_TRUE(waitFor([this] { return !SRV_IsBoardThreadRunning(board_); }, 5000ms));
    EXPECT_EQ(SRV_CloseBoard(board_), SRV_SUCCESS);
    EXPECT_FALSE(board_->open);
    EXPECT_EQ(board_->thread, nullptr);
    EXPECT_FALSE(c_isDgtzOpened(&board_->digitizer));
    EXPECT_EQ(board_->collection, nullptr);
}

} // namespace
