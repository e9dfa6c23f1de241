/* Life cycle of the digitizer record: reset, refused opens, closing an open
 * record with everything that hangs off it, board information. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "RecordFixture.h"

using rectest::Record;

TEST(Reset, ForgetsEverythingAndArmsTheIdleFlush) {
    c_Digitizer_t* record = new c_Digitizer_t;
    memset(record, 0x5A, sizeof *record);
    uint64_t before = c_get_time();
    _resetDgtz(record);
    EXPECT_EQ(record->kind, DGTZ_KIND_CLOSED);
    EXPECT_EQ(record->handle, -1);
    EXPECT_STREQ(record->descriptor.DPPTypeName, "DPP-NONE");
    EXPECT_EQ(record->idleFlush, 1);
    EXPECT_GE(record->lastDataTime, before);
    EXPECT_EQ(record->acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(record->boardColl, nullptr);
    EXPECT_EQ(record->channels[63].events, nullptr);
    EXPECT_EQ(record->scope, nullptr);
    EXPECT_EQ(record->writer.file, nullptr);
    EXPECT_EQ(record->bytesTotal, 0u);
    EXPECT_EQ(c_isDgtzOpened(record), 0);
    delete record;
    EXPECT_EQ(c_isDgtzOpened(nullptr), 0);
}

TEST(Open, SecondGenerationAddressesAreRefusedAndLeaveTheRecordClosed) {
    for (const char* address : {"gen2:192.168.0.1", "GEN2:board", "Gen2:"}) {
        c_Digitizer_t* record = new c_Digitizer_t;
        c_ConnParams_t params;
        memset(&params, 0, sizeof params);
        params.linkType = 6;
        strcpy(params.address, address);
        EXPECT_EQ(c_newDigitizer(record, &params), DPPL_ERR_NOT_SUPPORTED) << address;
        EXPECT_EQ(c_isDgtzOpened(record), 0);
        EXPECT_EQ(record->connParams.address[0], '\0'); /* reset again */
        delete record;
    }
    EXPECT_EQ(c_newDigitizer(nullptr, nullptr), DPPL_ERR_NULL_ARGUMENT);
}

TEST(Open, ReplayOfAMissingFileCannotOpenTheDumper) {
    c_Digitizer_t* record = new c_Digitizer_t;
    EXPECT_EQ(c_newFileDigitizer(record, "/nonexistent.dat"), DPPL_ERR_DUMPER_OPEN);
    EXPECT_EQ(c_isDgtzOpened(record), 0);
    delete record;
}

TEST(Free, ClosedRecordWarnsAndSucceedsTwice) {
    c_Digitizer_t* record = new c_Digitizer_t;
    _resetDgtz(record);
    EXPECT_EQ(c_freeDgtz(record), 0);
    EXPECT_EQ(c_freeDgtz(record), 0);
    EXPECT_EQ(c_freeDgtz(nullptr), 0);
    delete record;
}

/* Everything hanging off an open replay record is freed (leak detection
 * checks what this test cannot see) and the record ends closed. */
TEST(Free, OpenRecordFreesEverythingAndCloses) {
    Record record(2, 1);
    record->replay = 1; /* no board to close */
    c_mutex_init(&record->mutex);
    record.board(DPPL_PARAM_RECLEN, 1000);
    record.channel(0, DPPL_PARAM_CH_ENABLED, 1);
    record.channel(1, DPPL_PARAM_CH_ENABLED, 1);
    record.group(0, DPPL_PARAM_GR_ENABLED, 1);
    record.hvChannel(0, DPPL_PARAM_HVCH_ON, 0);
    record.hvRange(0, 1, DPPL_PARAM_HVCH_VSET, 10);
    ASSERT_EQ(c_bfixedealloc(record.get(), 512, 8, 0, 32), 0);
    record->channels[0].coarseDCO = (c_CoarseDCOTable_t*)c_calloc(1, sizeof(c_CoarseDCOTable_t));
    record->scope = (c_ScopeBuffer_t*)c_calloc(1, sizeof(c_ScopeBuffer_t));
    record->scope->items = (c_ScopeEvent_t*)c_calloc(4, sizeof(c_ScopeEvent_t));
    record->fileHeader.brdparams = (double*)c_calloc(8, sizeof(double));
    record->fileHeader.chparams[1] = (double*)c_calloc(8, sizeof(double));
    record->writer.file = tmpfile();
    record->writer.opened = 1;

    EXPECT_EQ(c_freeDgtz(record.get()), 0);
    EXPECT_EQ(c_isDgtzOpened(record.get()), 0);
    EXPECT_EQ(record->boardColl, nullptr);
    EXPECT_EQ(record->hv[0].ranges[1].coll, nullptr);
    EXPECT_EQ(record->channels[0].events, nullptr);
    EXPECT_EQ(record->channels[0].coarseDCO, nullptr);
    EXPECT_EQ(record->scope, nullptr);
    EXPECT_EQ(record->writer.file, nullptr);
}

/* A recording whose buffered bytes can't reach the disk is lost data: the
 * close fails, the free reports it and still frees and closes the record. */
TEST(Free, RecordingWhoseLastBytesCannotBeWrittenIsReported) {
    Record record(1);
    record->replay = 1;
    c_mutex_init(&record->mutex);
    record->writer.file = fopen("/dev/full", "wb"); /* every flush fails: no space */
    ASSERT_NE(record->writer.file, nullptr);
    snprintf(record->writer.fileName, sizeof record->writer.fileName, "%s", "/dev/full");
    record->writer.opened = 1;
    const char bytes[64] = {1};
    ASSERT_EQ(fwrite(bytes, 1, sizeof bytes, record->writer.file), sizeof bytes); /* held in the stream's buffer */

    EXPECT_EQ(c_freeDgtz(record.get()), DPPL_ERR_DUMPER_CLOSE);
    EXPECT_EQ(c_isDgtzOpened(record.get()), 0);
    EXPECT_EQ(record->writer.file, nullptr);
    EXPECT_EQ(record->writer.opened, 0);
}

TEST(BoardInfo, RefusedArguments) {
    c_BoardDescriptor_t descriptor;
    c_ConnParams_t params;
    memset(&params, 0, sizeof params);
    EXPECT_EQ(c_fetchBoardInfo(nullptr, &descriptor), DPPL_ERR_NULL_ARGUMENT);
    strcpy(params.address, "GeN2:1");
    EXPECT_EQ(c_fetchBoardInfo(&params, &descriptor), DPPL_ERR_NOT_SUPPORTED);
}
