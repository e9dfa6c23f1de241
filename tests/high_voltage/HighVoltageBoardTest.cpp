// The high-voltage channels of the simulated family-7 board, opened end to
// end through the library: the limits its supply reports, the c_hv* calls on
// the record's channel blocks, and the HV parameters of the set path.
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "HighVoltageSupport.h"

namespace hvtest {
namespace {

LogFolder& Logs() {
    static LogFolder* logs = new LogFolder();
    return *logs;
}

class OrluHVBoard : public ::testing::Test {
protected:
    void SetUp() override {
        Logs();
        ZarnSim_ResetFaults();
        ASSERT_EQ(0, board.Open(OrluHV()));
        ASSERT_EQ(2u, board->descriptor.HVChannels);
    }
    void TearDown() override { ZarnSim_ResetFaults(); }

    c_HVChannelBlock_t* hv(int h) { return &board->hv[h]; }
    uint32_t Control(int h) {
        uint32_t value = 0;
        EXPECT_EQ(0, ZARN_DGTZ_ReadRegister(board->handle, HVRegister(board->hv[h], 0x34), &value));
        return value;
    }
    static c_HVSettings_t Settings(double vset, double iset, double rampUp, double rampDown, double vmax,
                                   int32_t mode) {
        return c_HVSettings_t{vset, iset, rampUp, rampDown, vmax, mode};
    }

    Board board;
};

TEST_F(OrluHVBoard, OpensWithTheLimitsAndRangesItsSupplyReports) {
    struct Expected {
        int quantity;
        double max, min, lsb;
    };
    const Expected table[] = {{HVQ_VSET, 5100, 0, 0.1},  {HVQ_ISET, 315, 0, 0.01},     {HVQ_RAMPUP, 500, 1, 1},
                              {HVQ_RAMPDOWN, 500, 1, 1}, {HVQ_VMAX, 5100, 0, 20},      {HVQ_VMON, 5100, 0, 0.1},
                              {HVQ_IMON, 315, 0, 0.01},  {HVQ_VEXT, 100000, 0, 0.001}, {HVQ_RTMP, 100000, 0, 0.1}};
    for (int h = 0; h < 2; ++h) {
        const c_HVChannelBlock_t& block = board->hv[h];
        EXPECT_EQ(2u, block.regBase);
        for (const Expected& e : table) {
            EXPECT_DOUBLE_EQ(e.max, block.limitMax[e.quantity]) << "channel " << h << " quantity " << e.quantity;
            EXPECT_DOUBLE_EQ(e.min, block.limitMin[e.quantity]) << "channel " << h << " quantity " << e.quantity;
            EXPECT_DOUBLE_EQ(e.lsb, block.lsb[e.quantity]) << "channel " << h << " quantity " << e.quantity;
        }
        EXPECT_EQ(0x00010002u | (uint32_t(h) << 8), block.hwInfo);
        /* The load leaves the control register as it found it. */
        EXPECT_EQ(0u, Control(h));
        ASSERT_EQ(1u, block.rangeCount);
        const c_HVRangeBlock_t& range = block.ranges[0];
        EXPECT_STREQ("HV_RANGE_HPGE", range.codename);
        EXPECT_DOUBLE_EQ(5100, range.conv[HVCONV_VSET].max);
        EXPECT_DOUBLE_EQ(0.1, range.conv[HVCONV_VSET].step);
        EXPECT_DOUBLE_EQ(20, range.conv[HVCONV_VMAX].step);
        EXPECT_DOUBLE_EQ(315, range.conv[HVCONV_ISET].max);
        EXPECT_NE(nullptr, c_pfindhvr(board.get(), h, 0, DPPL_PARAM_HVCH_VSET));
    }
}

TEST_F(OrluHVBoard, SettingsReachTheSupplyRegistersAndReadBack) {
    c_HVChannelBlock_t* ch1 = hv(1);
    c_HVSettings_t s = Settings(1000, 100, 50, 40, 4000, 1);
    ASSERT_EQ(0, c_hvsetc(ch1, &s));
    ASSERT_EQ(0, c_hvsetvmax(ch1, 4000));
    EXPECT_EQ(10000u, board.Peek(0x1320)); /* trunc(1000 / 0.1 + 0.49) */
    EXPECT_EQ(10000u, board.Peek(0x1324)); /* 100 uA in 0.01 uA */
    EXPECT_EQ(50u, board.Peek(0x1328));
    EXPECT_EQ(40u, board.Peek(0x132C));
    EXPECT_EQ(200u, board.Peek(0x1330)); /* counts of 20 V */
    EXPECT_EQ(0u, board.Peek(0x1220));   /* channel 0 untouched */

    c_HVSettings_t read{};
    ASSERT_EQ(0, c_hvgetc(ch1, &read));
    EXPECT_DOUBLE_EQ(1000, read.vset);
    EXPECT_DOUBLE_EQ(100, read.iset);
    EXPECT_DOUBLE_EQ(50, read.rampUp);
    EXPECT_DOUBLE_EQ(40, read.rampDown);
    EXPECT_DOUBLE_EQ(4000, read.vmax);
    EXPECT_EQ(1, read.mode);

    /* Rounding of the count, and the mode bit (1 clears bit 1; any other sets it). */
    struct Case {
        double vset;
        int32_t mode;
        uint32_t count;
        bool modeBit;
    };
    for (const Case& c : {Case{1000.04, 0, 10000, true}, Case{1000.06, 2, 10001, true}, Case{0, 1, 0, false},
                          Case{5100, -1, 51000, true}}) {
        s = Settings(c.vset, 100, 50, 40, 4000, c.mode);
        ASSERT_EQ(0, c_hvsetc(ch1, &s)) << c.vset;
        EXPECT_EQ(c.count, board.Peek(0x1320)) << c.vset;
        EXPECT_EQ(c.modeBit, (Control(1) & 0x2) != 0) << "mode " << c.mode;
        ASSERT_EQ(0, c_hvgetc(ch1, &read));
        EXPECT_EQ(c.modeBit ? 0 : 1, read.mode);
    }

    /* VMax is checked by c_hvsetc but written only by c_hvsetvmax, truncated. */
    s = Settings(1000, 100, 50, 40, 100, 1);
    ASSERT_EQ(0, c_hvsetc(ch1, &s));
    EXPECT_EQ(200u, board.Peek(0x1330));
    ASSERT_EQ(0, c_hvsetvmax(ch1, 119.9));
    EXPECT_EQ(5u, board.Peek(0x1330));
}

TEST_F(OrluHVBoard, SettingsOutsideTheLimitsAreRefusedInCheckOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const c_HVSettings_t good = Settings(1000, 100, 50, 40, 4000, 1);
    const uint32_t vsetBefore = board.Peek(0x1220), rampUpBefore = board.Peek(0x1228);
    struct Case {
        std::function<void(c_HVSettings_t&)> change;
        int code;
        const char* text;
    };
    const std::vector<Case> cases = {
        {[](c_HVSettings_t& s) { s.vset = 5100.05; }, -4, "Invalid VSet Value"},
        {[](c_HVSettings_t& s) { s.vset = -0.1; }, -4, "Invalid VSet Value"},
        {[&](c_HVSettings_t& s) { s.vset = nan; }, -4, "Invalid VSet Value"},
        {[](c_HVSettings_t& s) { s.iset = 315.01; }, -5, "Invalid ISet Value"},
        {[](c_HVSettings_t& s) { s.rampDown = 0.5; }, -6, "Invalid RampDown Value"},
        {[](c_HVSettings_t& s) { s.rampUp = 501; }, -7, "Invalid RampUp Value"},
        {[&](c_HVSettings_t& s) { s.vmax = nan; }, -8, "Invalid VMax Value"},
        /* Several faults: the first in the order VSet, ISet, RampDown, RampUp, VMax. */
        {[](c_HVSettings_t& s) {
             s.vmax = 6000;
             s.rampUp = 0;
             s.rampDown = 0;
         },
         -6, "Invalid RampDown Value"},
        {[](c_HVSettings_t& s) {
             s.vmax = 6000;
             s.rampUp = 0;
         },
         -7, "Invalid RampUp Value"},
    };
    for (const Case& c : cases) {
        c_HVSettings_t s = good;
        c.change(s);
        EXPECT_EQ(c.code, c_hvsetc(hv(0), &s)) << c.text;
        EXPECT_EQ(c.code, _hvCheckSettings(hv(0), &s)) << c.text;
    }
    /* Nothing reached the registers. */
    EXPECT_EQ(vsetBefore, board.Peek(0x1220));
    EXPECT_EQ(rampUpBefore, board.Peek(0x1228));
    EXPECT_NE(std::string::npos, Logs().Read("ZarnHighVoltageLog.txt").find("From c_hvsetc: Invalid RampDown Value"));

    EXPECT_EQ(-8, c_hvsetvmax(hv(0), 5100.5));
    EXPECT_EQ(-8, c_hvsetvmax(hv(0), nan));
    EXPECT_EQ(0, c_hvsetvmax(hv(0), 5100));
    EXPECT_EQ(255u, board.Peek(0x1230));

    /* Registers that read outside the limits are reported by c_hvgetc. */
    ASSERT_EQ(0, ZarnSim_PokeRegister(board.Link(), 0x1228, 600));
    c_HVSettings_t read{};
    EXPECT_EQ(-7, c_hvgetc(hv(0), &read));
    EXPECT_DOUBLE_EQ(600, read.rampUp);
}

TEST_F(OrluHVBoard, SwitchesOnAndReadsBothMonitorPairs) {
    c_HVSettings_t s = Settings(1000, 300, 50, 50, 5000, 1);
    ASSERT_EQ(0, c_hvsetc(hv(0), &s));
    int32_t on = -1;
    ASSERT_EQ(0, c_hvgeton(hv(0), &on));
    EXPECT_EQ(0, on);
    ASSERT_EQ(0, c_hvseton(hv(0), 7)); /* any non-zero value switches on */
    ASSERT_EQ(0, c_hvgeton(hv(0), &on));
    EXPECT_EQ(1, on);
    EXPECT_EQ(0x1u, Control(0) & 0x3); /* mode bit kept clear */
    int16_t status = 0;
    ASSERT_EQ(0, c_hvgets(hv(0), &status));
    EXPECT_EQ(1, status & 1);

    double vmon = -1, imon = -1, vext = -1, rtmp = -1;
    ASSERT_EQ(0, c_hvreadm(hv(0), &vmon, &imon));
    EXPECT_DOUBLE_EQ(1000, vmon);
    EXPECT_DOUBLE_EQ(1.0, imon); /* the simulated load draws 1 nA per volt */
    ASSERT_EQ(0, c_hvreade(hv(0), &vext, &rtmp));
    EXPECT_DOUBLE_EQ(0, vext);
    EXPECT_DOUBLE_EQ(25.0, rtmp);

    /* Each read restores the pair that was selected. */
    int32_t pair = -1;
    ASSERT_EQ(0, c_hvsetmon(hv(0), 1));
    ASSERT_EQ(0, c_hvgetmon(hv(0), &pair));
    EXPECT_EQ(1, pair);
    ASSERT_EQ(0, c_hvreadm(hv(0), &vmon, &imon));
    EXPECT_DOUBLE_EQ(1000, vmon);
    ASSERT_EQ(0, c_hvgetmon(hv(0), &pair));
    EXPECT_EQ(1, pair);
    ASSERT_EQ(0, c_hvsetmon(hv(0), 2)); /* anything but 1 selects VMon/IMon */
    ASSERT_EQ(0, c_hvreade(hv(0), &vext, &rtmp));
    EXPECT_DOUBLE_EQ(25.0, rtmp);
    ASSERT_EQ(0, c_hvgetmon(hv(0), &pair));
    EXPECT_EQ(0, pair);

    /* Loading the limits again keeps the channel on. */
    ASSERT_EQ(0, c_hvloadp(hv(0)));
    ASSERT_EQ(0, c_hvgeton(hv(0), &on));
    EXPECT_EQ(1, on);

    ASSERT_EQ(0, c_hvseton(hv(0), 0));
    ASSERT_EQ(0, c_hvreadm(hv(0), &vmon, &imon));
    EXPECT_DOUBLE_EQ(0, vmon);
    EXPECT_DOUBLE_EQ(0, imon);
    EXPECT_EQ(0u, Control(1)); /* the other channel never moved */
}

TEST_F(OrluHVBoard, MonitorReadingsOutsideTheLimitsAreReported) {
    ASSERT_EQ(0, c_hvseton(hv(0), 1));
    c_HVChannelBlock_t narrow = *hv(0);
    narrow.limitMax[HVQ_RTMP] = 20; /* the simulated supply reads 25 degrees */
    double a = 0, b = 0;
    EXPECT_EQ(-12, c_hvreade(&narrow, &a, &b));
    narrow.limitMin[HVQ_VMON] = 1; /* VMon 0 while the set voltage is 0 */
    EXPECT_EQ(-9, c_hvreadm(&narrow, &a, &b));
}

TEST_F(OrluHVBoard, RegisterFailuresAnswerTheBoardAccessCode) {
    c_HVSettings_t s = Settings(1000, 100, 50, 40, 4000, 1);
    ASSERT_EQ(0, ZarnSim_FailRegisterAccess(0x1224, 1, ZARN_DGTZ_CommError));
    EXPECT_EQ(-3, c_hvsetc(hv(0), &s));
    EXPECT_NE(std::string::npos,
              Logs().Read("ZarnHighVoltageLog.txt").find("From c_hvsetc: Error Calling ZarnDigitizer API"));

    /* A failed monitor read still puts the selected pair back. */
    ASSERT_EQ(0, c_hvsetmon(hv(0), 1));
    ASSERT_EQ(0, ZarnSim_FailRegisterAccess(0x1244, 1, ZARN_DGTZ_CommError));
    double vmon = 0, imon = 0;
    EXPECT_EQ(-3, c_hvreadm(hv(0), &vmon, &imon));
    EXPECT_EQ(0x80u, Control(0) & 0x80);

    /* A failed limit load keeps the limits the record had. */
    ASSERT_EQ(0, ZarnSim_FailRegisterAccess(0x1240, 3, ZARN_DGTZ_CommError));
    EXPECT_EQ(-3, c_hvloadp(hv(0)));
    EXPECT_DOUBLE_EQ(5100, hv(0)->limitMax[HVQ_VSET]);
    EXPECT_DOUBLE_EQ(0.01, hv(0)->lsb[HVQ_ISET]);
    EXPECT_EQ(0x80u, Control(0)); /* and the control register as it was */

    int16_t status = 0;
    ASSERT_EQ(0, ZarnSim_FailRegisterAccess(0x1238, 1, ZARN_DGTZ_CommError));
    EXPECT_EQ(-3, c_hvgets(hv(0), &status));
}

TEST_F(OrluHVBoard, BlocksThatAddressNoChannelAreRefusedBeforeAnyAccess) {
    c_HVChannelBlock_t wrongIndex = *hv(0);
    wrongIndex.hvIndex = 2;
    c_HVChannelBlock_t wrongBase = *hv(0);
    wrongBase.regBase = 15;
    wrongBase.hvIndex = 1;
    c_HVSettings_t s = Settings(1000, 100, 50, 40, 4000, 1);
    double a = 0, b = 0;
    int32_t i = 0;
    int16_t status = 0;
    const std::vector<std::function<int(c_HVChannelBlock_t*)>> calls = {
        [&](c_HVChannelBlock_t* c) { return c_hvsetc(c, &s); },
        [&](c_HVChannelBlock_t* c) { return c_hvgetc(c, &s); },
        [&](c_HVChannelBlock_t* c) { return c_hvgetd(c, &s); },
        [&](c_HVChannelBlock_t* c) { return c_hvloadp(c); },
        [&](c_HVChannelBlock_t* c) { return c_hvsetvmax(c, 1000); },
        [&](c_HVChannelBlock_t* c) { return c_hvgets(c, &status); },
        [&](c_HVChannelBlock_t* c) { return c_hvseton(c, 1); },
        [&](c_HVChannelBlock_t* c) { return c_hvgeton(c, &i); },
        [&](c_HVChannelBlock_t* c) { return c_hvreadm(c, &a, &b); },
        [&](c_HVChannelBlock_t* c) { return c_hvreade(c, &a, &b); },
        [&](c_HVChannelBlock_t* c) { return c_hvsetmon(c, 1); },
        [&](c_HVChannelBlock_t* c) { return c_hvgetmon(c, &i); },
    };
    for (size_t k = 0; k < calls.size(); ++k) {
        EXPECT_EQ(-2, calls[k](nullptr)) << "call " << k;
        if (k == 2)
            continue; /* c_hvgetd touches no register */
        EXPECT_EQ(-2, calls[k](&wrongIndex)) << "call " << k;
        EXPECT_EQ(-2, calls[k](&wrongBase)) << "call " << k;
    }
    EXPECT_EQ(0u, Control(0));
    EXPECT_EQ(0u, board.Peek(0x1220));

    /* Missing outputs are refused, not written through. */
    EXPECT_EQ(-1, c_hvgetc(hv(0), nullptr));
    EXPECT_EQ(-1, c_hvgetd(hv(0), nullptr));
    EXPECT_EQ(-1, c_hvreadm(hv(0), nullptr, &b));
    EXPECT_EQ(-1, c_hvgeton(hv(0), nullptr));
    EXPECT_EQ(-1, c_hvsetc(hv(0), nullptr));
}

TEST_F(OrluHVBoard, AChannelWithoutResolutionWritesNothing) {
    c_HVChannelBlock_t noLsb = *hv(0);
    memset(noLsb.lsb, 0, sizeof noLsb.lsb);
    c_HVSettings_t s = Settings(1000, 100, 50, 40, 4000, 1);
    const uint32_t vsetBefore = board.Peek(0x1220), vmaxBefore = board.Peek(0x1230);
    EXPECT_EQ(-4, c_hvsetc(&noLsb, &s));
    EXPECT_EQ(-8, c_hvsetvmax(&noLsb, 1000));
    EXPECT_EQ(vsetBefore, board.Peek(0x1220));
    EXPECT_EQ(vmaxBefore, board.Peek(0x1230));
}

/* The HV channel and range parameters drive the same registers through the
 * ordinary set path, with its refusals. */
TEST_F(OrluHVBoard, HVParametersDriveTheSupplyThroughTheSetPath) {
    c_Digitizer_t* d = board.get();
    c_Parameter_t* vset = c_pfindhvr(d, 1, 0, DPPL_PARAM_HVCH_VSET);
    c_Parameter_t* on = c_pfindhvc(d, 1, DPPL_PARAM_HVCH_ON);
    c_Parameter_t* vmon = c_pfindhvr(d, 1, 0, DPPL_PARAM_HVCH_VMON);
    c_Parameter_t* range = c_pfindhvc(d, 1, DPPL_PARAM_HVCH_ACTIVE_RANGE);
    c_Parameter_t* status = c_pfindhvc(d, 1, DPPL_PARAM_HVCH_STATUS);
    ASSERT_TRUE(vset && on && vmon && range && status);

    double value = -1;
    ASSERT_EQ(0, c_pset(d, vset, 1200));
    EXPECT_EQ(12000u, board.Peek(0x1320));
    ASSERT_EQ(0, c_pget(d, vset, &value));
    EXPECT_NEAR(1200, value, 1e-9);
    ASSERT_EQ(0, c_pset(d, vset, 6000)); /* clamped to the supply's maximum */
    EXPECT_EQ(51000u, board.Peek(0x1320));
    ASSERT_EQ(0, c_pset(d, vset, 1200));

    ASSERT_EQ(0, c_pset(d, on, 1));
    int32_t isOn = 0;
    ASSERT_EQ(0, c_hvgeton(hv(1), &isOn));
    EXPECT_EQ(1, isOn);
    ASSERT_EQ(0, c_pget(d, vmon, &value));
    EXPECT_NEAR(1200, value, 1e-9);
    ASSERT_EQ(0, c_pget(d, status, &value));
    EXPECT_EQ(1, int(value) & 1);

    /* Only the register-level device reports an on channel to the set path:
     * this supply's settings may change while it is on. */
    EXPECT_EQ(0, c_pset(d, vset, 1300));
    EXPECT_EQ(13000u, board.Peek(0x1320));

    /* A range the channel does not have is not in the list. */
    EXPECT_EQ(DPPL_ERR_PARAMETER, c_pset(d, range, 2));

    /* While acquiring, only the parameters allowed then are set. */
    ASSERT_EQ(0, c_bstarta(d));
    EXPECT_EQ(DPPL_ERR_INVALID_ACQ_STATUS, c_pset(d, vset, 1500));
    EXPECT_EQ(13000u, board.Peek(0x1320));
    EXPECT_EQ(0, c_pset(d, on, 0));
    ASSERT_EQ(0, c_bstopa(d));
    ASSERT_EQ(0, c_hvgeton(hv(1), &isOn));
    EXPECT_EQ(0, isOn);
    EXPECT_EQ(0, c_pset(d, vset, 1500));
    EXPECT_EQ(15000u, board.Peek(0x1320));
}

} // namespace
} // namespace hvtest
