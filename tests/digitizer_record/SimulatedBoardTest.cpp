/* The record on the simulated board: board information without keeping the
 * board, and buffers sized from the parameters with the board's own readout
 * buffer. */
#include <gtest/gtest.h>

#include <string.h>

#include "RecordFixture.h"
#include "ZarnDigitizer.h"

using rectest::Record;

namespace {

/* The simulated boards of the shipped profiles. */
const int kOrluLink = 0, kOrluType = ZARN_DGTZ_LINK_USB; /* OR5780, serial 1101 */
const int kPembLink = 0, kPembType = ZARN_DGTZ_LINK_OPTICAL, kPembNode = 1;

c_ConnParams_t orluParams() {
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    params.linkType = kOrluType;
    params.linkNumber = kOrluLink;
    return params;
}

} // namespace

TEST(BoardInfo, ReadsTheHeadOfTheDescriptorAndReportsABoardHeldOpen) {
    c_ConnParams_t params = orluParams();
    c_BoardDescriptor_t descriptor;
    memset(&descriptor, 0xAB, sizeof descriptor);
    ASSERT_EQ(c_fetchBoardInfo(&params, &descriptor), 0);
    EXPECT_STREQ(descriptor.ModelName, "OR5780");
    EXPECT_EQ(descriptor.SerialNumber, 1101u);
    EXPECT_STREQ(descriptor.ChannelFirmwareRel, "128.70");
    EXPECT_EQ(((const uint8_t*)&descriptor)[DPPL_BOARD_INFO_SIZE], 0xAB); /* the library's part is untouched */

    int handle = -1;
    ASSERT_EQ(ZARN_DGTZ_OpenDigitizer2(kOrluType, &kOrluLink, 0, 0, &handle), 0);
    EXPECT_EQ(c_fetchBoardInfo(&params, &descriptor), DPPL_ERR_DIGITIZER_ALREADY_OPEN);
    ZARN_DGTZ_CloseDigitizer(handle);

    params.linkNumber = 9; /* nothing there */
    EXPECT_EQ(c_fetchBoardInfo(&params, &descriptor), DPPL_ERR_OPEN_DIGITIZER);
}

TEST(Reallocation, EnabledChannelsGetEventsAndTheBoardItsReadoutBuffer) {
    Record record(2);
    ASSERT_EQ(ZARN_DGTZ_OpenDigitizer2(kPembType, &kPembLink, kPembNode, 0, &record->handle), 0);
    c_mutex_init(&record->mutex);
    record.board(DPPL_PARAM_WAVEFORMS, 1);
    record.board(DPPL_PARAM_NABLT, 2);
    record.board(DPPL_PARAM_EVENTAGGR, 3);
    record.board(DPPL_PARAM_RECLEN, 400);
    record.channel(0, DPPL_PARAM_CH_ENABLED, 1);
    record.channel(1, DPPL_PARAM_CH_ENABLED, 0);

    ASSERT_EQ(c_brealloc(record.get()), 0);
    EXPECT_GT(record->roBuffer.ROAllocSize, 0u);
    EXPECT_EQ(record->roBuffer.allocator, ROBUF_ALLOC_DIGITIZER);
    EXPECT_EQ(record->channels[0].capacity, 6u);
    /* 400 ns at 4 ns: 100 samples, held in whole units of 8 */
    EXPECT_EQ(record->channels[0].events[5].waveform->traces[0].capacity, 104u);
    EXPECT_EQ(record->channels[1].events, nullptr); /* disabled: no event array */
    EXPECT_EQ(record->channels[1].capacity, 0u);

    /* A second reallocation replaces the first (the old buffers go back). */
    _pretrieve(record->boardColl, DPPL_PARAM_EVENTAGGR)->value = 5;
    ASSERT_EQ(c_brealloc(record.get()), 0);
    EXPECT_EQ(record->channels[0].capacity, 10u);

    /* Closing gives everything back and closes the board. */
    EXPECT_EQ(c_freeDgtz(record.get()), 0);
    EXPECT_EQ(c_isDgtzOpened(record.get()), 0);
    int handle = -1;
    EXPECT_EQ(ZARN_DGTZ_OpenDigitizer2(kPembType, &kPembLink, kPembNode, 0, &handle), 0);
    ZARN_DGTZ_CloseDigitizer(handle);
}
