/* The firmware setup: release text, form factor, dispatch by DPP code and
 * family, the family inits' refusals. */
#include <string.h>

#include "BoardOpenSupport.h"

using namespace boardtest;

namespace {

class BoardSetup : public BoardTest {};

TEST_F(BoardSetup, ReleaseTextGivesDppCodeAndMinorRevision) {
    /* A Pemb PSD board of revision 20 takes the definition file without a
     * revision (no file names revisions 20 down to 0). */
    Profiles profiles(FixtureBoard("PB1730", 11, 0, "136.20", 8));
    Board board;
    ASSERT_EQ(0, board.Open(FixtureAddress()));
    EXPECT_EQ(136, board->descriptor.DPPCode);
    EXPECT_EQ(20, board->descriptor.DPPMinorRev);
    EXPECT_STREQ("DPP-PSD", board->descriptor.DPPTypeName);
}

TEST_F(BoardSetup, ReleaseTextThatIsNotTwoNumbersIsRefused) {
    /* numbers beyond 32 bits too: 2^32 + 136 is no DPP code 136 */
    for (const char* text : {"abc", "136", "", ".5", "4294967432.20", "136.4294967316"}) {
        Board record;
        c_Digitizer_t* d = record.get();
        d->kind = DGTZ_KIND_OPEN;
        d->descriptor.FormFactor = 2;
        d->descriptor.DPPCode = -1;
        strcpy(d->descriptor.ChannelFirmwareRel, text);
        EXPECT_EQ(-6, GENERIC_SetupDigitizer(d)) << "'" << text << "'";
        EXPECT_EQ(-1, d->descriptor.DPPCode) << "'" << text << "'";
        EXPECT_EQ(nullptr, d->boardColl);
        d->kind = DGTZ_KIND_CLOSED;
    }
}

TEST_F(BoardSetup, FormFactorDecidesTheLvdsGroups) {
    struct Case {
        uint32_t formFactor;
        int expected;
        uint32_t lvdsGroups;
    };
    for (const Case& c : {Case{0, 0, 4}, Case{1, 0, 4}, Case{2, 0, 0}, Case{3, 0, 0}, Case{4, -6, 0}}) {
        Profiles profiles(FixtureBoard("PB1730", 11, c.formFactor, "139.136", 8));
        Board board;
        ASSERT_EQ(c.expected, board.Open(FixtureAddress())) << c.formFactor;
        if (c.expected != 0) {
            EXPECT_TRUE(IsClosedAndEmpty(board.get()));
            continue;
        }
        EXPECT_EQ(c.lvdsGroups, board->descriptor.LVDSGroups) << c.formFactor;
        /* Only boards with LVDS groups get bit 8 of 0x811C (and LVDS parameters). */
        EXPECT_EQ(c.lvdsGroups != 0, (board.Peek(0x811C) & 0x100) != 0) << c.formFactor;
        EXPECT_EQ(c.lvdsGroups != 0, board->lvdsColl[0] != nullptr) << c.formFactor;
    }
}

TEST_F(BoardSetup, FamilyInitRefusals) {
    struct Case {
        const char* what;
        std::string board;
        int expected;
    };
    const Case cases[] = {
        {"Orlu memory code outside 1 and 8", FixtureBoard("OR5780", 16, 2, "128.70", 2), -35},
        {"Pemb memory code outside 1 and 8", FixtureBoard("PB1730", 11, 2, "136.140", 16), -35},
        {"Pemb firmware on another family", FixtureBoard("PB1730", 12, 2, "139.136", 8), -41},
        {"unknown DPP code", FixtureBoard("OR5780", 16, 2, "200.1", 8), -28},
        {"waveform firmware on family 6", FixtureBoard("VK2740", 6, 2, "0.12", 8), -42},
        {"waveform firmware on an unknown family", FixtureBoard("OR5780", 16, 2, "1.12", 8), -28},
    };
    for (const Case& c : cases) {
        Profiles profiles(c.board);
        Board board;
        EXPECT_EQ(c.expected, board.Open(FixtureAddress())) << c.what;
        EXPECT_TRUE(IsClosedAndEmpty(board.get())) << c.what;
    }
}

TEST_F(BoardSetup, OrluFamily7NeedsItsHighVoltageLimits) {
    Board board;
    ASSERT_EQ(0, board.Open(OrluPhaHV()));
    EXPECT_EQ(2u, board->descriptor.HVChannels);
    for (int h = 0; h < 2; ++h) {
        EXPECT_EQ(1u, board->hv[h].rangeCount);
        EXPECT_EQ(0, board->hv[h].activeRange);
        EXPECT_STREQ("HV_RANGE_HPGE", board->hv[h].ranges[0].codename);
        EXPECT_EQ(h, board->hv[h].polarity); /* model name ending in 'M' */
    }
}

/* The family-7 definition file builds against the plug-in's high-voltage
 * definition functions, given the records the Orlu init fills. */
TEST_F(BoardSetup, OrluFamily7DefinitionFileBuilds) {
    Board record;
    c_Digitizer_t* d = record.get();
    d->kind = DGTZ_KIND_OPEN;
    d->replay = 1;
    c_BoardDescriptor_t& desc = d->descriptor;
    strcpy(desc.ModelName, "OR7802M");
    strcpy(desc.ChannelFirmwareRel, "128.70");
    desc.FamilyCode = 7;
    desc.FormFactor = 2;
    desc.Channels = desc.NumChannels = 2;
    desc.HVChannels = 2;
    desc.AnalogVTraces = desc.DigitalVTraces = 2;
    desc.SamplePeriod = 10.0;
    for (int h = 0; h < 2; ++h) {
        c_HVChannelBlock_t& hv = d->hv[h];
        hv.rangeCount = 1;
        hv.polarity = h;
        strcpy(hv.ranges[0].codename, "HV_RANGE_HPGE");
        strcpy(hv.ranges[0].name, "HPGe");
        hv.ranges[0].hvIndex = (uint32_t)h;
        for (c_HVConversionBlock_t& conv : hv.ranges[0].conv) {
            conv.degree = 1;
            conv.coeff[1] = 10;
            conv.min = 0;
            conv.max = 5100;
            conv.step = 0.1;
        }
    }
    ASSERT_EQ(0, GENERIC_LoadParameters(d));
    for (int h = 0; h < 2; ++h) {
        c_Parameter_t* vset = c_pfindhvr(d, h, 0, DPPL_PARAM_HVCH_VSET);
        ASSERT_NE(nullptr, vset);
        EXPECT_EQ(5100, vset->max);
        EXPECT_EQ(0.1, vset->incr);
        c_Parameter_t* range = c_pfindhvc(d, h, DPPL_PARAM_HVCH_ACTIVE_RANGE);
        ASSERT_NE(nullptr, range);
        EXPECT_EQ(1, range->count);
        c_Parameter_t* polarity = c_pfindhvc(d, h, DPPL_PARAM_HVCH_POLARITY);
        ASSERT_NE(nullptr, polarity);
        EXPECT_EQ(h, polarity->value);
        EXPECT_NE(nullptr, c_pfindhvc(d, h, DPPL_PARAM_HVCH_ON));
    }
    _freeParamCollections(d);
    d->kind = DGTZ_KIND_CLOSED;
}

} // namespace
