/*
 * Finding the board definition file of a board and loading every category
 * of its parameters from it. The files lie in the fixture definitions folder
 * (DRAVIKDIR); each family there stands for one search situation.
 */
#include <gtest/gtest.h>

#include <string>

#include "ParamTestSupport.h"

namespace {

/* File name (without folder) of the board definition file found for a
 * board, or "" when none is. */
std::string foundFile(uint32_t family, const char* firmware, uint32_t formFactor) {
    auto d = paramtest::makeRecord(family, firmware, formFactor);
    xmlDocPtr doc = c_findBoardDefinitionFile(d.get());
    if (doc == NULL)
        return "";
    std::string path = c_xml_getpath(doc) != NULL ? c_xml_getpath(doc) : "?";
    c_xml_freedoc(doc);
    return path.substr(path.rfind('/') + 1);
}

} // namespace

TEST(BoardDefinitionFile, SearchOrder) {
    struct Case {
        const char* what;
        uint32_t family;
        const char* firmware;
        uint32_t formFactor;
        const char* expected;
    };
    const Case cases[] = {
        {"mask 1 comes before mask 3", 101, "131.5 build", 0, "Fam1_1_DPPCode131.xml"},
        {"form factor 1 matches mask 3 only", 101, "131.5 build", 1, "Fam1_3_DPPCode131-2.xml"},
        {"form factor 2 matches neither", 101, "131.5", 2, ""},
        {"form factor 4 matches no mask", 101, "131.5", 4, ""},
        {"another DPP code", 101, "130.5", 0, ""},
        {"names without a mask come last, revision first", 102, "131.5 build", 0, "Fam2_DPPCode131-0.xml"},
        {"the masked form of mask 15 comes before the unmasked", 106, "131.5", 3, "Fam6_F_DPPCode131.xml"},
        {"an unparsable file stops the search", 103, "131.5", 0, ""},
        {"a later revision is not used", 103, "131.4", 0, "Fam3_1_DPPCode131-4.xml"},
        {"file names are case-sensitive", 104, "131.0", 0, ""},
        {"highest revision not above the board's", 105, "131.5", 0, "Fam5_1_DPPCode131-3.xml"},
        {"a higher board revision", 105, "131.9", 0, "Fam5_1_DPPCode131-7.xml"},
        {"no revision at or below the board's", 105, "131.2", 0, ""},
        {"minor revision taken as its low byte", 105, "131.259", 0, "Fam5_1_DPPCode131-3.xml"},
        {"DPP code taken as its low byte", 105, "387.3", 0, "Fam5_1_DPPCode131-3.xml"},
        {"firmware text without blank", 101, "131.5", 0, "Fam1_1_DPPCode131.xml"},
        {"firmware text without minor", 105, "131", 0, ""},
        {"the major number runs up to the dot", 105, "131 .3", 0, "Fam5_1_DPPCode131-3.xml"},
        {"unknown family", 77, "131.5", 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(foundFile(c.family, c.firmware, c.formFactor), c.expected) << c.what;
}

TEST(LoadParameters, BuildsEveryCategoryInItsPlace) {
    paramtest::LogCapture log;
    auto d = paramtest::makeRecord(90, "200.1");
    ASSERT_EQ(GENERIC_LoadParameters(d.get()), 0);
    EXPECT_TRUE(log.has("PTEST_42: Parameters document is '"));
    EXPECT_TRUE(log.has("A parameter with code 18 has already been specified in the given collection."));
    c_Digitizer_t* r = d.get();

    ASSERT_NE(r->boardColl, nullptr);
    EXPECT_EQ(r->boardColl->firstCode, 0);
    EXPECT_EQ(r->boardColl->lastCode, 19);
    c_Parameter_t* spare = c_pfind(r, 18);
    ASSERT_NE(spare, nullptr);
    EXPECT_EQ(spare->value, 1); /* the duplicate code name was refused */
    EXPECT_EQ(spare->owner, r);
    EXPECT_EQ(spare->index, 0xFF);

    for (int32_t ch = 0; ch < 4; ++ch) {
        c_Parameter_t* thr = c_pfindc(r, ch, 202);
        ASSERT_NE(thr, nullptr) << ch;
        EXPECT_EQ(thr->regaddr, 0x1060u | (uint32_t)(ch << 8));
        EXPECT_EQ(thr->owner, &r->channels[ch]);
        EXPECT_EQ(thr->index, ch);
        EXPECT_EQ(c_pfindc(r, ch, 204) != nullptr, ch % 2 == 1) << ch; /* idxmask of odd channels */
    }
    EXPECT_EQ(c_pfindc(r, 1, 203)->mask, 0xFF00u);

    ASSERT_NE(c_pfindg(r, 0, 750), nullptr);
    EXPECT_EQ(c_pfindg(r, 0, 750)->owner, &r->groupColl[0]);
    ASSERT_NE(c_pfindlg(r, 0, 500), nullptr);
    EXPECT_EQ(c_pfindlg(r, 0, 500)->owner, &r->lvdsColl[0]);
    for (int32_t t = 0; t < 2; ++t) {
        ASSERT_NE(c_pfindvt(r, t, 550), nullptr);
        EXPECT_EQ(r->vtrace[t].owner, r);
        EXPECT_EQ(c_pfindvt(r, t, 550)->owner, &r->vtrace[t]);
    }
    ASSERT_NE(c_pfindhvc(r, 0, 606), nullptr);
    EXPECT_EQ(c_pfindhvc(r, 0, 606)->owner, &r->hv[0]);
    for (int32_t range = 0; range < 2; ++range) {
        c_Parameter_t* p = c_pfindhvr(r, 0, range, 650);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->owner, &r->hv[0].ranges[range]);
        EXPECT_EQ(p->index, 0); /* the channel's index */
    }
    ASSERT_NE(c_pfindmo(r, 0, 700), nullptr);
    ASSERT_NE(c_pfindvga(r, 0, 800), nullptr);
    EXPECT_EQ(c_pfindvga(r, 0, 802), nullptr); /* in the range, not on this board */
    EXPECT_EQ(c_pfindvga(r, 0, 801), nullptr); /* a gap in the codes */
    paramtest::freeCollections(r);
}

TEST(LoadParameters, FailuresReportTheirStepAndKeepWhatWasBuilt) {
    {
        auto d = paramtest::makeRecord(101, "131.5", 2); /* no file */
        EXPECT_EQ(GENERIC_LoadParameters(d.get()), -1);
        EXPECT_EQ(d->boardColl, nullptr);
    }
    {
        paramtest::LogCapture log;
        auto d = paramtest::makeRecord(103, "131.5"); /* unparsable file */
        EXPECT_EQ(GENERIC_LoadParameters(d.get()), -1);
        EXPECT_TRUE(log.has("PTEST_42: Invalid parameters document '"));
        EXPECT_TRUE(log.has("Fam3_1_DPPCode131-5.xml'."));
        EXPECT_TRUE(log.has("PTEST_42: Invalid parameters document."));
    }
    {
        paramtest::LogCapture log;
        auto d = paramtest::makeRecord(107, "200.0");
        EXPECT_EQ(GENERIC_LoadParameters(d.get()), -4);
        EXPECT_TRUE(log.has("Can't parse numeric value from string 'x'."));
        EXPECT_TRUE(log.has("Error at node C_BAD"));
        EXPECT_TRUE(log.has("PTEST_42: Can't create channels parameters from file."));
        EXPECT_NE(d->boardColl, nullptr);
        EXPECT_NE(d->groupColl[0], nullptr);
        EXPECT_EQ(d->channels[0].coll, nullptr);
        paramtest::freeCollections(d.get());
    }
    {
        auto d = paramtest::makeRecord(107, "200.0");
        d->descriptor.NumChannels = 0; /* then the missing LVDS group category fails */
        EXPECT_EQ(GENERIC_LoadParameters(d.get()), -5);
        paramtest::freeCollections(d.get());
    }
    {
        /* counts beyond the record's slots are kept within them */
        auto d = paramtest::makeRecord(90, "200.1");
        d->descriptor.NumGroups = 200;
        d->descriptor.HVChannels = 7;
        d->hv[0].rangeCount = 9;
        d->hv[1].rangeCount = 9;
        EXPECT_EQ(GENERIC_LoadParameters(d.get()), 0);
        EXPECT_NE(d->groupColl[7], nullptr);
        EXPECT_NE(d->hv[1].ranges[2].coll, nullptr);
        paramtest::freeCollections(d.get());
    }
    EXPECT_EQ(GENERIC_LoadParameters(NULL), -1);
}

TEST(Lookups, BoundsAndClosedRecords) {
    auto d = paramtest::makeRecord(90, "200.1");
    ASSERT_EQ(GENERIC_LoadParameters(d.get()), 0);
    c_Digitizer_t* r = d.get();
    EXPECT_EQ(c_pfindc(r, 4, 202), nullptr);
    EXPECT_EQ(c_pfindc(r, -1, 202), nullptr);
    EXPECT_EQ(c_pfindg(r, 1, 750), nullptr);
    EXPECT_EQ(c_pfindlg(r, 1, 500), nullptr);
    EXPECT_EQ(c_pfindvt(r, 2, 550), nullptr);
    EXPECT_EQ(c_pfindhvc(r, 1, 606), nullptr);
    EXPECT_EQ(c_pfindhvr(r, 0, 2, 650), nullptr); /* range index equal to the range count */
    EXPECT_EQ(c_pfindhvr(r, 1, 0, 650), nullptr);
    EXPECT_EQ(c_pfindmo(r, 1, 700), nullptr);
    EXPECT_EQ(c_pfindvga(r, 1, 800), nullptr);
    EXPECT_EQ(c_pfind(r, -1), nullptr);  /* a code the definitions lack */
    EXPECT_EQ(c_pfind(r, 202), nullptr); /* a channel code in the board collection */

    EXPECT_EQ(c_getParamCategory(r, 3), 0);
    EXPECT_EQ(c_getParamCategory(r, 205), 1);
    EXPECT_EQ(c_getParamCategory(r, 500), 2);
    EXPECT_EQ(c_getParamCategory(r, 550), 3);
    EXPECT_EQ(c_getParamCategory(r, 607), 4);
    EXPECT_EQ(c_getParamCategory(r, 650), 5);
    EXPECT_EQ(c_getParamCategory(r, 700), 6);
    EXPECT_EQ(c_getParamCategory(r, 750), 7);
    EXPECT_EQ(c_getParamCategory(r, 801), 8);
    EXPECT_EQ(c_getParamCategory(r, 900), -1);
    EXPECT_EQ(c_getParamCategory(NULL, 3), -1);

    r->kind = -1; /* closed: nothing is found, nothing is logged as an error */
    EXPECT_EQ(c_pfind(r, 3), nullptr);
    EXPECT_EQ(c_pfindc(r, 0, 202), nullptr);
    r->kind = 1;
    EXPECT_NE(c_pfind(r, 3), nullptr);
    EXPECT_EQ(c_pfind(NULL, 3), nullptr);

    /* without a board collection the other categories are still told */
    c_ParamCollection_t* board = r->boardColl;
    r->boardColl = NULL;
    EXPECT_EQ(c_getParamCategory(r, 205), 1);
    EXPECT_EQ(c_getParamCategory(r, 3), -1);
    r->boardColl = board;
    paramtest::freeCollections(r);
}
