/* The device layer: flash pages and calibration, sizes from the device
 * registers, channel commands, and the real-time/dead-time sums. */
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "MorvaneSupport.h"
#include "ZarnComm.h"
#include "ZarnSimulator.h"

using morvanetest::LogFolder;
using morvanetest::Record;

namespace {

/* An open device slot, closed when it goes. */
class Slot {
public:
    Slot() { code_ = XMOR_DGTZ_OpenDigitizer(&slot_); }
    ~Slot() {
        if (code_ == 0)
            XMOR_DGTZ_CloseDigitizer(slot_);
        ZarnSim_ResetFaults();
    }
    int code() const { return code_; }
    int index() const { return slot_; }
    int32_t link() const {
        int32_t handle = -1;
        XMOR_GetCommHandle(slot_, &handle);
        return handle;
    }
    uint32_t Peek(uint32_t address) const {
        uint32_t value = 0;
        ZarnSim_PeekRegister(link(), address, &value);
        return value;
    }

private:
    int slot_ = -1;
    int code_ = -1;
};

/* ------------------------------------------------------------- flash */

TEST(MorvaneFlash, ReadsAPageAfterTheUnlock) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    uint8_t page[256];
    ASSERT_EQ(MORFlash_ReadPage(s.link(), 0x640000, page), 0);
    EXPECT_EQ(page[0], 'C');
    EXPECT_EQ(page[1], 'R');
    EXPECT_EQ(page[15], 2); /* form factor */
    // The unlock holds for one page read only: a second read unlocks again.
    ASSERT_EQ(MORFlash_ReadPage(s.link(), 0x650000, page), 0);
    EXPECT_EQ(page[0], 'C');
    EXPECT_EQ(page[1], 'D');
}

TEST(MorvaneFlash, AnUnknownControllerMakesEveryPageReadFailAndTheOpenFail) {
    {
        Slot s;
        ASSERT_EQ(s.code(), 0);
        ASSERT_EQ(ZarnSim_PokeRegister(s.link(), 0x85F0, 0x12345678), 0);
        uint8_t page[256];
        EXPECT_EQ(MORFlash_ReadPage(s.link(), 0x640000, page), MORVANE_ERR_FLASH_LOCKED);
        EXPECT_EQ(MORFlash_ReadPage(s.link(), 0x670000, nullptr), MORVANE_ERR_FLASH_LOCKED);
        EXPECT_EQ(MORVANE_LoadHVCalibration(s.index()), MORVANE_ERR_CALIBRATION);
        c_MorvaneBoardInfo_t info;
        EXPECT_EQ(XMOR_DGTZ_GetInfo(s.index(), &info), MORVANE_ERR_CALIBRATION);
    }
    // The identifier cannot be read at open: the open fails and keeps no slot.
    ZarnSim_FailRegisterAccess(0x85F0, 1, ZARN_COMM_BusError);
    int slot = -1;
    EXPECT_EQ(XMOR_DGTZ_OpenDigitizer(&slot), MORVANE_ERR_CALIBRATION);
    EXPECT_EQ(XMOR_GetSlotCount(), 0u);
    ZarnSim_ResetFaults();
}

TEST(MorvaneFlash, AFailingListReadIsReturned) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    ZarnSim_FailRegisterAccess(0x8600 + 4 * 7, 1, ZARN_COMM_BusError);
    uint8_t page[256];
    EXPECT_NE(MORFlash_ReadPage(s.link(), 0x640000, page), 0);
}

/* --------------------------------------------------------- calibration */

TEST(MorvanePolyFit, FitsAndRefusesWhatItCannotSolve) {
    double coeff[6] = {};
    const double ramp[2][2] = {{0, 0}, {500, 500}};
    ASSERT_EQ(MORVANE_PolyFit(ramp, 2, 1, coeff), 0);
    EXPECT_NEAR(coeff[0], 0.0, 1e-12);
    EXPECT_NEAR(coeff[1], 1.0, 1e-12);

    const double quadratic[5][2] = {{0, 3}, {1, 6}, {2, 11}, {3, 18}, {4, 27}}; /* 3 + 2x + x^2 */
    ASSERT_EQ(MORVANE_PolyFit(quadratic, 5, 2, coeff), 0);
    EXPECT_NEAR(coeff[0], 3.0, 1e-9);
    EXPECT_NEAR(coeff[1], 2.0, 1e-9);
    EXPECT_NEAR(coeff[2], 1.0, 1e-9);

    EXPECT_EQ(MORVANE_PolyFit(ramp, 2, 2, coeff), -1); /* degree not below the points */
    const double many[7][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}};
    EXPECT_EQ(MORVANE_PolyFit(many, 7, 6, coeff), -1); /* degree above 5 */
    const double flat[5][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}};
    EXPECT_EQ(MORVANE_PolyFit(flat, 5, 1, coeff), -1); /* zero pivot: all points at one x */
}

/* One range's information and calibration pages. */
struct RangePages {
    uint8_t info[256];
    uint8_t cal[256];
};

void put32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = (uint8_t)(v >> (8 * i));
}

RangePages makeRange(uint32_t index, uint32_t polarity) {
    RangePages r;
    std::memset(&r, 0, sizeof r);
    r.info[2] = 'F';
    r.info[3] = 'V';
    put32(r.info + 4, polarity | (index << 8));
    // RAMPUP, RAMPDOWN, VSET, VMON, VMAX, ISET, IMON, TMON: step, low, high
    const uint32_t words[8] = {0x01F40101u, 0x01F40101u, 0x13880064u, 0x13880064u,
                               0x13880064u, 0x012C000Au, 0x012C000Au, 0x00640001u};
    for (int q = 0; q < 8; ++q)
        put32(r.info + 8 + 4 * q, words[q]);
    r.cal[2] = 'C';
    r.cal[3] = 'V';
    put32(r.cal + 4, 900);
    for (int g = 0; g < 5; ++g)
        for (int k = 0; k < 5; ++k) {
            put32(r.cal + 8 + 40 * g + 4 * k, (uint32_t)(100 * 100 * k));
            put32(r.cal + 8 + 40 * g + 20 + 4 * k, (uint32_t)(1000 * 100 * k));
        }
    return r;
}

TEST(MorvaneCalibration, RangesTakeTheirIndexMaskAndFits) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    std::vector<RangePages> ranges = {makeRange(0, 1), makeRange(1, 1), makeRange(2, 1)};
    ASSERT_EQ(MORVANE_SetHVCalibration(s.index(), 1, 0xFFFFFFFCu, &ranges[0].info[0], 3), 0);
    c_MorvaneDevice_t* dev = XMOR_GetDevice(s.index());
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->hv[1].rangeCount, 3u);
    EXPECT_EQ(dev->hv[1].polarity, 1);
    const int expectedEnabled[3] = {1, 1, 0}; /* the default mask: ranges 0 and 1 used */
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(dev->hv[1].sets[i], nullptr);
        EXPECT_EQ(dev->hv[1].sets[i]->rangeIndex, i);
        EXPECT_EQ(dev->hv[1].sets[i]->enabled, expectedEnabled[i]);
    }
    const c_HVCalibration_t& vset = dev->hv[1].sets[0]->cal[MORVANE_CAL_VSET];
    EXPECT_STREQ(vset.name, "VSET");
    EXPECT_EQ(vset.registerAddress, 0x11D8u);
    EXPECT_DOUBLE_EQ(vset.high, 5000.0);
    EXPECT_DOUBLE_EQ(vset.step, 0.1);
    EXPECT_EQ(vset.degree, 2);
    EXPECT_NEAR(vset.coeff[1], 10.0, 1e-9);
    const c_HVCalibration_t& iset = dev->hv[1].sets[0]->cal[MORVANE_CAL_ISET];
    EXPECT_EQ(iset.registerAddress, 0x11DCu);
    EXPECT_DOUBLE_EQ(iset.step, 0.01);
    EXPECT_EQ(iset.degree, 1);
    const c_HVCalibration_t& tmon = dev->hv[1].sets[0]->cal[MORVANE_CAL_TMON];
    EXPECT_EQ(tmon.degree, 0); /* not fitted */
    EXPECT_DOUBLE_EQ(tmon.step, 1.0);
}

TEST(MorvaneCalibration, EachQuantityTakesItsOwnInformationWordAndPoints) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    RangePages r = makeRange(0, 0);
    // Information word at page position q: step 10 + q, low -(q + 1), high 1000 + q.
    for (uint32_t q = 0; q < 8; ++q)
        put32(r.info + 8 + 4 * q, (10 + q) | ((uint32_t)(uint8_t)(-(int)(q + 1)) << 8) | ((1000 + q) << 16));
    // Calibration group g: quantities 100 (g + 1) k and raw codes (g + 2) times them.
    put32(r.cal + 4, 450);
    for (uint32_t g = 0; g < 5; ++g)
        for (uint32_t k = 0; k < 5; ++k) {
            uint32_t x = 100 * (g + 1) * k;
            put32(r.cal + 8 + 40 * g + 4 * k, x * 100);
            put32(r.cal + 8 + 40 * g + 20 + 4 * k, (g + 2) * x * 100);
        }
    ASSERT_EQ(MORVANE_SetHVCalibration(s.index(), 1, 0, &r.info[0], 1), 0);
    const c_HVCalibrationSet_t* set = XMOR_GetDevice(s.index())->hv[1].sets[0];
    ASSERT_NE(set, nullptr);
    const struct {
        int type;
        const char* name;
        uint32_t reg;
        uint32_t position; /* of the information word */
        double stepScale;
        int group; /* calibration group, -1 for the ramps, -2 for TMON */
    } cases[] = {
        {MORVANE_CAL_VSET, "VSET", 0x11D8, 2, 0.001, 0},        {MORVANE_CAL_ISET, "ISET", 0x11DC, 5, 0.001, 3},
        {MORVANE_CAL_VMON, "VMON", 0x11F4, 3, 0.001, 1},        {MORVANE_CAL_IMON, "IMON", 0x11F8, 6, 0.001, 4},
        {MORVANE_CAL_VMAX, "VMAX", 0x11E8, 4, 0.001, 2},        {MORVANE_CAL_RAMPUP, "RAMPUP", 0x11E0, 0, 1.0, -1},
        {MORVANE_CAL_RAMPDOWN, "RAMPDOWN", 0x11E4, 1, 1.0, -1}, {MORVANE_CAL_TMON, "TMON", 0x11FC, 7, 1.0, -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const c_HVCalibration_t& cal = set->cal[c.type];
        EXPECT_STREQ(cal.name, c.name);
        EXPECT_EQ(cal.type, c.type);
        EXPECT_EQ(cal.channel, 1);
        EXPECT_EQ(cal.registerAddress, c.reg);
        EXPECT_DOUBLE_EQ(cal.low, -(double)(c.position + 1));
        EXPECT_DOUBLE_EQ(cal.lowDefault, cal.low);
        EXPECT_DOUBLE_EQ(cal.high, 1000.0 + c.position);
        EXPECT_DOUBLE_EQ(cal.step, (10.0 + c.position) * c.stepScale);
        if (c.group >= 0) {
            EXPECT_EQ(cal.nPoints, 5u);
            EXPECT_DOUBLE_EQ(cal.points[1][0], 100.0 * (c.group + 1));
            EXPECT_DOUBLE_EQ(cal.points[1][1], 100.0 * (c.group + 1) * (c.group + 2));
            EXPECT_NEAR(cal.coeff[1], c.group + 2.0, 1e-6);
        } else if (c.group == -1) {
            EXPECT_EQ(cal.nPoints, 2u);
            EXPECT_DOUBLE_EQ(cal.points[1][0], 500.0);
            EXPECT_DOUBLE_EQ(cal.points[1][1], 250.0); /* 500 x 450 / 900 */
            EXPECT_NEAR(cal.coeff[1], 0.5, 1e-9);
        } else {
            EXPECT_EQ(cal.nPoints, 0u);
        }
    }
}

TEST(MorvaneCalibration, AnInvalidRangeIndexStopsTheChannelButNotTheOpen) {
    LogFolder logs;
    Slot s;
    ASSERT_EQ(s.code(), 0);
    std::vector<RangePages> ranges = {makeRange(0, 0), makeRange(3, 0), makeRange(1, 0)};
    EXPECT_EQ(MORVANE_SetHVCalibration(s.index(), 0, 0, &ranges[0].info[0], 3), 0);
    c_MorvaneDevice_t* dev = XMOR_GetDevice(s.index());
    EXPECT_EQ(dev->hv[0].rangeCount, 3u);
    EXPECT_NE(dev->hv[0].sets[0], nullptr);
    EXPECT_EQ(dev->hv[0].sets[1], nullptr); /* not loaded after the invalid one */
    EXPECT_NE(logs.Read("CBoard_MorvaneLog.txt").find("Invalid rcode."), std::string::npos);

    // A range index given twice would lose the first set: refused the same way.
    std::vector<RangePages> twice = {makeRange(1, 0), makeRange(1, 0)};
    EXPECT_EQ(MORVANE_SetHVCalibration(s.index(), 0, 0, &twice[0].info[0], 2), 0);
    EXPECT_NE(dev->hv[0].sets[1], nullptr);
    EXPECT_EQ(dev->hv[0].sets[0], nullptr);

    // A channel beyond the slot's two records, or a bad slot, writes nothing.
    EXPECT_EQ(MORVANE_SetHVCalibration(s.index(), 2, 0, &ranges[0].info[0], 1), MORVANE_ERR_CALIBRATION);
    EXPECT_EQ(MORVANE_SetHVCalibration(s.index() + 5, 0, 0, &ranges[0].info[0], 1), MORVANE_ERR_INVALID_SLOT);
}

TEST(MorvaneCalibration, AFailingFitFailsTheChannel) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    RangePages r = makeRange(0, 0);
    std::memset(r.cal + 8, 0, 200); /* every VSET point at 0: no fit */
    EXPECT_EQ(MORVANE_SetHVCalibration(s.index(), 0, 0, &r.info[0], 1), MORVANE_ERR_CALIBRATION);
}

/* -------------------------------------------------- board information */

std::vector<uint8_t> boardPage(uint8_t polarity, uint8_t formFactor, uint32_t model) {
    std::vector<uint8_t> page(256, 0);
    page[0] = 'C';
    page[1] = 'R';
    page[14] = polarity;
    page[15] = formFactor;
    page[16] = (uint8_t)(model >> 8);
    page[17] = (uint8_t)model;
    page[20] = 0x01;
    page[21] = 0x02;
    page[22] = 1;
    page[23] = 0x1B;
    page[24] = 0xBD;
    page[25] = 2;
    return page;
}

TEST(MorvaneBoardInfo, PageFieldsAndRefusals) {
    LogFolder logs;
    c_MorvaneBoardInfo_t info;
    std::memset(&info, 0, sizeof info);
    ASSERT_EQ(MORVANE_ParseBoardInfoPage(boardPage(145, 2, 8460).data(), &info), 0);
    EXPECT_STREQ(info.modelName, "QN8460N");
    EXPECT_EQ(info.familyCode, 8560u);
    EXPECT_EQ(info.modelNumber, 8460u);
    EXPECT_EQ(info.infoWord, 0x0102u);
    EXPECT_EQ(info.serialNumber, 7101u);
    EXPECT_EQ(info.channels, 2u);
    EXPECT_EQ(info.adcBits, 14u);

    EXPECT_EQ(MORVANE_ParseBoardInfoPage(boardPage(145, 1, 8460).data(), &info), MORVANE_ERR_CALIBRATION);
    EXPECT_EQ(MORVANE_ParseBoardInfoPage(boardPage(147, 2, 8460).data(), &info), MORVANE_ERR_CALIBRATION);
    std::vector<uint8_t> noHeader = boardPage(144, 2, 8560);
    noHeader[0] = 'X';
    EXPECT_EQ(MORVANE_ParseBoardInfoPage(noHeader.data(), &info), MORVANE_ERR_CALIBRATION);
    std::vector<uint8_t> flash = boardPage(146, 2, 8560);
    flash[22] = 2;
    EXPECT_EQ(MORVANE_ParseBoardInfoPage(flash.data(), &info), MORVANE_ERR_CALIBRATION);
    std::string log = logs.Read("CBoard_MorvaneLog.txt");
    EXPECT_NE(log.find("Unknown form factor 1."), std::string::npos);
    EXPECT_NE(log.find("Unknown HV polarity 147."), std::string::npos);
    EXPECT_NE(log.find("Corrupted BoardInfo values: invalid header."), std::string::npos);
    EXPECT_NE(log.find("Unknown flash size code 2."), std::string::npos);
}

/* ------------------------------------------------------------ sizes */

TEST(MorvaneSizes, AggregateSizeFollowsTheChannelsAndWaveforms) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    // Only channel 0 contributes, no waveforms, 10 events per aggregate.
    ZarnSim_PokeRegister(s.link(), 0x1130, 0);
    ZarnSim_PokeRegister(s.link(), 0x8134, 10);
    ZarnSim_PokeRegister(s.link(), 0x8000, 0);
    uint32_t bytes = 0;
    ASSERT_EQ(XMOR_DGTZ_GetAggregateSize(s.index(), &bytes), 0);
    EXPECT_EQ(bytes, 16u + 8u + 12u * 10u);
    // Waveforms: one event an aggregate, 12 + 4 x the waveform words each.
    ZarnSim_PokeRegister(s.link(), 0x1130, 0x8);
    ZarnSim_PokeRegister(s.link(), 0x8000, 1u << 16);
    ZarnSim_PokeRegister(s.link(), 0x1020, 8);
    ASSERT_EQ(XMOR_DGTZ_GetAggregateSize(s.index(), &bytes), 0);
    EXPECT_EQ(bytes, 16u + 2u * (8u + 44u));
    uint32_t eventBytes = 0;
    EXPECT_EQ(XMOR_DGTZ_GetEventSize(s.index(), 3, &eventBytes), MORVANE_ERR_INVALID_CHANNEL);
    EXPECT_EQ(XMOR_DGTZ_GetEventSize(s.index() + 1, 0, &eventBytes), MORVANE_ERR_INVALID_SLOT);
    ZarnSim_FailNextRegisterRead(ZARN_COMM_BusError);
    EXPECT_EQ(XMOR_DGTZ_GetAggregateSize(s.index(), &bytes), MORVANE_ERR_READ_REGISTER);
}

/* ------------------------------------------------- channel commands */

TEST(MorvaneCommands, RunRegisterOfTheChannel) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    ASSERT_EQ(XMOR_DGTZ_StartChannelAcquisition(s.index(), 1), 0);
    EXPECT_EQ(s.Peek(0x112C) & 1u, 1u);
    EXPECT_EQ(s.Peek(0x102C) & 1u, 0u);
    ASSERT_EQ(XMOR_DGTZ_StopChannelAcquisition(s.index(), 1), 0);
    EXPECT_EQ(s.Peek(0x112C) & 1u, 0u);
}

TEST(MorvaneCommands, RefusalsOfEveryChannelCommand) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    typedef int (*Command)(int, uint32_t);
    const struct {
        const char* name;
        Command fcn;
    } commands[] = {{"stop", XMOR_DGTZ_StopChannelAcquisition},
                    {"clear", XMOR_DGTZ_ClearChannelData},
                    {"trigger", XMOR_DGTZ_SendChannelSWTrigger}};
    for (const auto& c : commands) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.fcn(s.index(), 2), 0); /* channel 2 is still a device channel */
        EXPECT_EQ(c.fcn(s.index() + 1, 0), MORVANE_ERR_INVALID_SLOT);
        EXPECT_EQ(c.fcn(-1, 0), MORVANE_ERR_INVALID_SLOT);
        // Channel 3 is refused before any write: the armed failure stays for the next one.
        ZarnSim_FailNextRegisterWrite(ZARN_COMM_BusError);
        EXPECT_EQ(c.fcn(s.index(), 3), MORVANE_ERR_INVALID_CHANNEL);
        EXPECT_EQ(c.fcn(s.index(), 0), MORVANE_ERR_WRITE_REGISTER);
        EXPECT_EQ(c.fcn(s.index(), 0), 0);
    }
}

/* ------------------------------------------------ real and dead time */

TEST(MorvaneTimeSums, ReadAndClearedUnderTheChannelLock) {
    Record r;
    ASSERT_EQ(r.Open(), 0);
    c_MorvaneDevice_t* dev = XMOR_GetDevice(r->handle);
    ASSERT_NE(dev, nullptr);
    dev->channels[1].realTime = 12345;
    dev->channels[1].deadTime = 678;
    uint64_t real = 0, dead = 0;
    ASSERT_EQ(c_getRealtimeAndDeadtime(r.get(), 1, &real, &dead), 0);
    EXPECT_EQ(real, 12345u);
    EXPECT_EQ(dead, 678u);
    ASSERT_EQ(c_getRealtimeAndDeadtime(r.get(), 1, &real, &dead), 0);
    EXPECT_EQ(real, 0u);
    EXPECT_EQ(dead, 0u);
    // Channel 2 keeps no sums; nothing beyond the two channel records is read.
    EXPECT_EQ(c_getRealtimeAndDeadtime(r.get(), 2, &real, &dead), MORVANE_ERR_INVALID_CHANNEL);
    EXPECT_EQ(c_getRealtimeAndDeadtime(r.get(), 3, &real, &dead), MORVANE_ERR_INVALID_CHANNEL);
}

TEST(MorvaneTimeSums, ConcurrentAddsAndTakesLoseNothing) {
    Slot s;
    ASSERT_EQ(s.code(), 0);
    c_MorvaneDevice_t* dev = XMOR_GetDevice(s.index());
    const int kAdds = 20000;
    uint64_t taken = 0;
    std::thread adder([&] {
        for (int i = 0; i < kAdds; ++i) {
            c_ticket_lock(&dev->channels[0].lock);
            dev->channels[0].realTime += 1;
            c_ticket_unlock(&dev->channels[0].lock);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        uint64_t real = 0;
        ASSERT_EQ(XMOR_TakeTimeSums(s.index(), 0, &real, nullptr), 0);
        taken += real;
    }
    adder.join();
    uint64_t rest = 0;
    ASSERT_EQ(XMOR_TakeTimeSums(s.index(), 0, &rest, nullptr), 0);
    EXPECT_EQ(taken + rest, (uint64_t)kAdds);
}

/* ------------------------------------- acquisition through the record */

TEST(MorvaneAcquisition, ChannelStartAndPauseDriveTheChannelRun) {
    Record r;
    ASSERT_EQ(r.Open(), 0);
    uint32_t run = 0;
    c_MorvaneDevice_t* dev = XMOR_GetDevice(r->handle);
    dev->channels[0].realTime = 99;
    ASSERT_EQ(c_cstarta(r.get(), 0), 0);
    ZarnSim_PeekRegister(r.Link(), 0x102C, &run);
    EXPECT_EQ(run & 1u, 1u);
    EXPECT_EQ(dev->channels[0].realTime, 0u); /* the start clears the channel's sums */
    EXPECT_EQ(r->channels[0].acqStatus, ACQSTATUS_RUNNING);
    ASSERT_EQ(c_cpauseas(r.get(), 0), 0);
    ZarnSim_PeekRegister(r.Link(), 0x102C, &run);
    EXPECT_EQ(run & 1u, 0u);
    EXPECT_EQ(r->channels[0].acqStatus, ACQSTATUS_PAUSED);
}

TEST(MorvaneAcquisition, BoardStartStopAndTriggers) {
    Record r;
    ASSERT_EQ(r.Open(), 0);
    ASSERT_EQ(c_bstarta(r.get()), 0);
    uint32_t run = 0;
    ZarnSim_PeekRegister(r.Link(), 0x112C, &run);
    EXPECT_EQ(run & 1u, 1u); /* 0x802C reaches every channel */
    EXPECT_EQ(c_sendswtrigger(r.get()), 0);
    EXPECT_EQ(c_sendcswtrigger(r.get(), 1), 0);
    EXPECT_EQ(c_sendcswtrigger(r.get(), 3), DPPL_ERR_DIGITIZER_API);
    ASSERT_EQ(c_bstopa(r.get()), 0);
    ZarnSim_PeekRegister(r.Link(), 0x112C, &run);
    EXPECT_EQ(run & 1u, 0u);
    EXPECT_EQ(c_bdclear(r.get()), 0);
    EXPECT_EQ(c_breset(r.get()), 0);
}

/* A replay has no board: its channel start and stop only change the
 * record's channel state, as the live ones do after their register write. */
TEST(MorvaneAcquisition, ChannelStartAndStopOfAReplayedRunSucceedWithoutTheDevice) {
    LogFolder logs;
    std::string dir = "/tmp/morvane-replay-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::string file;
    {
        Record live;
        ASSERT_EQ(live.Open(), 0);
        ASSERT_EQ(ZarnSim_SetClockMode(live.Link(), ZARN_SIM_CLOCK_MANUAL), 0);
        ASSERT_EQ(ZarnSim_SetRate(live.Link(), -1, 2000.0), 0);
        ASSERT_EQ(c_bdopenw(live.get(), &live->writer, (dir + "/run").c_str(), BD_MODE_CREATE, 1), 0);
        file = live->writer.fileName;
        live->dumpEnabled = 1;
        ASSERT_EQ(c_bstarta(live.get()), 0);
        for (int cycle = 0; cycle < 5; ++cycle) {
            ASSERT_EQ(ZarnSim_AdvanceClock(live.Link(), 20000000), 0);
            ASSERT_EQ(c_getDPPEvents(live.get(), nullptr), 0);
        }
        ASSERT_EQ(c_bstopa(live.get()), 0);
        live->dumpEnabled = 0;
        ASSERT_EQ(c_bdclose(&live->writer), 0);
    }
    Record replay;
    ASSERT_EQ(c_newFileDigitizer(replay.get(), file.c_str()), 0) << file;
    ASSERT_EQ(replay->descriptor.FamilyCode, DPPL_FAMILY_MORVANE);
    ASSERT_EQ(c_bstarta(replay.get()), 0);
    ASSERT_EQ(c_getDPPEvents(replay.get(), nullptr), 0);
    EXPECT_EQ(c_cstopa(replay.get(), 0), 0);
    EXPECT_EQ(replay->channels[0].acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(replay->channels[1].acqStatus, ACQSTATUS_RUNNING);
    EXPECT_EQ(c_cstarta(replay.get(), 0), 0);
    EXPECT_EQ(replay->channels[0].acqStatus, ACQSTATUS_RUNNING);
    EXPECT_EQ(c_cstopas(replay.get(), 1), 0);
    EXPECT_EQ(replay->channels[1].acqStatus, ACQSTATUS_STOPPED);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

TEST(MorvaneState, TestsOfOtherBoardsAnswerFalseWithoutReading) {
    Record r; /* never opened: DPP code 0, no parameters */
    EXPECT_FALSE(XMOR_IsHVChannelOn(r.get(), 0));
    EXPECT_FALSE(XMOR_IsBoardConfigured(r.get()));
    Record open;
    ASSERT_EQ(open.Open(), 0);
    EXPECT_FALSE(XMOR_IsHVChannelOn(open.get(), 0));
    c_Parameter_t* on = c_pfindhvc(open.get(), 0, DPPL_PARAM_HVCH_ON);
    ASSERT_NE(on, nullptr);
    ASSERT_EQ(c_pset(open.get(), on, 1.0), 0);
    EXPECT_TRUE(XMOR_IsHVChannelOn(open.get(), 0));
    // While the channel is on, a change of its channel parameters is refused (-25).
    c_Parameter_t* range = c_pfindhvc(open.get(), 0, DPPL_PARAM_HVCH_ACTIVE_RANGE);
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(c_pset(open.get(), range, 1.0), -25);
    EXPECT_EQ(c_pset(open.get(), on, 0.0), 0); /* the switch itself can always turn it off */
    EXPECT_FALSE(XMOR_IsHVChannelOn(open.get(), 0));
}

} // namespace
