/* Failure checks and their restore: PLL lock, ADC auto-shutdown and
 * over-temperature. */
#include "BoardOpenSupport.h"

using namespace boardtest;

namespace {

class StatusCheck : public BoardTest {};

TEST_F(StatusCheck, PllUnlockIsReportedAndRestored) {
    Board board;
    ASSERT_EQ(0, board.Open(OrluPha()));
    c_Digitizer_t* d = board.get();
    ASSERT_EQ(0, ZarnSim_RaiseCondition(board.Link(), ZARN_SIM_COND_PLL_UNLOCK, 0));
    EXPECT_EQ(-50, c_checkStatus(d));
    EXPECT_EQ(FAILSTATUS_PLL_UNLOCK, d->failStatus);
    EXPECT_EQ(-50, c_checkStatus(d)); /* the latch holds until the restore */
    EXPECT_EQ(0, c_restorePLLUnlock(d));
    EXPECT_EQ(0, d->failStatus);
    EXPECT_EQ(0, c_checkStatus(d));
}

TEST_F(StatusCheck, RestoreThatCannotReadTheLatchFails) {
    Board board;
    ASSERT_EQ(0, board.Open(OrluPha()));
    c_Digitizer_t* d = board.get();
    ZarnSim_RaiseCondition(board.Link(), ZARN_SIM_COND_PLL_UNLOCK, 0);
    ZarnSim_FailRegisterAccess(0xEF04, 1, -2);
    EXPECT_EQ(-45, GENERIC_RestoreStatus(d));
    EXPECT_EQ(-50, c_checkStatus(d));
    EXPECT_EQ(0, GENERIC_RestoreStatus(d)); /* without the fault the restore clears it */
    EXPECT_EQ(0, c_checkStatus(d));
}

TEST_F(StatusCheck, AdcShutdownWithoutOverTemperatureIsRestored) {
    Board board;
    ASSERT_EQ(0, board.Open(PembPha11()));
    c_Digitizer_t* d = board.get();
    ZarnSim_RaiseCondition(board.Link(), ZARN_SIM_COND_ADC_SHUTDOWN, 0x3);
    EXPECT_EQ(-36, c_checkStatus(d));
    EXPECT_EQ(FAILSTATUS_ADC_SHUTDOWN, d->failStatus);
    EXPECT_EQ(0, d->overTempMask);
    EXPECT_EQ(0, GENERIC_RestoreStatus(d)); /* writes 0 to 0x81C0 */
    EXPECT_EQ(0, c_checkStatus(d));
    EXPECT_EQ(0, d->failStatus);
}

TEST_F(StatusCheck, OverTemperatureBlocksTheRestoreUntilItClears) {
    Board board;
    ASSERT_EQ(0, board.Open(PembPsd14()));
    c_Digitizer_t* d = board.get();
    ZarnSim_RaiseCondition(board.Link(), ZARN_SIM_COND_OVER_TEMPERATURE, 0x5);
    EXPECT_EQ(-49, c_checkStatus(d));
    EXPECT_EQ(FAILSTATUS_ADC_SHUTDOWN | FAILSTATUS_OVER_TEMPERATURE, d->failStatus);
    EXPECT_EQ(0x5, d->overTempMask);
    EXPECT_EQ(-49, GENERIC_RestoreStatus(d));
    EXPECT_EQ(0x5, d->overTempMask);
    ZarnSim_ClearCondition(board.Link(), ZARN_SIM_COND_OVER_TEMPERATURE);
    EXPECT_EQ(0, GENERIC_RestoreStatus(d));
    EXPECT_EQ(0, c_checkStatus(d));
    EXPECT_EQ(0, d->failStatus);
    EXPECT_EQ(0, d->overTempMask);
}

TEST_F(StatusCheck, OnlyOpenLiveRecordsAreChecked) {
    Board record;
    EXPECT_EQ(-3, c_checkStatus(record.get()));
    EXPECT_EQ(-3, c_restorePLLUnlock(record.get()));
    record->kind = DGTZ_KIND_GEN2_REPLAY;
    EXPECT_EQ(-42, c_checkStatus(record.get()));
    EXPECT_EQ(0, GENERIC_RestoreStatus(record.get()));
    record->kind = DGTZ_KIND_OPEN;
    record->replay = 1;
    EXPECT_EQ(-43, c_restorePLLUnlock(record.get()));
    record->kind = DGTZ_KIND_CLOSED;
}

TEST_F(StatusCheck, ActiveHighVoltageRangeOfAnOrdinaryBoardIsZero) {
    Board board;
    ASSERT_EQ(0, board.Open(OrluPha()));
    for (uint32_t h : {0u, 1u, 7u}) {
        uint32_t range = 99;
        EXPECT_EQ(0, GENERIC_GetHVActiveRangeIndex(board.get(), h, &range));
        EXPECT_EQ(0u, range);
    }
}

} // namespace
