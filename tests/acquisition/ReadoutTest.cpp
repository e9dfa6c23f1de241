/* The readout cycle on the simulated board: the idle flush, block reads that
 * misbehave, recording, the end-of-run marks, software-triggered reads, the
 * start-mode actions and the real-time and dead-time counters. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include "AcqSupport.h"
#include "ZarnComm.h"
#include "ZarnDigitizer.h"

using namespace acqtest;

namespace {

constexpr uint64_t kMs = 1000000; /* board-clock nanoseconds */

uint64_t deliveredSinceStart(const HandBoard& b) {
    uint64_t sum = 0;
    for (uint32_t ch = 0; ch < 8; ++ch)
        sum += b.generated(ch);
    return sum;
}

/* Replaces the board's readout buffer by one of exactly `bytes`. */
void useReadoutBuffer(HandBoard& b, uint32_t bytes) {
    c_ReadoutBuffer_t& buffer = b->roBuffer;
    ZARN_DGTZ_FreeReadoutBuffer(&buffer.ROBuf);
    buffer.ROBuf = (char*)c_calloc(1, bytes);
    buffer.ROAllocSize = bytes;
    buffer.ROBytes = 0;
    buffer.allocator = ROBUF_ALLOC_LIBRARY;
}

TEST(Readout, RefusesRecordsItCannotRead) {
    EXPECT_EQ(c_getDPPEvents(NULL, NULL), DPPL_ERR_DIGITIZER_NOT_OPEN);
    c_Digitizer_t closed;
    _resetDgtz(&closed);
    int32_t bytes = 5;
    EXPECT_EQ(c_getDPPEvents(&closed, &bytes), DPPL_ERR_DIGITIZER_NOT_OPEN);
    EXPECT_EQ(bytes, 0);
    HandBoard b;
    uint32_t size = b->roBuffer.ROAllocSize;
    b->roBuffer.ROAllocSize = 0;
    EXPECT_EQ(c_getDPPEvents(b.get(), NULL), DPPL_ERR_READOUT_BUFFER);
    b->roBuffer.ROAllocSize = size;
}

TEST(IdleFlush, OneFlushAfter75MsOfSilenceBringsTheDataInTheSameCallAndRecordsIt) {
    HandBoard b;
    ASSERT_EQ(c_bstarta(b.get()), 0);
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    b->writer.file = file;
    b->writer.opened = 1;
    b->dumpEnabled = 1;
    int32_t bytes = -1;
    struct Step {
        uint64_t silentMs;
        bool flushed;
    } steps[] = {{0, false}, {70, false}, {76, true}, {0, false}, {80, true}};
    for (const Step& s : steps) {
        b.advance(3 * kMs); /* a few events a channel: every aggregate still open */
        b->lastDataTime = c_get_time() - s.silentMs;
        long before = ftell(file);
        ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
        if (!s.flushed) {
            EXPECT_EQ(bytes, 0) << s.silentMs;
            EXPECT_EQ(b.eventsRead(), 0u) << s.silentMs;
            continue;
        }
        /* Everything the board held, decoded at once and recorded. */
        EXPECT_GT(bytes, 0) << s.silentMs;
        EXPECT_EQ(ftell(file) - before, 4 + bytes);
        EXPECT_GE(b->lastDataTime + 5, c_get_time());
    }
    uint64_t decoded = 0;
    for (uint32_t ch = 0; ch < 8; ++ch)
        decoded += b->evtCount[ch];
    EXPECT_EQ(decoded, deliveredSinceStart(b));
}

TEST(IdleFlush, IsRefusedWhileTheAutomaticFlushIsOnAndTheReadStillSucceeds) {
    HandBoard b;
    b.board(DPPL_PARAM_AUTOFLUSH_ENABLE, 1);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(3 * kMs);
    b->lastDataTime = c_get_time() - 100;
    int32_t bytes = -1;
    EXPECT_EQ(c_sendFlush(b.get()), DPPL_ERR_NOT_SUPPORTED);
    ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
    EXPECT_EQ(bytes, 0);
    EXPECT_GE(b->lastDataTime + 5, c_get_time()); /* the attempt counts */
    b->idleFlush = 1;
    _pretrieve(b->boardColl, DPPL_PARAM_AUTOFLUSH_ENABLE)->value = 0;
    EXPECT_EQ(c_sendFlush(b.get()), 0);
    EXPECT_EQ(c_sendFlush(NULL), DPPL_ERR_NOT_SUPPORTED);
}

TEST(BlockRead, AReadThatAnswersNothingNeitherHangsNorLosesData) {
    HandBoard b;
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(40 * kMs); /* full aggregates waiting */
    b->lastDataTime = c_get_time();
    ASSERT_EQ(ZarnSim_CutNextBlockRead(b.link(), 0, ZARN_COMM_Success), 0);
    int32_t bytes = -1;
    ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
    EXPECT_EQ(bytes, 0);
    uint64_t decoded = 0;
    for (int read = 0; read < 100; ++read) {
        ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
        if (bytes == 0)
            break;
        decoded += b.eventsRead();
    }
    EXPECT_GT(decoded, 0u);
    ASSERT_EQ(c_bstopa(b.get()), 0);
    decoded += b.eventsRead();
    EXPECT_EQ(decoded, deliveredSinceStart(b));
}

TEST(BlockRead, ABufferFilledExactlyKeepsItsDataAndTheRestComesNext) {
    HandBoard b(0x1);
    const uint32_t aggregateBytes = 4 * (4 + 2 + 16 * 2); /* one channel aggregate of 16 events */
    useReadoutBuffer(b, aggregateBytes);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(60 * kMs);
    b->lastDataTime = c_get_time();
    /* The block read fills the buffer to the last byte and says more may follow. */
    ASSERT_EQ(ZarnSim_CutNextBlockRead(b.link(), aggregateBytes / 4, ZARN_COMM_Success), 0);
    int32_t bytes = 0;
    ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
    EXPECT_EQ(bytes, (int32_t)aggregateBytes);
    EXPECT_EQ(b->channels[0].nEvents, 16u);
    ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
    EXPECT_EQ(b->channels[0].nEvents, 16u);
    EXPECT_EQ(b->evtCount[0], 32u);
}

TEST(BlockRead, AFailedReadReportsWhatItRead) {
    HandBoard b(0x1);
    const uint32_t aggregateBytes = 4 * (4 + 2 + 16 * 2);
    useReadoutBuffer(b, 2 * aggregateBytes);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(60 * kMs);
    ASSERT_EQ(ZarnSim_CutNextBlockRead(b.link(), aggregateBytes / 4, ZARN_COMM_BusError), 0);
    int32_t bytes = 0;
    EXPECT_EQ(c_getDPPEvents(b.get(), &bytes), DPPL_ERR_READ_DATA);
    EXPECT_EQ(bytes, (int32_t)aggregateBytes);
}

TEST(EndOfRun, EveryEnabledChannelGetsExactlyOneMark) {
    HandBoard b(0x3); /* channels 0 and 1 */
    ASSERT_EQ(GENERIC_SignalEndOfRun(b.get()), 0);
    EXPECT_EQ(b->channels[2].endOfRun, 0);
    b->channels[0].nEvents = 2;
    b->channels[0].events[1].flags = EVTFLAG_PILEUP;
    b->channels[1].nEvents = 0;
    b->channels[1].events[0].energy = 77;
    b->maxTimeStamp = 500;
    GENERIC_MarkEndOfRun(b.get());
    EXPECT_EQ(b->channels[0].events[1].flags, EVTFLAG_PILEUP | EVTFLAG_END_OF_RUN);
    ASSERT_EQ(b->channels[1].nEvents, 1u);
    const c_DPPEvent_t& synthetic = b->channels[1].events[0];
    EXPECT_EQ(synthetic.flags, 0x2008u);
    EXPECT_EQ(synthetic.energy, 0);
    EXPECT_EQ(synthetic.timeStamp, 501u);
    EXPECT_EQ(b->channels[0].endOfRun, 2);
    EXPECT_EQ(b->channels[1].endOfRun, 2);
    b->channels[1].nEvents = 0;
    ASSERT_EQ(GENERIC_SignalEndOfRun(b.get()), 0); /* done stays done */
    GENERIC_MarkEndOfRun(b.get());
    EXPECT_EQ(b->channels[1].nEvents, 0u);
}

TEST(EndOfRun, ClearingAWaveformZeroesEveryTraceWithABuffer) {
    int16_t analog[2][6];
    uint8_t digital[8];
    memset(analog, 0x55, sizeof analog);
    memset(digital, 1, sizeof digital);
    c_Waveform_t w;
    memset(&w, 0, sizeof w);
    w.traces[0] = {1, analog[0], 6};
    w.traces[1] = {7, analog[1], 4};
    w.traces[4] = {12, digital, 8};
    c_DPPEvent_t e;
    memset(&e, 0, sizeof e);
    e.waveform = &w;
    GENERIC_ClearEventWaveforms(&e);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(analog[0][i], 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(analog[1][i], 0);
    EXPECT_EQ(analog[1][4], 0x5555); /* beyond the trace's capacity */
    for (uint8_t v : digital)
        EXPECT_EQ(v, 0);
    EXPECT_EQ(w.nSamples, 8u);
}

TEST(SoftwareTriggeredRead, TriggersUntilEveryEnabledChannelHasEvents) {
    HandBoard b(0x5); /* channels 0 and 2 */
    ZarnSim_SetRate(b.link(), -1, 0);
    b.poke(0x1034, 1); /* one event an aggregate: a trigger's event is read at once */
    b.poke(0x1234, 1);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    int32_t bytes = 0;
    ASSERT_EQ(c_getSWDPPEvents(b.get(), &bytes), 0);
    EXPECT_GT(bytes, 0);
    EXPECT_GE(b->channels[0].nEvents, 1u);
    EXPECT_GE(b->channels[2].nEvents, 1u);
}

TEST(SoftwareTriggeredRead, GivesUpWhenTheBoardNeverDelivers) {
    HandBoard b(0x1);
    ZarnSim_SetRate(b.link(), -1, 0);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.poke(0x10A0, 0); /* the channel's run gate closed behind the library's back: no event at all */
    int32_t bytes = -1;
    EXPECT_EQ(c_getSWDPPEvents(b.get(), &bytes), DPPL_ERR_GENERIC);
    EXPECT_EQ(bytes, 0);
}

TEST(StartMode, AFirstTriggerStartSendsOneSoftwareTrigger) {
    HandBoard b(0x1);
    ZarnSim_SetRate(b.link(), -1, 0);
    b.poke(0x1034, 1);
    EXPECT_EQ(c_sendswstart(b.get()), DPPL_ERR_PARAMETER); /* no start mode */
    EXPECT_EQ(c_sendswstop(b.get()), DPPL_ERR_PARAMETER);
    c_Parameter_t* mode = b.board(DPPL_PARAM_STARTMODE, 1);
    mode->type = C_PARAM_TYPE_LIST;
    mode->count = 2;
    mode->values[0].value = 0;
    strcpy(mode->values[0].codename, "START_MODE_SW");
    mode->values[1].value = 1;
    strcpy(mode->values[1].codename, "START_MODE_FIRST_TRG");
    EXPECT_EQ(c_sendswstart(b.get()), DPPL_ERR_PARAMETER); /* no trigger-at-start parameter */
    b.board(DPPL_PARAM_SW_TRG_AT_START, 1);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    ASSERT_EQ(c_sendswstart(b.get()), 0);
    EXPECT_EQ(c_sendswstop(b.get()), 0);
    ASSERT_EQ(c_getDPPEvents(b.get(), NULL), 0);
    EXPECT_EQ(b->channels[0].nEvents, 1u);

    mode->value = 0; /* software start: nothing to send */
    ASSERT_EQ(c_sendswstart(b.get()), 0);
    ASSERT_EQ(c_getDPPEvents(b.get(), NULL), 0);
    EXPECT_EQ(b->channels[0].nEvents, 0u);
}

TEST(RealAndDeadTime, ComeFromTheChannelCountersOfThePulseHeightBoard) {
    HandBoard b;
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(10 * kMs);
    uint64_t real = 0, dead = 0;
    ASSERT_EQ(c_getRealtimeAndDeadtime(b.get(), 1, &real, &dead), 0);
    EXPECT_EQ(real, 10000000u); /* ns */
    EXPECT_GT(dead, 0u);
    EXPECT_LT(dead, real);
    ASSERT_EQ(c_getRealtimeAndDeadtime(b.get(), 1, &real, &dead), 0);
    EXPECT_EQ(real, 0u); /* the counters restart at every read */

    EXPECT_EQ(c_getRealtimeAndDeadtime(b.get(), 8, &real, &dead), DPPL_ERR_INVALID_CHANNEL);
    b->descriptor.DPPMinorRev = 64;
    EXPECT_EQ(c_getRealtimeAndDeadtime(b.get(), 1, &real, &dead), DPPL_ERR_NOT_SUPPORTED);
    b->descriptor.DPPMinorRev = 70;
    b->descriptor.DPPCode = 139;
    EXPECT_EQ(c_getRealtimeAndDeadtime(b.get(), 1, &real, &dead), DPPL_ERR_NOT_SUPPORTED);
    b->descriptor.DPPCode = 128;
}

} // namespace
