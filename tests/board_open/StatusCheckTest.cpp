/* Failure checks and their restore: PLL lock, ADC auto-shutdown and
 * over-temperature. */
#include "BoardOpenSupport.h"

#include <string>

#include "ZarnComm.h"

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

/* The register-level device reads the range code from its channel control
 * register; an unreadable register or a channel past its two is -6, logged
 * with the device's own "<model>_<serial>[HV<n>]: " prefix. The record of an
 * ordinary board stands in for the device (same link, family changed). */
TEST_F(StatusCheck, ActiveHighVoltageRangeOfTheDeviceComesFromItsControlRegister) {
    LogFolder logs;
    Board board;
    ASSERT_EQ(0, board.Open(OrluPha()));
    c_Digitizer_t* d = board.get();
    const uint32_t family = d->descriptor.FamilyCode;
    d->descriptor.FamilyCode = DPPL_FAMILY_MORVANE;
    d->hv[0].rangeCount = 2;
    d->hv[0].ranges[0].rangeCode = 0;
    d->hv[0].ranges[1].rangeCode = 2;

    uint32_t range = 99;
    ASSERT_EQ(0, ZarnComm_Write32(board.Link(), 0x10EC, 2u << 3));
    EXPECT_EQ(0, GENERIC_GetHVActiveRangeIndex(d, 0, &range));
    EXPECT_EQ(1u, range);
    ASSERT_EQ(0, ZarnComm_Write32(board.Link(), 0x10EC, 3u << 3));
    EXPECT_EQ(-6, GENERIC_GetHVActiveRangeIndex(d, 0, &range));
    EXPECT_EQ(-6, GENERIC_GetHVActiveRangeIndex(d, 2, &range));
    ZarnSim_FailRegisterAccess(0x10EC, 1, -2);
    EXPECT_EQ(-6, GENERIC_GetHVActiveRangeIndex(d, 0, &range));
    d->descriptor.FamilyCode = family;

    std::string log = logs.Read("ZarnBoard_GENERICLog.txt");
    std::string prefix = std::string(d->descriptor.ModelName) + "_" + std::to_string(d->descriptor.SerialNumber);
    EXPECT_NE(std::string::npos, log.find(prefix + "[HV0]: Can't read HVCHANNEL_CONTROL register.")) << log;
    EXPECT_NE(std::string::npos, log.find("Can't find a HVrange corrseponding to read code 3"));
    for (int code : {-13, -10})
        EXPECT_NE(std::string::npos,
                  log.find("GENERIC_GetHVActiveRangeIndex: XMOR_DGTZ_GetHVActiveRangeIndex failed with error " +
                           std::to_string(code)))
            << code;
}

} // namespace
