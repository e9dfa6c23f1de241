/* Buffer sizing and allocation of the digitizer record: event arrays from the
 * acquisition parameters, waveforms from the record length, fixed sizes, and
 * what a failed allocation leaves behind. */
#include <gtest/gtest.h>

#include <math.h>

#include "RecordFixture.h"

using rectest::Record;

namespace {

/* A Pemb PHA record (DPP code 139: trace slots 0, 1, 3 and 4) whose board
 * parameters size the buffers. */
struct SizedRecord : Record {
    SizedRecord(double waveforms, double aggregatesPerTransfer, double eventsPerAggregate, double recordLength)
        : Record(4) {
        board(DPPL_PARAM_WAVEFORMS, waveforms);
        board(DPPL_PARAM_NABLT, aggregatesPerTransfer);
        board(DPPL_PARAM_EVENTAGGR, eventsPerAggregate);
        board(DPPL_PARAM_RECLEN, recordLength);
    }
};

uint32_t traceCapacity(const c_DPPEvent_t& event, int slot) { return event.waveform->traces[slot].capacity; }

} // namespace

TEST(EventBuffer, CountIsTruncatedProductAndWaveformsFollowRecordLength) {
    struct Case {
        double recordLength, downSampling; /* downSampling 0: the board has no such parameter */
        uint32_t samples;
    } cases[] = {
        /* Pemb PHA waveforms come in units of 8 samples: the rounded sample
         * count goes up to the next whole unit. */
        {1000, 2, 128}, /* 125 */
        {1026, 2, 128}, /* lround(128.25): a whole number of units */
        {1030, 2, 136}, /* lround(128.75) = 129 */
        {1000, 0, 256}, /* 250 */
    };
    for (const Case& c : cases) {
        SizedRecord record(1, 4.7, 3.9, c.recordLength);
        if (c.downSampling != 0)
            record.board(DPPL_PARAM_WAVEFORM_DOWNSAMPLING, c.downSampling);
        ASSERT_EQ(_mallocDPPEvtsBuffer(record.get(), 2), 0) << c.recordLength;
        const c_ChannelRecord_t& channel = record->channels[2];
        ASSERT_EQ(channel.capacity, 12u);
        ASSERT_EQ(channel.waveformsAllocated, 1);
        EXPECT_EQ(channel.cfdCapacity, c.samples);
        for (uint32_t i = 0; i < channel.capacity; i++) {
            ASSERT_NE(channel.events[i].waveform, nullptr);
            for (int slot : {0, 1, 3, 4})
                EXPECT_EQ(traceCapacity(channel.events[i], slot), c.samples) << "slot " << slot;
            for (int slot : {2, 5, 6, 7, 8})
                EXPECT_EQ(channel.events[i].waveform->traces[slot].samples, nullptr) << "slot " << slot;
        }
    }
}

/* Each firmware's traces hold its whole waveform units, also where the
 * record length's steps are finer than the units (Tilk pulse shape: 12
 * samples a unit, the record length in steps of 8). */
TEST(EventBuffer, TracesHoldTheFirmwaresWholeWaveformUnits) {
    struct Case {
        int32_t dppCode;
        uint32_t family;
        double period, recordLength;
        uint32_t samples;
    } cases[] = {
        {132, 5, 1.0, 200, 204}, {132, 5, 1.0, 24, 24}, {132, 5, 1.0, 1000, 1008}, {131, 12, 4.0, 100, 32},
        {128, 16, 10.0, 90, 10}, {1, 4, 16.0, 400, 27}, {0, 5, 1.0, 201, 201},
    };
    for (const Case& c : cases) {
        SizedRecord record(1, 1, 2, c.recordLength);
        record->descriptor.DPPCode = c.dppCode;
        record->descriptor.FamilyCode = c.family;
        record->descriptor.SamplePeriod = c.period;
        ASSERT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), 0) << c.dppCode;
        const c_ChannelRecord_t& channel = record->channels[0];
        EXPECT_EQ(channel.cfdCapacity, c.samples) << c.dppCode << " " << c.recordLength;
        EXPECT_EQ(traceCapacity(channel.events[1], 0), c.samples) << c.dppCode << " " << c.recordLength;
    }
}

TEST(EventBuffer, WithoutWaveformsEventsCarryNone) {
    SizedRecord record(0, 8, 16, 1000);
    ASSERT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), 0);
    const c_ChannelRecord_t& channel = record->channels[0];
    EXPECT_EQ(channel.capacity, 128u);
    EXPECT_EQ(channel.waveformsAllocated, 0);
    EXPECT_EQ(channel.cfdWork, nullptr);
    for (uint32_t i = 0; i < channel.capacity; i++)
        EXPECT_EQ(channel.events[i].waveform, nullptr);
}

TEST(EventBuffer, MissingOrUnusableParametersLeaveNoEvents) {
    {
        Record record(4); /* no sizing parameter at all */
        EXPECT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), DPPL_ERR_NULL_ARGUMENT);
        EXPECT_EQ(record->channels[0].events, nullptr);
    }
    /* A zero period or down-sampling would divide by zero: refused. */
    for (double downSampling : {0.0, -1.0}) {
        SizedRecord record(1, 2, 2, 1000);
        record.board(DPPL_PARAM_WAVEFORM_DOWNSAMPLING, downSampling);
        EXPECT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), DPPL_ERR_PARAMETER);
        EXPECT_EQ(record->channels[0].events, nullptr);
        EXPECT_EQ(record->channels[0].capacity, 0u);
    }
    {
        SizedRecord record(1, 2, 2, 1000);
        record->descriptor.SamplePeriod = 0.0;
        EXPECT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), DPPL_ERR_PARAMETER);
        EXPECT_EQ(record->channels[0].events, nullptr);
    }
    /* NaN counts as no event rather than an undefined conversion. */
    {
        SizedRecord record(0, NAN, 4, 1000);
        ASSERT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), 0);
        EXPECT_EQ(record->channels[0].capacity, 0u);
    }
}

TEST(EventBuffer, WaveformsWithoutRecordLengthKeepTheEvents) {
    Record record(4);
    record.board(DPPL_PARAM_WAVEFORMS, 1);
    record.board(DPPL_PARAM_NABLT, 2);
    record.board(DPPL_PARAM_EVENTAGGR, 3);
    EXPECT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), DPPL_ERR_NULL_ARGUMENT);
    EXPECT_EQ(record->channels[0].capacity, 6u);
    EXPECT_EQ(record->channels[0].waveformsAllocated, 0);
}

TEST(EventBuffer, StandardWaveformFirmwareFillsOnlyItsAnalogTrace) {
    SizedRecord record(1, 1, 1, 400);
    record->descriptor.DPPCode = 0;
    record->descriptor.FamilyCode = 0;
    ASSERT_EQ(_mallocDPPEvtsBuffer(record.get(), 0), 0);
    const c_Waveform_t* waveform = record->channels[0].events[0].waveform;
    EXPECT_EQ(waveform->traces[0].capacity, 100u);
    for (int slot = 1; slot < DPPL_TRACE_SLOTS; slot++)
        EXPECT_EQ(waveform->traces[slot].samples, nullptr);
}

TEST(FixedBuffers, EveryChannelGetsItsEventsWaveformsAndCfdArea) {
    Record record(3);
    record.channel(1, DPPL_PARAM_CH_ENABLED, 0); /* disabled channels get buffers too */
    ASSERT_EQ(c_bfixedealloc(record.get(), 4096, 10, 2, 50), 0);
    EXPECT_EQ(record->roBuffer.ROAllocSize, 4096u);
    ASSERT_NE(record->roBuffer.ROBuf, nullptr);
    for (int ch = 0; ch < 3; ch++) {
        const c_ChannelRecord_t& channel = record->channels[ch];
        ASSERT_EQ(channel.capacity, 10u);
        EXPECT_EQ(channel.cfdCapacity, 50u);
        EXPECT_NE(channel.events[1].waveform, nullptr);
        EXPECT_EQ(channel.events[2].waveform, nullptr); /* only the first two carry one */
        EXPECT_EQ(traceCapacity(channel.events[0], 0), 50u);
    }
    EXPECT_EQ(record->channels[3].events, nullptr);
}

TEST(FixedBuffers, MoreWaveformsThanEventsStopAtTheEvents) {
    Record record(1);
    ASSERT_EQ(c_bfixedealloc(record.get(), 64, 3, 100, 8), 0);
    for (uint32_t i = 0; i < 3; i++)
        EXPECT_NE(record->channels[0].events[i].waveform, nullptr);
}

/* A refused allocation leaves the record as it was. */
TEST(FixedBuffers, RefusedSizeKeepsTheExistingBuffers) {
    Record record(2);
    ASSERT_EQ(c_bfixedealloc(record.get(), 128, 4, 0, 16), 0);
    const char* readout = record->roBuffer.ROBuf;
    const c_DPPEvent_t* events = record->channels[1].events;

    EXPECT_EQ(c_bfixedealloc(record.get(), 1ull << 32, 4, 0, 16), DPPL_ERR_READOUT_BUFFER); /* "Size too big." */
    EXPECT_EQ(record->roBuffer.ROBuf, readout);
    EXPECT_EQ(record->roBuffer.ROAllocSize, 128u);
    EXPECT_EQ(record->channels[1].events, events);
}

TEST(Reallocation, FailedReadoutKeepsTheExistingBuffers) {
    Record record(2);
    record.channel(0, DPPL_PARAM_CH_ENABLED, 1);
    record.channel(1, DPPL_PARAM_CH_ENABLED, 1);
    ASSERT_EQ(c_bfixedealloc(record.get(), 256, 4, 0, 8), 0);
    const char* readout = record->roBuffer.ROBuf;
    const c_DPPEvent_t* events = record->channels[0].events;
    /* No board behind the record: the board-access layer allocates no readout buffer. */
    EXPECT_EQ(c_brealloc(record.get()), DPPL_ERR_READOUT_BUFFER);
    EXPECT_EQ(record->roBuffer.ROBuf, readout);
    EXPECT_EQ(record->roBuffer.ROAllocSize, 256u);
    EXPECT_EQ(record->channels[0].events, events);
}

TEST(Reallocation, ClosedRecordsAreRefused) {
    c_Digitizer_t closed;
    _resetDgtz(&closed);
    EXPECT_EQ(c_brealloc(&closed), DPPL_ERR_DIGITIZER_NOT_OPEN);
    EXPECT_EQ(c_brealloc(nullptr), DPPL_ERR_DIGITIZER_NOT_OPEN);
    EXPECT_EQ(c_bfixedealloc(&closed, 16, 1, 1, 1), DPPL_ERR_DIGITIZER_NOT_OPEN);
}

TEST(Enables, ChannelAndGroupTests) {
    Record record(16, 2);
    for (int ch = 0; ch < 16; ch++)
        record.channel(ch, DPPL_PARAM_CH_ENABLED, ch == 12 ? 1 : 0);
    record.group(0, DPPL_PARAM_GR_ENABLED, 1);
    record.group(1, DPPL_PARAM_GR_ENABLED, 1);
    EXPECT_EQ(c_isChannelEnabled(record.get(), 12), 1);
    EXPECT_EQ(c_isChannelEnabled(record.get(), 11), 0);
    EXPECT_EQ(c_isChannelEnabled(record.get(), 16), 0);
    EXPECT_EQ(c_isChannelEnabled(record.get(), -1), 0);
    EXPECT_EQ(c_isGroupEnabled(record.get(), 0), 0); /* enabled, but all eight channels off */
    EXPECT_EQ(c_isGroupEnabled(record.get(), 1), 1);
    EXPECT_EQ(c_isGroupEnabled(record.get(), 2), 0);
    _pretrieve(record->groupColl[1], DPPL_PARAM_GR_ENABLED)->value = 0;
    EXPECT_EQ(c_isGroupEnabled(record.get(), 1), 0);
    EXPECT_EQ(c_isChannelEnabled(nullptr, 0), 0);
}

TEST(Freeing, FreeingBuffersTwiceIsHarmless) {
    Record record(2);
    ASSERT_EQ(c_bfixedealloc(record.get(), 64, 2, 0, 4), 0);
    EXPECT_EQ(_freeDgtzBuffers(record.get()), 0);
    EXPECT_EQ(record->roBuffer.ROBuf, nullptr);
    EXPECT_EQ(record->roBuffer.ROAllocSize, 0u);
    EXPECT_EQ(record->channels[0].events, nullptr);
    EXPECT_EQ(record->channels[0].capacity, 0u);
    EXPECT_EQ(_freeDgtzBuffers(record.get()), 0);
}

TEST(Freeing, ReplayBufferClaimingASizeWithoutMemoryIsReported) {
    Record record(1);
    ASSERT_EQ(c_bfixedealloc(record.get(), 0, 2, 0, 4), 0);
    c_free(record->roBuffer.ROBuf);
    record->roBuffer.ROBuf = NULL;
    record->roBuffer.ROAllocSize = 100;
    record->replay = 1;
    EXPECT_EQ(_freeDgtzBuffers(record.get()), DPPL_ERR_READOUT_BUFFER);
    EXPECT_EQ(record->channels[0].events, nullptr); /* the rest is freed all the same */
}
