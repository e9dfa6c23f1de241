/*
 * The value engine against the simulated board: sets and gets of every kind
 * of parameter, their refusals, register faults, free-value paths and the
 * services of the same family. The record is filled by hand around a board
 * opened through the board-access layer; its parameters come from the
 * fixture board definition file.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ParamTestSupport.h"
#include "ZarnComm.h"
#include "ZarnDigitizer.h"
#include "ZarnSimulator.h"

namespace {

/* Codes of the fixture parameters. */
enum : int32_t {
    P_SOFT = 0,
    P_REG,
    P_FIELD,
    P_BCAST,
    P_LOW,
    P_RO,
    P_WO,
    P_LIST,
    P_ACQ,
    P_FAR,
    P_ZEROMASK,
    P_SETFCN,
    P_SWCHECK,
    P_CONV,
    P_HOOKS,
    P_SOFTLIST,
    P_DEPENDENT,
    P_FOLLOWER,
    C_THR = 202,
    H_ON = 606,
    H_GUARDED = 607,
    H_FREE = 608,
};

class ValueEngine : public ::testing::Test {
protected:
    void SetUp() override {
        ZarnSim_ResetFaults();
        int link = 7;
        ASSERT_EQ(ZARN_DGTZ_OpenDigitizer2(ZARN_DGTZ_LINK_USB, &link, 0, 0, &handle_), 0);
        ZARN_DGTZ_BoardInfo_t info{};
        ASSERT_EQ(ZARN_DGTZ_GetInfo(handle_, &info), 0);
        record_ = paramtest::makeRecord(90, "200.1");
        record_->descriptor.CommHandle = info.CommHandle;
        record_->handle = handle_;
        link_ = info.CommHandle;
        ASSERT_EQ(GENERIC_LoadParameters(record_.get()), 0);
        paramtest::plugin() = TestPluginState_t{};
    }
    void TearDown() override {
        paramtest::plugin() = TestPluginState_t{};
        ZarnSim_ResetFaults();
        paramtest::freeCollections(record_.get());
        ZARN_DGTZ_CloseDigitizer(handle_);
    }

    c_Digitizer_t* d() { return record_.get(); }
    c_Parameter_t* board(int32_t code) {
        c_Parameter_t* p = c_pfind(d(), code);
        EXPECT_NE(p, nullptr) << code;
        return p;
    }
    uint32_t peek(uint32_t address) {
        uint32_t value = 0;
        EXPECT_EQ(ZarnSim_PeekRegister(link_, address, &value), 0);
        return value;
    }
    void poke(uint32_t address, uint32_t value) { ASSERT_EQ(ZarnSim_PokeRegister(link_, address, value), 0); }

    int handle_ = -1;
    int32_t link_ = -1;
    std::unique_ptr<c_Digitizer_t> record_;
};

} // namespace

TEST_F(ValueEngine, RegisterBackedRangeIsClampedWrittenAndReadBack) {
    paramtest::LogCapture log;
    c_Parameter_t* p = board(P_REG);
    EXPECT_EQ(c_pset(d(), p, 50), 0);
    EXPECT_EQ(peek(0x8160), 50u);
    EXPECT_EQ(p->value, 50);
    EXPECT_EQ(p->preferred, 50);

    EXPECT_EQ(c_pset(d(), p, 150), 0); /* too big: max is written */
    EXPECT_EQ(peek(0x8160), 100u);
    EXPECT_EQ(p->value, 100);
    EXPECT_EQ(p->preferred, 150);
    EXPECT_TRUE(log.has("PTEST_42: 'Whole register'=150.000 is a too big value. Using max=100.000 instead."));
    EXPECT_TRUE(log.has("PTEST_42: Setting 'Whole register=100.000' writing 0x00000064 to 0x8160."));
    EXPECT_EQ(c_pset_nopref(d(), p, -3), 0); /* too small: min; the preferred value stays */
    EXPECT_EQ(peek(0x8160), 0u);
    EXPECT_EQ(p->preferred, 150);
    EXPECT_TRUE(log.has("PTEST_42: 'Whole register'=-3.000 is a too small value. Using min=0.000 instead."));

    poke(0x8160, 42); /* a get reads the board */
    double value = 0;
    EXPECT_EQ(c_pget(d(), p, &value), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(p->value, 42);
}

TEST_F(ValueEngine, MaskedFieldKeepsTheOtherBits) {
    c_Parameter_t* p = board(P_FIELD);
    poke(0x8164, 0xA5A5A5A5);
    EXPECT_EQ(c_pset(d(), p, 0x12), 0);
    EXPECT_EQ(peek(0x8164), 0xA5A512A5u);
    EXPECT_EQ(p->value, 0x12);
    poke(0x8164, 0xFFFF34FF);
    double value = 0;
    EXPECT_EQ(c_pget(d(), p, &value), 0);
    EXPECT_EQ(value, 0x34);
}

TEST_F(ValueEngine, BroadcastAddressesAreReadAtChannelZero) {
    paramtest::LogCapture log;
    c_Parameter_t* broadcast = board(P_BCAST); /* 0x8084 */
    EXPECT_EQ(c_pset(d(), broadcast, 77), 0);
    EXPECT_EQ(peek(0x8084), 77u);
    EXPECT_EQ(peek(0x1084), 77u); /* the board copies a broadcast write to every channel */
    poke(0x1084, 5);
    poke(0x8084, 6);
    double value = 0;
    EXPECT_EQ(c_pget(d(), broadcast, &value), 0);
    EXPECT_EQ(value, 5);
    EXPECT_TRUE(log.has("PTEST_42: Addr 0x8084 of parameter 'Broadcast' seems to be a broadcast address, will instead "
                        "use 0x1084 to read the value."));
    EXPECT_TRUE(log.has("PTEST_42: Read 0x00000005 from 0x1084, which equals to 'Broadcast'=5.000."));

    c_Parameter_t* ordinary = board(P_LOW); /* 0x8000, mask 0xF000 */
    poke(0x8000, 0x0000ABCD);
    EXPECT_EQ(c_pset(d(), ordinary, 3), 0);
    EXPECT_EQ(peek(0x8000), 0x3BCDu);
    poke(0x1000, 0x9000);
    EXPECT_EQ(c_pget(d(), ordinary, &value), 0);
    EXPECT_EQ(value, 3);
}

TEST_F(ValueEngine, ReadOnlyIsNotWrittenButReadBack) {
    paramtest::LogCapture log;
    c_Parameter_t* p = board(P_RO);
    poke(0x8168, 1234);
    ZarnSim_FailNextRegisterWrite(ZARN_COMM_CommError); /* any write would fail the set */
    EXPECT_EQ(c_pset(d(), p, 5), 0);
    ZarnSim_FailNextRegisterWrite(0);
    EXPECT_EQ(peek(0x8168), 1234u);
    EXPECT_EQ(p->value, 1234);
    EXPECT_TRUE(log.has("PTEST_42: Read-only register 0x8168 corresponding to parameter Read only."));
    /* the access test can be skipped by the caller */
    EXPECT_EQ(GENERIC_SetParam(d(), p, 5, C_SETPARAM_SKIP_ACCESS), 0);
    EXPECT_EQ(peek(0x8168), 5u);
}

TEST_F(ValueEngine, WriteOnlyReadsTheLastWrittenValue) {
    c_Parameter_t* p = board(P_WO);
    EXPECT_EQ(c_pset(d(), p, 7), 0);
    EXPECT_EQ(peek(0x816C), 7u);
    poke(0x816C, 99);
    ZarnSim_FailNextRegisterRead(ZARN_COMM_CommError); /* a get must not read */
    double value = 0;
    EXPECT_EQ(c_pget(d(), p, &value), 0);
    ZarnSim_FailNextRegisterRead(0);
    EXPECT_EQ(value, 7);
}

TEST_F(ValueEngine, ListValuesOnly) {
    paramtest::LogCapture log;
    c_Parameter_t* p = board(P_LIST); /* RED 0 -> 1, GREEN 1 -> 2, BLUE 2 -> 3, bits 4-5 */
    EXPECT_EQ(p->value, 1);
    poke(0x8170, 0xFFFFFF0F);
    EXPECT_EQ(c_pset(d(), p, 2), 0);
    EXPECT_EQ(peek(0x8170), 0xFFFFFF3Fu);
    EXPECT_EQ(p->value, 2);

    EXPECT_EQ(c_pset(d(), p, 1.5), DPPL_ERR_PARAMETER);
    EXPECT_TRUE(log.has("PTEST_42: Value 1.500 is not allowed for parameter 'Colour'"));
    EXPECT_EQ(p->preferred, 1.5); /* stored before the refusal */
    EXPECT_EQ(p->value, 2);
    EXPECT_EQ(peek(0x8170), 0xFFFFFF3Fu);

    double value = -1;
    poke(0x8170, 0x10);
    EXPECT_EQ(c_pget(d(), p, &value), 0);
    EXPECT_EQ(value, 0);
    poke(0x8170, 0x00); /* no entry has register value 0: entry 0 answers */
    value = -1;
    EXPECT_EQ(c_pget(d(), p, &value), 0);
    EXPECT_EQ(value, 0);

    c_ParamRef_t ref = {d(), p};
    EXPECT_EQ(GENERIC_ListValToReg(&ref, 2), 3u);
    EXPECT_EQ(GENERIC_ListValToReg(&ref, 9), 1u); /* unknown value: entry 0's register value */

    p->count = 0; /* an empty list accepts nothing */
    EXPECT_EQ(c_pset(d(), p, 0), DPPL_ERR_PARAMETER);
}

TEST_F(ValueEngine, SoftwareOnlyRoundsToTheStepThenClamps) {
    struct Case {
        int32_t code;
        double in;
        double stored;
    };
    const Case cases[] = {
        {P_SOFT, 1.3, 1.5},                          /* min -inf: base 0, step 0.5 */
        {P_SOFT, 1.25, 1.5},                         /* halves away from zero */
        {P_SOFT, -1.25, -1.5}, {P_SOFT, 1000, 100},  /* clamped after rounding */
        {P_SWCHECK, 1.3, 1.2},                       /* software-only by its check: base min 0.2, step 1 */
        {P_SWCHECK, 0, 0.2},   {P_SOFTLIST, -2, -2}, /* lists are neither rounded nor clamped */
    };
    paramtest::plugin().softwareOnly = true;
    uint32_t before = peek(0x8184);
    for (const Case& c : cases) {
        c_Parameter_t* p = board(c.code);
        EXPECT_EQ(c_pset(d(), p, c.in), 0) << c.code << " " << c.in;
        EXPECT_DOUBLE_EQ(p->value, c.stored) << c.code << " " << c.in;
        double value = 0;
        EXPECT_EQ(c_pget(d(), p, &value), 0);
        EXPECT_DOUBLE_EQ(value, c.stored);
    }
    EXPECT_EQ(peek(0x8184), before); /* software-only: nothing written */
    EXPECT_GT(paramtest::plugin().swcheckCalls, 0);

    /* the same parameter register-backed: clamped, not rounded, before the
     * write; its read-back value is rounded to the step */
    paramtest::plugin().softwareOnly = false;
    c_Parameter_t* checked = board(P_SWCHECK);
    EXPECT_EQ(c_pset(d(), checked, 1.3), 0);
    EXPECT_EQ(peek(0x8184), 1u);
    EXPECT_DOUBLE_EQ(checked->value, 1.2);
}

TEST_F(ValueEngine, SetFunctionOwnsTheValue) {
    c_Parameter_t* p = board(P_SETFCN);
    EXPECT_EQ(c_pset(d(), p, 10), 0);
    EXPECT_EQ(paramtest::plugin().setCalls, 1);
    EXPECT_EQ(paramtest::plugin().lastSetValue, 10);
    EXPECT_EQ(p->value, 20);
    paramtest::plugin().setResult = -9;
    EXPECT_EQ(c_pset(d(), p, 30), -9);
    EXPECT_EQ(p->value, 20);
    EXPECT_EQ(paramtest::plugin().lastSetValue, 30);
}

TEST_F(ValueEngine, ConvertersAndHooks) {
    c_Parameter_t* conv = board(P_CONV);
    EXPECT_EQ(c_pset(d(), conv, 2.34), 0);
    EXPECT_EQ(paramtest::plugin().lastValToRegValue, 2.34);
    EXPECT_EQ(peek(0x8188), 23u);
    EXPECT_NEAR(conv->value, 2.3, 1e-9);
    EXPECT_EQ(c_pset(d(), conv, 1e9), 0); /* the converter gets the clamped value */
    EXPECT_EQ(paramtest::plugin().lastValToRegValue, 100);

    c_Parameter_t* hooked = board(P_HOOKS);
    paramtest::plugin().presetResult = -17;
    EXPECT_EQ(c_pset(d(), hooked, 5), -17);
    EXPECT_EQ(peek(0x818C), 0u);
    EXPECT_EQ(paramtest::plugin().postsetCalls, 0);
    paramtest::plugin().presetResult = 0;
    paramtest::plugin().postsetResult = -9;
    EXPECT_EQ(c_pset(d(), hooked, 6), -9);
    EXPECT_EQ(peek(0x818C), 6u); /* a failure after the write leaves it written */
    EXPECT_EQ(paramtest::plugin().presetCalls, 2);
    EXPECT_EQ(paramtest::plugin().postsetCalls, 1);

    /* a postset sets a dependent parameter through the same path */
    c_Parameter_t* dependent = board(P_DEPENDENT);
    c_Parameter_t* follower = board(P_FOLLOWER);
    EXPECT_EQ(c_pset(d(), dependent, 5), 0);
    EXPECT_EQ(follower->value, 6);
    EXPECT_EQ(follower->preferred, 0);
}

TEST_F(ValueEngine, AcquisitionRefusals) {
    c_Parameter_t* p = board(P_REG);
    struct Case {
        int32_t status;
        int expected;
    };
    const Case cases[] = {{ACQSTATUS_STOPPED, 0}, {ACQSTATUS_STOPPING, -23}, {ACQSTATUS_RUNNING, -23},
                          {ACQSTATUS_PAUSED, 0},  {ACQSTATUS_PAUSING, -23},  {ACQSTATUS_UNDETERMINED, -23}};
    for (const Case& c : cases) {
        d()->acqStatus = c.status;
        poke(0x8160, 1);
        EXPECT_EQ(c_pset(d(), p, 9), c.expected) << c.status;
        EXPECT_EQ(peek(0x8160), c.expected == 0 ? 9u : 1u) << c.status;
    }
    d()->acqStatus = ACQSTATUS_RUNNING;
    EXPECT_EQ(c_pset(d(), board(P_ACQ), 4), 0); /* may be set while running */
    EXPECT_EQ(GENERIC_SetParam(d(), p, 4, C_SETPARAM_SKIP_ACQUISITION), 0);
    d()->acqStatus = ACQSTATUS_STOPPED;

    /* channel parameters: the register-level device asks the register's
     * channel, other families the board */
    d()->channels[1].acqStatus = ACQSTATUS_RUNNING;
    EXPECT_EQ(c_pset(d(), c_pfindc(d(), 1, C_THR), 10), 0);
    d()->descriptor.FamilyCode = DPPL_FAMILY_MORVANE;
    EXPECT_EQ(c_pset(d(), c_pfindc(d(), 0, C_THR), 10), 0);
    EXPECT_EQ(c_pset(d(), c_pfindc(d(), 1, C_THR), 10), -23);
    d()->acqStatus = ACQSTATUS_RUNNING;
    EXPECT_EQ(c_pset(d(), c_pfindc(d(), 0, C_THR), 10), 0);
    EXPECT_EQ(c_pset(d(), p, 10), -23); /* a board parameter follows the board */
}

TEST_F(ValueEngine, HighVoltageRefusal) {
    c_Parameter_t* on = c_pfindhvc(d(), 0, H_ON);
    c_Parameter_t* guarded = c_pfindhvc(d(), 0, H_GUARDED);
    c_Parameter_t* free = c_pfindhvc(d(), 0, H_FREE);
    ASSERT_NE(on, nullptr);
    ASSERT_EQ(c_pset(d(), on, 1), 0);

    EXPECT_EQ(c_pset(d(), guarded, 5), 0); /* only the register-level device reports an on channel */
    d()->descriptor.DPPCode = DPPL_DPPCODE_MORVANE;
    d()->descriptor.FamilyCode = DPPL_FAMILY_MORVANE;
    EXPECT_EQ(c_pset(d(), guarded, 6), -25);
    EXPECT_EQ(guarded->value, 5);
    EXPECT_EQ(c_pset(d(), free, 6), 0);
    EXPECT_EQ(GENERIC_SetParam(d(), guarded, 6, C_SETPARAM_SKIP_HV), 0);
    EXPECT_EQ(c_pset(d(), on, 0), 0);
    EXPECT_EQ(c_pset(d(), guarded, 7), 0);
}

TEST_F(ValueEngine, ReplayRecordsRefuseRegisters) {
    c_Parameter_t* reg = board(P_REG);
    double value = 0;
    uint32_t word = 0;
    char text[16];
    d()->replay = 1;
    EXPECT_EQ(c_pset(d(), reg, 5), DPPL_ERR_FILE_DIGITIZER);
    EXPECT_EQ(c_pget(d(), reg, &value), DPPL_ERR_FILE_DIGITIZER);
    EXPECT_EQ(c_pset(d(), board(P_SOFT), 2), 0); /* software-only needs no board */
    EXPECT_EQ(c_rwrite(d(), 0x8160, 1), DPPL_ERR_FILE_DIGITIZER);
    EXPECT_EQ(c_rread(d(), 0x8160, &word), DPPL_ERR_FILE_DIGITIZER);
    EXPECT_EQ(c_fvget(d(), "8160", text), DPPL_ERR_FILE_DIGITIZER);
    EXPECT_EQ(c_fvset(d(), "8160/0-3", "1"), DPPL_ERR_FILE_DIGITIZER);

    d()->kind = 1; /* a second-generation replay supports no parameter access */
    EXPECT_EQ(c_pset(d(), board(P_SOFT), 2), DPPL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(c_pset(d(), board(P_RO), 2), DPPL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(c_pget(d(), board(P_SOFT), &value), DPPL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(c_fvset(d(), "8160", "1"), DPPL_ERR_NOT_SUPPORTED);
    EXPECT_EQ(c_fvget(d(), "8160", text), DPPL_ERR_NOT_SUPPORTED);
}

TEST_F(ValueEngine, RegisterFaultsGiveTheirCodes) {
    paramtest::LogCapture log;
    c_Parameter_t* reg = board(P_REG);
    c_Parameter_t* field = board(P_FIELD);
    double value = 0;
    ASSERT_EQ(c_pset(d(), reg, 20), 0);

    ZarnSim_FailNextRegisterWrite(ZARN_COMM_BusError);
    EXPECT_EQ(c_pset(d(), reg, 30), DPPL_ERR_WRITE_REGISTER);
    EXPECT_TRUE(
        log.has("PTEST_42: ZarnComm_Write32(" + std::to_string(link_) + ", 0x8160, 0x1E) failed with error -1."));
    EXPECT_EQ(reg->value, 20);
    EXPECT_EQ(peek(0x8160), 20u);

    ZarnSim_FailNextRegisterRead(ZARN_COMM_CommError);
    EXPECT_EQ(c_pget(d(), reg, &value), DPPL_ERR_READ_REGISTER);

    /* a failed read of a read-modify-write writes nothing */
    poke(0x8164, 0x11111111);
    ZarnSim_FailNextRegisterRead(ZARN_COMM_CommError);
    EXPECT_EQ(c_pset(d(), field, 0x22), DPPL_ERR_READ_REGISTER);
    EXPECT_EQ(peek(0x8164), 0x11111111u);

    /* a failed read-back after the write leaves the value written */
    ZarnSim_FailRegisterAccess(0x8160, 2, ZARN_COMM_CommError);
    EXPECT_EQ(c_pset(d(), reg, 40), DPPL_ERR_READ_REGISTER);
    EXPECT_EQ(peek(0x8160), 40u);

    uint32_t word = 0;
    ZarnSim_FailNextRegisterWrite(ZARN_COMM_CommError);
    EXPECT_EQ(c_rwrite(d(), 0x8160, 1), DPPL_ERR_WRITE_REGISTER);
    ZarnSim_FailNextRegisterRead(ZARN_COMM_CommError);
    EXPECT_EQ(c_rread(d(), 0x8160, &word), DPPL_ERR_READ_REGISTER);
    EXPECT_EQ(c_rwrite(d(), 0x8160, 0xDEADBEEF), 0);
    EXPECT_EQ(c_rread(d(), 0x8160, &word), 0);
    EXPECT_EQ(word, 0xDEADBEEFu);
}

TEST_F(ValueEngine, BadValuesAndParametersAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    poke(0x8160, 55);
    /* not a number: refused everywhere, not even kept as the preferred value */
    for (int32_t code : {P_REG, P_SOFT, P_LIST, P_SETFCN, P_CONV}) {
        c_Parameter_t* p = board(code);
        double preferred = p->preferred;
        double current = p->value;
        EXPECT_EQ(c_pset(d(), p, nan), DPPL_ERR_PARAMETER) << code;
        EXPECT_EQ(c_pset_nopref(d(), p, nan), DPPL_ERR_PARAMETER) << code;
        EXPECT_EQ(p->preferred, preferred);
        EXPECT_EQ(p->value, current);
    }
    /* an infinite value beyond an infinite bound is refused before it is
     * stored; a finite bound clamps it like any other value */
    c_Parameter_t* soft = board(P_SOFT); /* min -inf */
    double softValue = soft->value;
    EXPECT_EQ(c_pset_nopref(d(), soft, -inf), DPPL_ERR_PARAMETER);
    EXPECT_EQ(soft->value, softValue);
    EXPECT_EQ(c_pset(d(), board(P_LIST), inf), DPPL_ERR_PARAMETER);
    EXPECT_EQ(paramtest::plugin().setCalls, 0);
    EXPECT_EQ(peek(0x8160), 55u); /* never written */
    EXPECT_EQ(c_pset(d(), board(P_REG), inf), 0);
    EXPECT_EQ(peek(0x8160), 100u);
    EXPECT_EQ(c_pset(d(), board(P_SETFCN), inf), 0);
    EXPECT_EQ(paramtest::plugin().lastSetValue, 100); /* max */
    EXPECT_EQ(c_pset(d(), soft, inf), 0);
    EXPECT_EQ(soft->value, 100);

    double value = 0;
    EXPECT_EQ(c_pset(d(), board(P_FAR), 1), DPPL_ERR_PARAMETER);
    EXPECT_EQ(c_pget(d(), board(P_FAR), &value), DPPL_ERR_PARAMETER);
    poke(0x8180, 3);
    EXPECT_EQ(c_pset(d(), board(P_ZEROMASK), 1), DPPL_ERR_PARAMETER);
    EXPECT_EQ(c_pget(d(), board(P_ZEROMASK), &value), DPPL_ERR_PARAMETER);
    EXPECT_EQ(peek(0x8180), 3u);
    ZarnSim_FailNextRegisterRead(ZARN_COMM_CommError); /* a get reads before it takes the field */
    EXPECT_EQ(c_pget(d(), board(P_ZEROMASK), &value), DPPL_ERR_READ_REGISTER);

    EXPECT_EQ(c_pset(d(), NULL, 1), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c_pset_nopref(d(), NULL, 1), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c_pget(d(), NULL, &value), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c_pget(d(), board(P_REG), NULL), DPPL_ERR_NULL_ARGUMENT);
    /* without a record only software-only parameters can be served */
    EXPECT_EQ(c_pset(NULL, board(P_SOFT), 3), 0);
    EXPECT_EQ(c_pset(NULL, board(P_REG), 3), DPPL_ERR_NULL_ARGUMENT);
    uint32_t word = 0;
    EXPECT_EQ(c_rread(NULL, 0x8160, &word), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c_rread(d(), 0x8160, NULL), DPPL_ERR_NULL_ARGUMENT);
}

TEST_F(ValueEngine, FreeValuePaths) {
    char text[16] = "";
    poke(0x8164, 0x12345678);
    EXPECT_EQ(c_fvset(d(), "8164/8-11", "F"), 0);
    EXPECT_EQ(peek(0x8164), 0x12345F78u);
    EXPECT_EQ(c_fvget(d(), "8164/8-15", text), 0);
    EXPECT_STREQ(text, "5f");
    EXPECT_EQ(c_fvget(d(), "8164/0-31", text), 0);
    EXPECT_STREQ(text, "12345f78");
    EXPECT_EQ(c_fvget(d(), "0x8164", text), 0);
    EXPECT_STREQ(text, "12345f78");
    /* the mask form keeps register position both ways */
    EXPECT_EQ(c_fvget(d(), "8164/FF00", text), 0);
    EXPECT_STREQ(text, "5f00");
    EXPECT_EQ(c_fvset(d(), "8164/FF00", "AB12"), 0);
    EXPECT_EQ(peek(0x8164), 0x1234AB78u);
    EXPECT_EQ(c_fvset(d(), "8164", "7"), 0);
    EXPECT_EQ(peek(0x8164), 7u);
    EXPECT_EQ(c_fvset(d(), "8164/31-31", "1"), 0);
    EXPECT_EQ(peek(0x8164), 0x80000007u);

    ZarnSim_FailNextRegisterRead(ZARN_COMM_CommError);
    EXPECT_EQ(c_fvget(d(), "8164", text), DPPL_ERR_READ_REGISTER);
    ZarnSim_FailNextRegisterRead(ZARN_COMM_CommError);
    EXPECT_EQ(c_fvset(d(), "8164/0-3", "1"), DPPL_ERR_READ_REGISTER);
    EXPECT_EQ(peek(0x8164), 0x80000007u);
    EXPECT_EQ(c_fvset(d(), "8164", "xyz"), DPPL_ERR_GENERIC);
    EXPECT_EQ(c_fvset(d(), "8164", "123456789"), DPPL_ERR_GENERIC);
    EXPECT_EQ(c_fvset(d(), NULL, "1"), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c_fvget(d(), "8164", NULL), DPPL_ERR_NULL_ARGUMENT);
}

TEST(FreeValuePath, Parsing) {
    struct Case {
        const char* path;
        int result;
        uint32_t address, mask;
        uint8_t shift;
    };
    std::string tooLong = "8164/" + std::string(300, 'F');
    const Case cases[] = {
        {"1080", 0, 0x1080, 0xFFFFFFFF, 0},
        {"0x1080/ff00", 0, 0x1080, 0xFF00, 0},
        {"1080/8-11", 0, 0x1080, 0xF00, 8},
        {"1080/0-31", 0, 0x1080, 0xFFFFFFFF, 0},
        {"1080/31-31", 0, 0x1080, 0x80000000, 31},
        {"1080/4-7-junk", 0, 0x1080, 0xF0, 4}, /* a fourth token is ignored */
        {"/1080", 0, 0x1080, 0xFFFFFFFF, 0},
        {"", -6, 0, 0, 0},
        {"///", -6, 0, 0, 0},
        {"10G0", -6, 0, 0, 0},
        {"1080/FFZ", -6, 0, 0, 0},
        {"1080/x-3", -6, 0, 0, 0},
        {"1080/3-y", -6, 0, 0, 0},
        {"1080/32-33", -6, 0, 0, 0},
        {"1080/3-32", -6, 0, 0, 0},
        {"1080/11-8", -6, 0, 0, 0}, /* a field runs upwards */
        {"100000000", -6, 0, 0, 0},
        {tooLong.c_str(), -6, 0, 0, 0}, /* cut to 255 characters, still too big for 32 bits */
    };
    for (const Case& c : cases) {
        uint32_t address = 0, mask = 0;
        uint8_t shift = 0;
        int result = GENERIC_ParseFreeValuePath(c.path, &address, &mask, &shift);
        EXPECT_EQ(result, c.result) << c.path;
        if (result == 0 && c.result == 0) {
            EXPECT_EQ(address, c.address) << c.path;
            EXPECT_EQ(mask, c.mask) << c.path;
            EXPECT_EQ(shift, c.shift) << c.path;
        }
    }
    EXPECT_EQ(GENERIC_ParseFreeValuePath(NULL, NULL, NULL, NULL), DPPL_ERR_NULL_ARGUMENT);
}

TEST_F(ValueEngine, TriangularFilterFactors) {
    int32_t slowNorm = -1, fastNorm = -1, slowShift = -1, fastShift = -1;
    /* decay 5000 ns, rise 100 ns, period 4 ns: products 31250 and 93750 */
    EXPECT_EQ(c_calcTriangParams(d(), 0, &slowNorm, &fastNorm, &slowShift, &fastShift), 0);
    EXPECT_EQ(fastShift, 14);
    EXPECT_EQ(fastNorm, 34359);
    EXPECT_EQ(slowShift, 16);
    EXPECT_EQ(slowNorm, 45812);

    struct Case {
        double decay, rise, period;
    };
    const Case refused[] = {{5000, 0, 4},
                            {0, 100, 4},
                            {5000, 100, 0},
                            {1, 1, 4},     /* product below 1 */
                            {1e9, 1e9, 1}, /* does not fit 32 bits */
                            {std::numeric_limits<double>::quiet_NaN(), 100, 4}};
    c_Parameter_t* decay = c_pfindc(d(), 1, DPPL_PARAM_CH_TDECAY);
    c_Parameter_t* rise = c_pfindc(d(), 1, DPPL_PARAM_CH_RCCR2_RISE);
    ASSERT_NE(decay, nullptr);
    ASSERT_NE(rise, nullptr);
    for (const Case& c : refused) {
        decay->value = c.decay;
        rise->value = c.rise;
        d()->descriptor.SamplePeriod = c.period;
        slowNorm = fastNorm = slowShift = fastShift = -7;
        EXPECT_EQ(c_calcTriangParams(d(), 1, &slowNorm, &fastNorm, &slowShift, &fastShift), DPPL_ERR_PARAMETER)
            << c.decay << " " << c.rise << " " << c.period;
        EXPECT_EQ(slowNorm + fastNorm + slowShift + fastShift, -28); /* outputs untouched */
    }
    EXPECT_EQ(c_calcTriangParams(d(), 4, &slowNorm, &fastNorm, &slowShift, &fastShift), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c_calcTriangParams(d(), 0, NULL, &fastNorm, &slowShift, &fastShift), DPPL_ERR_NULL_ARGUMENT);
}

TEST(Services, TraceSlotsOfAnEvent) {
    c_Waveform_t waveform{};
    c_DPPEvent_t event{};
    EXPECT_EQ(c_atfind(&event, 0), nullptr); /* no waveform */
    event.waveform = &waveform;
    for (int32_t i = -1; i <= 9; ++i) {
        bool analog = i >= 0 && i <= 2;
        bool digital = i >= 3 && i <= 8;
        EXPECT_EQ(c_atfind(&event, i), analog ? &waveform.traces[i] : nullptr) << i;
        EXPECT_EQ(c_dtfind(&event, i), digital ? &waveform.traces[i] : nullptr) << i;
    }
    EXPECT_EQ(c_atfind(NULL, 0), nullptr);
    EXPECT_EQ(c_dtfind(NULL, 3), nullptr);
}

TEST(Services, ProbeNames) {
    char name[ZARN_DGTZ_PROBE_NAME_SIZE] = "";
    EXPECT_EQ(c_pgetn(1, NULL), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c_pgetn(1, name), 0);
    EXPECT_NE(name[0], '\0');
    EXPECT_EQ(c_pgetn(99, name), 0); /* unknown: a warning, still 0 */
}
