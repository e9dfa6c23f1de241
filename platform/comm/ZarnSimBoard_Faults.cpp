// Faults that tests raise on the simulated board: the conditions the board
// reports in its status registers (PLL unlock, over-temperature, ADC
// shutdown) and a block read cut short with an error code. The faults of
// single register accesses and of the open are the registry's
// (ZarnSimRegistry.cpp).
#include "ZarnSimBoard.h"

#include "ZarnSimulator.h"

namespace zsim {

void Board::RaiseCondition(int condition, uint64_t mask) {
    CatchUp();
    uint64_t all = channels_ >= 64 ? ~0ull : (1ull << channels_) - 1;
    switch (condition) {
    case ZARN_SIM_COND_PLL_UNLOCK:
        pllUnlockLatched_ = true;
        pllClearArmed_ = false;
        break;
    case ZARN_SIM_COND_OVER_TEMPERATURE:
        overTempMask_ |= (mask ? mask : all) & all;
        shutdownMask_ |= overTempMask_;
        adcShutdown_ = true;
        break;
    case ZARN_SIM_COND_ADC_SHUTDOWN:
        shutdownMask_ |= (mask ? mask : all) & all;
        adcShutdown_ = true;
        break;
    default: break;
    }
}

void Board::ClearCondition(int condition) {
    CatchUp();
    switch (condition) {
    case ZARN_SIM_COND_PLL_UNLOCK:
        pllUnlockLatched_ = false;
        pllClearArmed_ = false;
        break;
    case ZARN_SIM_COND_OVER_TEMPERATURE: overTempMask_ = 0; break;
    case ZARN_SIM_COND_ADC_SHUTDOWN:
        adcShutdown_ = overTempMask_ != 0;
        shutdownMask_ = overTempMask_;
        break;
    default: break;
    }
}

void Board::CutNextBlockRead(uint32_t maxWords, int code) {
    cutPending_ = true;
    cutWords_ = maxWords;
    cutCode_ = code;
}

} // namespace zsim
