// The supply and the serial flash at the board-access layer: channel blocks
// filled by hand on boards opened without a record, for the family defaults,
// the scale words a supply may report, and the calibration block.
#include <memory>
#include <vector>

#include "HighVoltageSupport.h"

namespace hvtest {
namespace {

LogFolder& Logs() {
    static LogFolder* logs = new LogFolder();
    return *logs;
}

// Points the simulated boards at the fixture profiles while it lives.
class FixtureProfiles {
public:
    FixtureProfiles() { setenv("ZARN_SIMBOARD_FILE", MORVANE_TEST_FIXTURES "/SimulatedBoards.xml", 1); }
    ~FixtureProfiles() { unsetenv("ZARN_SIMBOARD_FILE"); }
};

class Supply : public ::testing::Test {
protected:
    void SetUp() override {
        Logs();
        ZarnSim_ResetFaults();
    }
    void TearDown() override { ZarnSim_ResetFaults(); }
};

struct LoadCase {
    const char* board;
    int linkType, number;
    uint32_t regBase;
    bool fixture;
    double vmax, imax, ilsb;
    bool reportsInfo;
};

class SupplyLoad : public Supply, public ::testing::WithParamInterface<LoadCase> {};

/* Supplies of firmware level 1 or less get the family's defaults; newer ones
 * report their own limits. */
TEST_P(SupplyLoad, LoadsTheLimitsOfItsFamily) {
    const LoadCase& c = GetParam();
    std::unique_ptr<FixtureProfiles> profiles(c.fixture ? new FixtureProfiles : nullptr);
    RawBoard board(c.linkType, c.number, 0);
    ASSERT_EQ(0, board.result());
    for (uint32_t h = 0; h < 2; ++h) {
        c_HVChannelBlock_t block = board.Channel(c.regBase, h);
        ASSERT_EQ(0, c_hvloadp(&block)) << c.board;
        EXPECT_DOUBLE_EQ(c.vmax, block.limitMax[HVQ_VSET]);
        EXPECT_DOUBLE_EQ(0.1, block.lsb[HVQ_VSET]);
        EXPECT_DOUBLE_EQ(c.vmax, block.limitMax[HVQ_VMAX]);
        EXPECT_DOUBLE_EQ(20, block.lsb[HVQ_VMAX]);
        EXPECT_DOUBLE_EQ(c.imax, block.limitMax[HVQ_ISET]);
        EXPECT_DOUBLE_EQ(c.ilsb, block.lsb[HVQ_ISET]);
        EXPECT_DOUBLE_EQ(c.imax, block.limitMax[HVQ_IMON]);
        EXPECT_DOUBLE_EQ(1, block.limitMin[HVQ_RAMPDOWN]);
        EXPECT_DOUBLE_EQ(500, block.limitMax[HVQ_RAMPDOWN]);
        EXPECT_DOUBLE_EQ(0.001, block.lsb[HVQ_VEXT]);
        EXPECT_DOUBLE_EQ(0.1, block.lsb[HVQ_RTMP]);
        EXPECT_EQ(c.reportsInfo, block.hwInfo != 0);

        c_HVSettings_t d{};
        ASSERT_EQ(0, c_hvgetd(&block, &d));
        EXPECT_DOUBLE_EQ(0, d.vset);
        EXPECT_DOUBLE_EQ(c.imax / 10, d.iset);
        EXPECT_DOUBLE_EQ(50, d.rampUp);
        EXPECT_DOUBLE_EQ(50, d.rampDown);
        EXPECT_DOUBLE_EQ(c.vmax, d.vmax);
        EXPECT_EQ(0, d.mode);
        d.vset = 1000;
        ASSERT_EQ(0, c_hvsetc(&block, &d));
        EXPECT_EQ(10000u, board.Read(HVRegister(block, 0x20)));
        d.vset = c.vmax + 0.05;
        EXPECT_EQ(-4, c_hvsetc(&block, &d));
        EXPECT_EQ(10000u, board.Read(HVRegister(block, 0x20)));
    }
}

INSTANTIATE_TEST_SUITE_P(Families, SupplyLoad,
                         ::testing::Values(LoadCase{"family 12, level 1", 0, 3, 8, false, 4100, 3100, 0.05, false},
                                           LoadCase{"family 12, level 2", 0, 2, 8, false, 4100, 3100, 0.05, true},
                                           LoadCase{"family 7, level 1", 0, 12, 2, true, 5100, 315, 0.01, false}),
                         [](const ::testing::TestParamInfo<LoadCase>& info) {
                             return std::string(info.param.fixture ? "Fixture" : "Shipped") +
                                    std::to_string(info.index);
                         });

TEST_F(Supply, AnOldSupplyOfAnotherFamilyHasNoLimits) {
    RawBoard board(1, 2, 0); /* family 5, its supply registers answer 0 */
    ASSERT_EQ(0, board.result());
    c_HVChannelBlock_t block = board.Channel(8, 0);
    block.limitMax[HVQ_VSET] = 42;
    EXPECT_EQ(-13, c_hvloadp(&block));
    EXPECT_DOUBLE_EQ(42, block.limitMax[HVQ_VSET]); /* left as it was */
    EXPECT_NE(std::string::npos, Logs().Read("ZarnHighVoltageLog.txt").find("From c_hvloadp: Invalid HV Family"));
    EXPECT_EQ(0u, board.Read(HVRegister(block, 0x34))); /* control restored */
    EXPECT_STREQ("Invalid HV Family", _hvErrorText(-13));
    EXPECT_STREQ("Generic Error", _hvErrorText(-14));
    EXPECT_STREQ("Generic Error", _hvErrorText(-1));
}

/* Scale words of one quantity: its registers on a board whose supply
 * registers are plain storage, so each test writes what the supply reports. */
TEST_F(Supply, ScaleWordsGiveTheResolutionAndTheLimits) {
    RawBoard board(1, 2, 0);
    ASSERT_EQ(0, board.result());
    struct Case {
        uint32_t selector, scale, maxCount, minCount;
        int code;
        double lsb, max, min;
    };
    const Case cases[] = {
        {176, 10, 51000, 0, 0, 0.1, 5100, 0},           /* voltage: 1 / factor */
        {179, 0x8000 | 20, 255, 0, 0, 20, 5100, 0},     /* voltage with a bit above the mask: factor */
        {180, 0x10000 | 10, 10, 0, 0, 0.1, 1, 0},       /* only the low 16 bits are the status */
        {177, 0xC000 | 100, 31500, 0, 0, 0.01, 315, 0}, /* current, unit 1 */
        {181, 0x8000 | 4, 8, 4, 0, 0.25, 2, 1},         /* current, bits 14-15 = 2: unit 1 */
        {177, 0x4000 | 50, 3, 1, 0, 20, 60000, 20000},  /* current, unit 1000 */
        {181, 100, 1, 0, 0, 10000, 1e10, 0},            /* current, unit 1000000 */
        {178, 0x1234, 500, 1, 0, 1, 500, 1},            /* ramps: resolution 1 */
        {176, 0, 51000, 0, -4, 0, 0, 0},                /* no factor: nothing to divide by */
        {179, 0x8000, 255, 0, -8, 0, 0, 0},
        {181, 0xC000, 1, 0, -10, 0, 0, 0},
        {177, 0x4000, 1, 0, -5, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle(), 0x1838, c.scale));
        ASSERT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle(), 0x1840, c.maxCount));
        ASSERT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle(), 0x1844, c.minCount));
        double min = -1, max = -1, lsb = -1;
        ASSERT_EQ(c.code, _hvReadQuantityLimits(board.handle(), 8, c.selector, &min, &max, &lsb))
            << "selector " << c.selector << " scale 0x" << std::hex << c.scale;
        if (c.code != 0)
            continue;
        EXPECT_DOUBLE_EQ(c.lsb, lsb) << "selector " << c.selector << " scale 0x" << std::hex << c.scale;
        EXPECT_DOUBLE_EQ(c.max, max) << "selector " << c.selector << " scale 0x" << std::hex << c.scale;
        EXPECT_DOUBLE_EQ(c.min, min) << "selector " << c.selector << " scale 0x" << std::hex << c.scale;
        EXPECT_EQ(c.selector, board.Read(0x1834));
    }
    double min, max, lsb;
    EXPECT_EQ(-1, _hvReadQuantityLimits(board.handle(), 8, 183, &min, &max, &lsb));
    EXPECT_EQ(-2, _hvReadQuantityLimits(board.handle(), 16, 176, &min, &max, &lsb));

    /* A supply of a later level whose VSet scale is 0 cannot be loaded (on
     * this board the status register reads the same for every selector). */
    ASSERT_EQ(0, ZARN_DGTZ_WriteRegister(board.handle(), 0x1838, 0x8000)); /* level 0x80, factor 0 */
    c_HVChannelBlock_t block = board.Channel(8, 0);
    EXPECT_EQ(-4, c_hvloadp(&block));
    EXPECT_DOUBLE_EQ(0, block.lsb[HVQ_VSET]);
}

/* ------------------------------------------------------------ board flash */

class Flash : public Supply {
protected:
    FixtureProfiles profiles;
};

TEST_F(Flash, ReadsTheCalibrationBlockOfEachPageSize) {
    struct Case {
        int number;
        std::vector<uint8_t> head;
        uint32_t splitAt; /* where the second page begins, 0 for one page */
    };
    for (const Case& c : {Case{9, {0xCA, 0x00, 0x11, 0x22}, 264}, Case{10, {0xCA, 0x00, 0x55}, 0}}) {
        RawBoard board(0, c.number, 0);
        ASSERT_EQ(0, board.result());
        std::vector<uint8_t> out(FLASH_CALIBRATION_SIZE, 0);
        ASSERT_EQ(0, ReadCalibration(board.handle(), out.data())) << c.number;
        for (size_t k = 0; k < c.head.size(); ++k)
            EXPECT_EQ(c.head[k], out[k]) << k;
        if (c.splitAt != 0) {
            EXPECT_EQ(0xFF, out[c.splitAt - 1]);
            EXPECT_EQ(0x33, out[c.splitAt]);
            EXPECT_EQ(0x44, out[c.splitAt + 1]);
        }
        EXPECT_EQ(0xFF, out[FLASH_CALIBRATION_SIZE - 1]);
    }
}

TEST_F(Flash, RefusesOtherBlocksAndFailedReads) {
    std::vector<uint8_t> out(FLASH_CALIBRATION_SIZE, 0x5A);
    {
        RawBoard other(0, 11, 0); /* 0xCA 0x01 */
        ASSERT_EQ(0, other.result());
        EXPECT_EQ(-5, ReadCalibration(other.handle(), out.data()));
        EXPECT_EQ(0x5A, out[0]); /* nothing copied */
    }
    RawBoard board(0, 9, 0);
    ASSERT_EQ(0, board.result());
    EXPECT_EQ(-1, ReadCalibration(board.handle(), nullptr));
    ASSERT_EQ(0, ZarnSim_FailRegisterAccess(FLASH_REG_TYPE, 1, ZARN_DGTZ_CommError));
    EXPECT_EQ(-2, ReadCalibration(board.handle(), out.data()));
    ASSERT_EQ(0, ZarnSim_FailRegisterAccess(FLASH_REG_DATA, 20, ZARN_DGTZ_CommError));
    EXPECT_EQ(-2, ReadCalibration(board.handle(), out.data()));
    EXPECT_EQ(0x5A, out[0]);
    /* The chip was deselected after the failure: the next read works. */
    ASSERT_EQ(0, ReadCalibration(board.handle(), out.data()));
    EXPECT_EQ(0xCA, out[0]);

    /* Pages beyond the three address bytes are not read. */
    c_FlashDescription_t flash = {board.handle(), FLASH_REG_DATA, FLASH_REG_SELECT, 0, 4, 264};
    std::vector<uint8_t> page(264 * 2);
    EXPECT_EQ(-2, _readFlashPages(&flash, page.data(), (1u << 15) - 1, 2));
    EXPECT_EQ(0, _readFlashPages(&flash, page.data(), (1u << 15) - 2, 2));
    flash.pageSize = 0;
    EXPECT_EQ(-1, _readFlashPages(&flash, page.data(), 4, 1));
}

} // namespace
} // namespace hvtest
