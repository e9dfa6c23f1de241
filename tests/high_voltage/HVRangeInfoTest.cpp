// The information functions of the high-voltage commands in-process, on a
// board record filled by hand with what no simulated board reports: ranges
// of unknown codes, polarities other than 0 and 1, texts without a
// terminator.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SRV_HVRange.h"

namespace {

class HVRecord : public ::testing::Test {
protected:
    void SetUp() override {
        board.reset(new SRVBoard_t());
        board->digitizer.descriptor.HVChannels = 2;
        for (int h = 0; h < 2; ++h) {
            c_HVChannelBlock_t& hv = board->digitizer.hv[h];
            hv.rangeCount = 2;
            hv.polarity = h;
            board->hv[h].rangeCount = 2;
            for (int r = 0; r < 2; ++r) {
                c_HVRangeBlock_t& range = hv.ranges[r];
                std::snprintf(range.codename, sizeof range.codename, "HV_RANGE_%d_%d", h, r);
                std::snprintf(range.name, sizeof range.name, "Range %d", r);
                range.rangeCode = r;
                for (int k = 0; k < DPPL_HV_CONVERSIONS; ++k) {
                    range.conv[k].min = 100 * k + 1;
                    range.conv[k].max = 100 * k + 2;
                    range.conv[k].step = 100 * k + 3;
                }
                board->hv[h].ranges[r].range = &range;
            }
        }
    }
    int16_t Info(std::initializer_list<int32_t> path, SRVHVRangeInfo_t* info) {
        std::vector<int32_t> p(path);
        return SRV_GetHVRangeInfo(board.get(), p.data(), static_cast<uint32_t>(p.size()), info);
    }

    std::unique_ptr<SRVBoard_t> board;
};

TEST_F(HVRecord, RangeInfoTakesEachQuantityFromItsOwnConversion) {
    SRVHVRangeInfo_t info;
    ASSERT_EQ(0, Info({1, 3, 1, 4}, &info));
    /* Reply order VSET, ISET, VMON, IMON, VMAX, RAMPUP, RAMPDOWN. */
    const int conversions[7] = {HVCONV_VSET, HVCONV_ISET,   HVCONV_VMON,    HVCONV_IMON,
                                HVCONV_VMAX, HVCONV_RAMPUP, HVCONV_RAMPDOWN};
    for (int q = 0; q < 7; ++q) {
        EXPECT_DOUBLE_EQ(100 * conversions[q] + 1, info.limits[3 * q]) << q;
        EXPECT_DOUBLE_EQ(100 * conversions[q] + 2, info.limits[3 * q + 1]) << q;
        EXPECT_DOUBLE_EQ(100 * conversions[q] + 3, info.limits[3 * q + 2]) << q;
    }
    EXPECT_EQ(1, info.kind);
    EXPECT_STREQ("HV_RANGE_1_1", info.codename);
    EXPECT_STREQ("Range 1", info.name);
}

TEST_F(HVRecord, LongTextsAreCutAndUnknownCodesRefused) {
    c_HVRangeBlock_t& range = board->digitizer.hv[0].ranges[1];
    std::memset(range.codename, 'C', sizeof range.codename); /* no terminator at all */
    std::memset(range.name, 'N', sizeof range.name);
    SRVHVRangeInfo_t info;
    ASSERT_EQ(0, Info({0, 3, 1, 4}, &info));
    EXPECT_EQ(std::string(47, 'C'), info.codename);
    EXPECT_EQ(std::string(47, 'N'), info.name);

    for (int32_t code : {3, -1}) {
        range.rangeCode = code;
        EXPECT_EQ(-1, Info({0, 3, 1, 4}, &info)) << code;
    }
}

TEST_F(HVRecord, RangesBeyondWhatTheServerBuiltAreNotFound) {
    SRVHVRangeInfo_t info;
    /* The library reports more ranges than the server's record holds. */
    board->digitizer.hv[0].rangeCount = 3;
    EXPECT_EQ(-33, Info({0, 3, 2, 4}, &info));
    /* A count beyond the arrays never reaches them. */
    board->digitizer.hv[0].rangeCount = 1000;
    board->digitizer.descriptor.HVChannels = 1000;
    EXPECT_EQ(-33, Info({0, 3, 7, 4}, &info));
    EXPECT_EQ(-33, Info({5, 3, 0, 4}, &info));
    EXPECT_EQ(-33, Info({0, 3}, &info));
    EXPECT_EQ(-10, Info({0, 3, 0, 5}, &info));
}

TEST_F(HVRecord, ChannelInfoChecksChannelAndPolarity) {
    uint32_t ranges = 0, polarity = 7;
    ASSERT_EQ(0, SRV_GetHVChannelInfo(board.get(), 1, &ranges, &polarity));
    EXPECT_EQ(2u, ranges);
    EXPECT_EQ(1u, polarity);
    EXPECT_EQ(-33, SRV_GetHVChannelInfo(board.get(), 2, &ranges, &polarity));
    EXPECT_EQ(-33, SRV_GetHVChannelInfo(board.get(), -1, &ranges, &polarity));
    board->digitizer.hv[0].polarity = 2;
    EXPECT_EQ(-42, SRV_GetHVChannelInfo(board.get(), 0, &ranges, &polarity));
}

} // namespace
