/* The SPI wait before a DC-offset write keeps its bound: 16 reads 100 ms
 * apart. The board's register read is replaced by this program's own (by
 * symbol interposition), which reports the SPI busy bit as it is told. */
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "KelsorFunctions.h"
#include "RecordFixture.h"
#include "ZarnDigitizer.h"

namespace {

bool forcing = false;
uint32_t forcedValue = 0;
int reads = 0;
uint32_t lastAddress = 0;

} // namespace

extern "C" int ZARN_DGTZ_ReadRegister(int handle, uint32_t address, uint32_t* value) {
    if (forcing) {
        reads++;
        lastAddress = address;
        *value = forcedValue;
        return 0;
    }
    using ReadFn = int (*)(int, uint32_t, uint32_t*);
    ReadFn real = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "ZARN_DGTZ_ReadRegister"));
    return real != NULL ? real(handle, address, value) : ZARN_DGTZ_GenericError;
}

TEST(Waits, SpiBusyTimesOutAfterSixteenReads) {
    rectest::Record record(16);
    c_Parameter_t* offset = record.channel(9, DPPL_PARAM_CH_DCOFFSET, 0);
    c_ParamRef_t ref = {record.get(), offset};
    c_PresetFcn_t wait = kelsortest::fn<c_PresetFcn_t>("WaitSPIFreeDCOffset");
    forcing = true;

    forcedValue = 0x4; /* always busy */
    reads = 0;
    uint64_t start = c_get_time();
    EXPECT_EQ(wait(&ref), DPPL_ERR_TIMEOUT);
    uint64_t elapsed = c_get_time() - start;
    EXPECT_EQ(reads, 16);
    EXPECT_EQ(lastAddress, 0x1F88u); /* index 9 of a Pemb board: channel 15's register */
    EXPECT_GE(elapsed, 1500u);
    EXPECT_LT(elapsed, 3000u);

    forcedValue = 0xFB; /* every bit but the busy one */
    reads = 0;
    EXPECT_EQ(wait(&ref), 0);
    EXPECT_EQ(reads, 1);
    forcing = false;
}
