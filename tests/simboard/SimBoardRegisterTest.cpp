// Register semantics: storage, broadcast, read-only and latched registers,
// the high-voltage supply, both flash memories, counters and faults.
#include "SimBoardTestSupport.h"

#include <cmath>
#include <cstring>

using namespace simtest;

namespace {

class SimBoardRegisters : public ::testing::Test {
protected:
    void SetUp() override {
        ZarnSim_ResetFaults();
        ASSERT_EQ(0, board.result);
    }
    void TearDown() override { ZarnSim_ResetFaults(); }
    uint32_t Read(uint32_t address) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(0, ZARN_DGTZ_ReadRegister(board.handle, address, &value)) << std::hex << address;
        return value;
    }
    void Write(uint32_t address, uint32_t value) {
        EXPECT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle, address, value)) << std::hex << address;
    }
    OpenBoard board{0, 0};
};

TEST_F(SimBoardRegisters, StorageDefaultsAndReadOnlyRegisters) {
    EXPECT_EQ(0u, Read(0x1250)) << "an unknown register reads 0";
    EXPECT_EQ(0u, Read(0xFFFFFFFC));
    EXPECT_EQ(0xFFu, Read(0x8120)) << "every channel enabled at power-on";
    EXPECT_EQ(125u, Read(0x1320)) << "family default of a channel register";
    Write(0x1250, 0xCAFEF00D);
    EXPECT_EQ(0xCAFEF00Du, Read(0x1250));
    // a read-modify-write of one field keeps the others
    uint32_t io = Read(0x811C);
    Write(0x811C, io | 0x100);
    EXPECT_EQ(io | 0x100, Read(0x811C));
    // read-only registers ignore writes
    uint32_t info = Read(0x8140);
    Write(0x8140, 0);
    EXPECT_EQ(info, Read(0x8140));
    uint32_t firmware = Read(0x108C);
    EXPECT_EQ((128u << 8) | 70u, firmware);
    Write(0x108C, 0);
    EXPECT_EQ(firmware, Read(0x108C));
    // both layers reach one register file
    uint32_t viaLink = 0;
    ASSERT_EQ(0, ZarnComm_Write32(board.link, 0x1568, 777));
    EXPECT_EQ(777u, Read(0x1568));
    Write(0x1668, 778);
    ASSERT_EQ(0, ZarnComm_Read32(board.link, 0x1668, &viaLink));
    EXPECT_EQ(778u, viaLink);
}

TEST_F(SimBoardRegisters, BroadcastWritesLandInEveryChannel) {
    struct Case {
        uint32_t address;
        bool broadcast;
    } cases[] = {{0x806C, true}, {0x8098, true}, {0x8002, true}, {0x8000, false}, {0x8001, false}, {0x8120, false}};
    uint32_t value = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ++value;
        uint32_t before[8];
        for (uint32_t ch = 0; ch < 8; ++ch)
            before[ch] = Read(0x1000 | (ch << 8) | (c.address & 0xFF));
        Write(c.address, value);
        EXPECT_EQ(value, Read(c.address));
        for (uint32_t ch = 0; ch < 8; ++ch) {
            uint32_t expected = c.broadcast ? value : before[ch];
            EXPECT_EQ(expected, Read(0x1000 | (ch << 8) | (c.address & 0xFF))) << "channel " << ch;
        }
    }
    EXPECT_EQ(0u, Read(0x1800 | 0x6C)) << "nothing beyond the last channel";
}

TEST_F(SimBoardRegisters, PllUnlockIsLatchedUntilTheRestoreReads) {
    EXPECT_TRUE(Read(0x8104) & 0x80) << "locked at power-on";
    ASSERT_EQ(0, ZarnSim_RaiseCondition(board.link, ZARN_SIM_COND_PLL_UNLOCK, 0));
    EXPECT_FALSE(Read(0x8104) & 0x80);
    EXPECT_FALSE(Read(0x8104) & 0x80) << "reading the status alone does not clear it";
    EXPECT_TRUE(Read(0x8178) & 0x10);
    uint32_t link = 0;
    ASSERT_EQ(0, ZarnComm_Read32(board.link, 0xEF04, &link)); // the restore: 0xEF04, then 0x8104
    EXPECT_TRUE(link & 0x10);
    ASSERT_EQ(0, ZarnComm_Read32(board.link, 0x8104, &link));
    EXPECT_TRUE(Read(0x8104) & 0x80);
    EXPECT_FALSE(Read(0x8178) & 0x10);
}

TEST_F(SimBoardRegisters, ShutdownAndOverTemperature) {
    ASSERT_EQ(0, ZarnSim_RaiseCondition(board.link, ZARN_SIM_COND_ADC_SHUTDOWN, 0x4));
    EXPECT_EQ(1u, Read(0x81C0));
    EXPECT_EQ(0u, Read(0x81C4));
    EXPECT_TRUE(Read(0x1288) & 0x200);
    EXPECT_FALSE(Read(0x1188) & 0x200);
    Write(0x81C0, 0); // restart the ADCs
    EXPECT_EQ(0u, Read(0x81C0));

    ASSERT_EQ(0, ZarnSim_RaiseCondition(board.link, ZARN_SIM_COND_OVER_TEMPERATURE, 0x6));
    EXPECT_EQ(1u, Read(0x81C0));
    EXPECT_EQ(0x6u, Read(0x81C4));
    Write(0x81C0, 0);
    EXPECT_EQ(1u, Read(0x81C0)) << "no restart while a channel is too hot";
    ZarnSim_ClearCondition(board.link, ZARN_SIM_COND_OVER_TEMPERATURE);
    EXPECT_EQ(0u, Read(0x81C4));
    Write(0x81C0, 0);
    EXPECT_EQ(0u, Read(0x81C0));
}

TEST_F(SimBoardRegisters, AcquisitionRunBits) {
    EXPECT_FALSE(Read(0x8104) & 0x4);
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    EXPECT_TRUE(Read(0x8104) & 0x4);
    EXPECT_TRUE(Read(0x8100) & 0x4);
    ASSERT_EQ(0, ZARN_DGTZ_SWStopAcquisition(board.handle));
    EXPECT_FALSE(Read(0x8104) & 0x4);
    EXPECT_FALSE(Read(0x8100) & 0x4);
    Write(0x8100, 0x4); // the run bit itself starts the board
    EXPECT_TRUE(Read(0x8104) & 0x4);
    Write(0x8100, 0x0);
    EXPECT_FALSE(Read(0x8104) & 0x4);
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    Write(0x1534, 3);
    ASSERT_EQ(0, ZARN_DGTZ_Reset(board.handle));
    EXPECT_FALSE(Read(0x8104) & 0x4) << "the reset stops the board";
    EXPECT_EQ(16u, Read(0x1534)) << "and restores the defaults";
}

TEST_F(SimBoardRegisters, InjectedRegisterFaultsHitOneAccess) {
    uint32_t value = 0;
    ZarnSim_FailNextRegisterRead(ZARN_DGTZ_ReadRegisterFailed);
    EXPECT_EQ(ZARN_DGTZ_ReadRegisterFailed, ZARN_DGTZ_ReadRegister(board.handle, 0x8120, &value));
    EXPECT_EQ(0, ZARN_DGTZ_ReadRegister(board.handle, 0x8120, &value));
    ZarnSim_FailNextRegisterWrite(ZARN_COMM_BusError);
    EXPECT_EQ(ZARN_COMM_BusError, ZarnComm_Write32(board.link, 0x8120, 1));
    EXPECT_EQ(0xFFu, Read(0x8120)) << "the failed write changed nothing";
    // the second access of one address
    ZarnSim_FailRegisterAccess(0x8140, 2, ZARN_COMM_CommError);
    EXPECT_EQ(0, ZarnComm_Read32(board.link, 0x8140, &value));
    EXPECT_EQ(0, ZarnComm_Read32(board.link, 0x8120, &value));
    EXPECT_EQ(ZARN_COMM_CommError, ZarnComm_Read32(board.link, 0x8140, &value));
    EXPECT_EQ(0, ZarnComm_Read32(board.link, 0x8140, &value));
    EXPECT_EQ(ZARN_COMM_InvalidParam, ZarnComm_Read32(board.link, 0x8140, nullptr));
    EXPECT_EQ(ZARN_DGTZ_InvalidParam, ZARN_DGTZ_ReadRegister(board.handle, 0x8140, nullptr));
}

TEST_F(SimBoardRegisters, RealAndDeadTimeCountSincePreviousRead) {
    ASSERT_EQ(0, ZarnSim_SetClockMode(board.link, ZARN_SIM_CLOCK_MANUAL));
    ZarnSim_SetRate(board.link, -1, 0);
    ZarnSim_SetRate(board.link, 3, 20000);
    Write(0x8120, 0x0B); // channels 0, 1, 3
    ASSERT_EQ(0, ZARN_DGTZ_SWStartAcquisition(board.handle));
    ZarnSim_AdvanceClock(board.link, 1000000); // 1 ms = 100000 periods of 10 ns
    EXPECT_EQ(100000u, Read(0x10DC));
    EXPECT_EQ(0u, Read(0x10DC)) << "counted since the last read";
    EXPECT_EQ(0u, Read(0x12DC)) << "disabled channel";
    EXPECT_EQ(0u, Read(0x10E0)) << "no pulses, no dead time";
    ZarnSim_AdvanceClock(board.link, 500000);
    EXPECT_EQ(50000u, Read(0x10DC));
    EXPECT_EQ(150000u, Read(0x13DC));
    // 30 pulses in 1.5 ms, 2 us each: about 6 % dead
    uint32_t dead = Read(0x13E0);
    EXPECT_GT(dead, 3000u);
    EXPECT_LT(dead, 15000u);
    ASSERT_EQ(0, ZARN_DGTZ_SWStopAcquisition(board.handle));
    ZarnSim_AdvanceClock(board.link, 1000000);
    EXPECT_EQ(0u, Read(0x10DC)) << "a stopped board counts no real time";
}

class SimBoardHighVoltage : public SimBoardRegisters {
protected:
    SimBoardHighVoltage() : hv(0, 1) {}
    OpenBoard hv;
    uint32_t HvRead(uint32_t offset, uint32_t channel = 0) {
        uint32_t value = 0;
        EXPECT_EQ(0, ZARN_DGTZ_ReadRegister(hv.handle, ((2 + channel) << 8) | 0x1000 | offset, &value));
        return value;
    }
    void HvWrite(uint32_t offset, uint32_t value, uint32_t channel = 0) {
        EXPECT_EQ(0, ZARN_DGTZ_WriteRegister(hv.handle, ((2 + channel) << 8) | 0x1000 | offset, value));
    }
};

TEST_F(SimBoardHighVoltage, SelectorsReportTheLimits) {
    ASSERT_EQ(0, hv.result);
    HvWrite(0x34, 0x80);
    EXPECT_EQ(2u, (HvRead(0x38) >> 8) & 0xFF) << "firmware level with bit 7 set";
    struct Case {
        uint32_t selector;
        double max, lsb;
        bool current;
    } cases[] = {{176, 5100, 0.1, false}, {177, 315, 0.01, true}, {179, 5100, 20, false}, {181, 315, 0.01, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selector);
        HvWrite(0x34, c.selector);
        uint32_t s = HvRead(0x38);
        uint32_t mask = c.current ? 0x3FFF : 0x7FFF;
        double f = s & mask;
        double g = 1;
        if (c.current)
            g = ((s >> 14) & 3) == 0 ? 1e6 : ((s >> 14) & 3) == 1 ? 1000 : 1;
        double resolution = (!c.current && (s & ~mask & 0xFFFF)) ? f * g : g / f;
        EXPECT_NEAR(c.lsb, resolution, 1e-9);
        EXPECT_NEAR(c.max, HvRead(0x40) * g * resolution, 1e-6);
        EXPECT_NEAR(0.0, HvRead(0x44) * g * resolution, 1e-9);
    }
    HvWrite(0x34, 178);
    EXPECT_EQ(500u, HvRead(0x40));
    EXPECT_EQ(1u, HvRead(0x44));
}

TEST_F(SimBoardHighVoltage, MonitorFollowsTheSetVoltageWhenOn) {
    ASSERT_EQ(0, hv.result);
    HvWrite(0x20, 10000, 1); // 1000 V
    HvWrite(0x24, 31500, 1); // 315 uA limit
    HvWrite(0x34, 0x0, 1);
    EXPECT_EQ(0u, HvRead(0x40, 1)) << "off";
    HvWrite(0x34, 0x1, 1);
    EXPECT_EQ(1u, HvRead(0x38, 1) & 1);
    EXPECT_EQ(10000u, HvRead(0x40, 1));
    EXPECT_GT(HvRead(0x44, 1), 0u);
    HvWrite(0x34, 0x81, 1); // the other monitor pair
    EXPECT_EQ(250u, HvRead(0x44, 1)) << "temperature 25.0";
    EXPECT_EQ(0u, HvRead(0x40, 0)) << "the other supply channel is off";
}

// Reads one page of the serial flash as the library's page reader does.
std::vector<uint8_t> ReadFlashPage(int handle, uint32_t page, uint32_t size) {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(0, ZARN_DGTZ_WriteRegister(handle, 0xEF2C, 0)); // type 0: select with 0
    uint32_t address = page << 9;
    for (uint32_t b : {0xD2u, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF, 0u, 0u, 0u, 0u})
        EXPECT_EQ(0, ZARN_DGTZ_WriteRegister(handle, 0xEF30, b));
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t v = 0;
        EXPECT_EQ(0, ZARN_DGTZ_ReadRegister(handle, 0xEF30, &v));
        bytes.push_back(static_cast<uint8_t>(v));
    }
    EXPECT_EQ(0, ZARN_DGTZ_WriteRegister(handle, 0xEF2C, 1));
    return bytes;
}

TEST(SimBoardFlash, SerialFlashPagesFollowTheProfile) {
    OpenBoard scope(4, 0, 0, 0x32110000);
    ASSERT_EQ(0, scope.result);
    uint32_t type = 9;
    ASSERT_EQ(0, ZARN_DGTZ_ReadRegister(scope.handle, 0xF050, &type));
    EXPECT_EQ(0u, type);
    std::vector<uint8_t> dac = ReadFlashPage(scope.handle, 6, 264);
    EXPECT_EQ(0x0D, dac[0]);
    float p0 = 0;
    std::memcpy(&p0, &dac[1], 4);
    EXPECT_FLOAT_EQ(1.0f, p0);
    EXPECT_EQ(0xFF, dac[200]) << "beyond the profile's bytes the page is erased";
    std::vector<uint8_t> erased = ReadFlashPage(scope.handle, 4, 264);
    for (uint8_t b : erased)
        EXPECT_EQ(0xFF, b);
    // without the select, the data register gives nothing
    uint32_t v = 0;
    ASSERT_EQ(0, ZARN_DGTZ_ReadRegister(scope.handle, 0xEF30, &v));
    EXPECT_EQ(0xFFu, v);
}

class SimBoardDevice : public ::testing::Test {
protected:
    void SetUp() override {
        int zero = 0;
        ASSERT_EQ(0, ZarnComm_OpenLink(0, &zero, 0, 0, &link));
    }
    void TearDown() override { ZarnComm_CloseLink(link); }
    void W(uint32_t a, uint32_t v) { EXPECT_EQ(0, ZarnComm_Write32(link, a, v)); }
    uint32_t R(uint32_t a) {
        uint32_t v = 0;
        EXPECT_EQ(0, ZarnComm_Read32(link, a, &v));
        return v;
    }
    // The controller's page read; false when the read found the controller locked.
    std::vector<uint8_t> ReadPage(uint32_t address, bool unlock = true) {
        if (unlock) {
            EXPECT_EQ(0x044C2D00u, R(0x85F0));
            W(0x8518, 0);
            W(0x851C, 1);
            W(0x8514, 0x7E14C6B2);
            R(0x8500);
        }
        W(0x8504, address);
        W(0x8508, 255);
        W(0x8500, 5);
        int polls = 0;
        while ((R(0x8500) & 0xFF) > 1 && polls < 100)
            ++polls;
        uint32_t addresses[64], data[64];
        int32_t errors[64];
        for (uint32_t k = 0; k < 64; ++k)
            addresses[k] = 0x8600 + 4 * k;
        EXPECT_EQ(0, ZarnComm_MultiRead32(link, addresses, 64, data, errors));
        std::vector<uint8_t> page(256);
        for (uint32_t k = 0; k < 64; ++k) {
            EXPECT_EQ(0, errors[k]);
            std::memcpy(&page[4 * k], &data[k], 4);
        }
        return page;
    }
    int32_t link = -1;
};

TEST_F(SimBoardDevice, FlashPagesDescribeTheBoard) {
    std::vector<uint8_t> info = ReadPage(0x640000);
    EXPECT_EQ('C', info[0]);
    EXPECT_EQ('R', info[1]);
    EXPECT_EQ(145, info[14]) << "polarity N";
    EXPECT_EQ(2, info[15]);
    EXPECT_EQ(8560, (info[16] << 8) | info[17]);
    EXPECT_EQ(1, info[22]);
    EXPECT_EQ(7101, (info[23] << 8) | info[24]);
    EXPECT_EQ(2, info[25]);
    std::vector<uint8_t> dco = ReadPage(0x650000);
    EXPECT_EQ('C', dco[0]);
    EXPECT_EQ('D', dco[1]);
    EXPECT_EQ(2, dco[3]);
    EXPECT_EQ(11, dco[4]);
    std::vector<uint8_t> hv = ReadPage(0x670000);
    EXPECT_EQ(0x4856u, (hv[3] << 8 | hv[2])) << "\"VH\" in the upper half of the first word";
    EXPECT_EQ(2, hv[4]);
    uint32_t ranges = hv[8], infoPage = 0, calPage = 0;
    EXPECT_EQ(2u, ranges);
    std::memcpy(&infoPage, &hv[12], 4);
    std::memcpy(&calPage, &hv[16], 4);
    std::vector<uint8_t> fv = ReadPage(infoPage);
    EXPECT_EQ('F', fv[2]);
    EXPECT_EQ('V', fv[3]);
    EXPECT_EQ(1, fv[4] & 1) << "negative supply";
    std::vector<uint8_t> cv = ReadPage(calPage);
    EXPECT_EQ('C', cv[2]);
    EXPECT_EQ('V', cv[3]);
    std::vector<uint8_t> sv = ReadPage(0x12C0000);
    uint32_t mask = 0;
    std::memcpy(&mask, &sv[4], 4);
    EXPECT_EQ(0xFFFFFFFCu, mask);
}

TEST_F(SimBoardDevice, FlashNeedsTheUnlockBeforeEveryPage) {
    std::vector<uint8_t> first = ReadPage(0x640000);
    std::vector<uint8_t> locked = ReadPage(0x650000, false);
    EXPECT_EQ(first, locked) << "a locked controller does not read";
    std::vector<uint8_t> dco = ReadPage(0x650000);
    EXPECT_EQ('D', dco[1]);
}

TEST_F(SimBoardDevice, ListReadReportsOneErrorWordPerRegister) {
    ZarnSim_FailRegisterAccess(0x8608, 1, ZARN_COMM_BusError);
    uint32_t addresses[4] = {0x8600, 0x8604, 0x8608, 0x860C}, data[4];
    int32_t errors[4];
    ASSERT_EQ(0, ZarnComm_MultiRead32(link, addresses, 4, data, errors));
    EXPECT_EQ(0, errors[0]);
    EXPECT_EQ(0, errors[1]);
    EXPECT_EQ(ZARN_COMM_BusError, errors[2]);
    EXPECT_EQ(0, errors[3]);
    EXPECT_EQ(ZARN_COMM_InvalidParam, ZarnComm_MultiRead32(link, addresses, 4, nullptr, errors));
}

TEST_F(SimBoardDevice, ChannelRunClearAndConfiguration) {
    W(0xEF20, 0x5B90);
    EXPECT_EQ(1u, R(0xEF20)) << "configured";
    W(0x802C, 1); // start: every channel's run register
    EXPECT_EQ(1u, R(0x102C));
    EXPECT_EQ(1u, R(0x112C));
    W(0x112C, 0);
    EXPECT_EQ(1u, R(0x102C));
    W(0x802C, 0);
    EXPECT_EQ(0u, R(0x102C));
    // high-voltage monitor of the device follows the set value while on
    W(0x10D8, 12345);
    EXPECT_EQ(0u, R(0x10F4));
    W(0x10EC, 1);
    EXPECT_EQ(12345u, R(0x10F4));
}

} // namespace
