/* Acquisition control on the simulated board: the status fold, board and
 * channel starts, pauses and stops in both forms, board commands and the
 * register-level device's commands. */
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "AcqSupport.h"
#include "ZarnComm.h"

using namespace acqtest;

namespace {

constexpr uint32_t kAcqControl = 0x8100;

bool boardRuns(const HandBoard& b) { return (b.peek(kAcqControl) & 0x4) != 0; }
uint32_t runGate(const HandBoard& b, uint32_t ch) { return b.peek(0x10A0 | (ch << 8)) & 1u; }

TEST(StatusFold, PriorityRunningPausingStoppingPausedStopped) {
    struct Case {
        int32_t a, b, folded;
    } cases[] = {
        {ACQSTATUS_PAUSED, ACQSTATUS_STOPPING, ACQSTATUS_STOPPING},
        {ACQSTATUS_STOPPING, ACQSTATUS_PAUSED, ACQSTATUS_STOPPING},
        {ACQSTATUS_RUNNING, ACQSTATUS_PAUSING, ACQSTATUS_RUNNING},
        {ACQSTATUS_PAUSING, ACQSTATUS_STOPPING, ACQSTATUS_PAUSING},
        {ACQSTATUS_STOPPED, ACQSTATUS_PAUSED, ACQSTATUS_PAUSED},
        {ACQSTATUS_STOPPED, ACQSTATUS_STOPPED, ACQSTATUS_STOPPED},
        {ACQSTATUS_UNDETERMINED, ACQSTATUS_STOPPED, ACQSTATUS_STOPPED},
        {9, ACQSTATUS_RUNNING, ACQSTATUS_RUNNING},
        {ACQSTATUS_UNDETERMINED, ACQSTATUS_UNDETERMINED, ACQSTATUS_UNDETERMINED},
        {-1, 7, ACQSTATUS_UNDETERMINED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(_foldAcqStatus(NULL, c.a, c.b), c.folded) << c.a << " " << c.b;
}

TEST(StatusSetters, DisabledChannelsStayStoppedAndTheBoardFolds) {
    HandBoard b(0xFF & ~(1u << 2));
    _setAcqStatus(b.get(), ACQSTATUS_PAUSING);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_PAUSING);
    EXPECT_EQ(b->channels[0].acqStatus, ACQSTATUS_PAUSING);
    EXPECT_EQ(b->channels[2].acqStatus, ACQSTATUS_STOPPED);
    _setChannelAcqStatus(b.get(), 0, ACQSTATUS_STOPPING);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_PAUSING); /* the other channels still pausing */
    _setAcqStatus(b.get(), ACQSTATUS_STOPPED);
    _setChannelAcqStatus(b.get(), 2, ACQSTATUS_RUNNING); /* disabled: stays stopped, the fold starts from RUNNING */
    EXPECT_EQ(b->channels[2].acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_RUNNING);
}

TEST(BoardStart, StartingTwiceStillResetsTheTimeTagStateAndTheStatuses) {
    HandBoard b;
    ASSERT_EQ(c_bstarta(b.get()), 0);
    EXPECT_TRUE(boardRuns(b));
    EXPECT_EQ(runGate(b, 3), 1u);
    b->channels[3].rollOver1 = 4;
    b->channels[3].lastRawTimeTag = 99;
    b->channels[3].endOfRun = 2;
    b->channels[3].acqStatus = ACQSTATUS_PAUSED;
    b->maxTimeStamp = 1234;
    ASSERT_EQ(c_bstarta(b.get()), 0); /* "already running": a warning */
    EXPECT_EQ(b->channels[3].rollOver1, 0u);
    EXPECT_EQ(b->channels[3].lastRawTimeTag, 0u);
    EXPECT_EQ(b->channels[3].endOfRun, 0);
    EXPECT_EQ(b->maxTimeStamp, 0u);
    EXPECT_EQ(b->channels[3].acqStatus, ACQSTATUS_RUNNING);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_RUNNING);
}

TEST(ChannelStart, ADisabledChannelStartsTheBoardButStaysStopped) {
    HandBoard b(0xFF & ~(1u << 3));
    ASSERT_EQ(c_cstarta(b.get(), 3), 0);
    EXPECT_TRUE(boardRuns(b));
    EXPECT_EQ(b->channels[3].acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_RUNNING);
    EXPECT_EQ(c_cstarta(b.get(), 8), DPPL_ERR_INVALID_CHANNEL);
    EXPECT_EQ(c_cstarta(b.get(), -1), DPPL_ERR_INVALID_CHANNEL);
}

TEST(ChannelStop, ClearsOnlyItsRunGateUntilTheLastRunningChannelStopsTheBoard) {
    HandBoard b(0x3); /* channels 0 and 1 */
    ASSERT_EQ(c_bstarta(b.get()), 0);
    ASSERT_EQ(c_cstopa(b.get(), 1), 0);
    EXPECT_EQ(runGate(b, 1), 0u);
    EXPECT_EQ(runGate(b, 0), 1u);
    EXPECT_TRUE(boardRuns(b));
    EXPECT_EQ(b->channels[1].acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_RUNNING);
    EXPECT_EQ(c_cstopa(b.get(), 1), 0); /* already stopped: a warning */

    ASSERT_EQ(c_cstopas(b.get(), 0), 0);
    EXPECT_FALSE(boardRuns(b));
    EXPECT_EQ(runGate(b, 0), 0u);
    EXPECT_EQ(b->channels[0].acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_STOPPED);
}

TEST(ChannelStop, WithoutRunGatesASingleChannelCannotStop) {
    HandBoard b(0x3);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    c_Parameter_t* gate = _pretrieve(b->channels[1].coll, DPPL_PARAM_CH_ACQ_RUN);
    b->channels[1].coll->items[DPPL_PARAM_CH_ACQ_RUN - b->channels[1].coll->firstCode] = NULL;
    EXPECT_EQ(c_cpauseas(b.get(), 1), DPPL_ERR_DIGITIZER_API);
    EXPECT_EQ(_stopSingleChannel(b.get(), 1), DPPL_ERR_NOT_SUPPORTED);
    EXPECT_TRUE(boardRuns(b));
    c_pdelete(gate);
}

TEST(AcquisitionLogging, AFailureIsLoggedByEveryFunctionItPassesThrough) {
    const std::string layer = "ZarnDPPLayerLog.txt", board = "ZarnBoard_GENERICLog.txt";
    LogCapture log;
    HandBoard b(0x3);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    c_Parameter_t* gate = _pretrieve(b->channels[1].coll, DPPL_PARAM_CH_ACQ_RUN);
    b->channels[1].coll->items[DPPL_PARAM_CH_ACQ_RUN - b->channels[1].coll->firstCode] = NULL;
    EXPECT_EQ(c_cstopas(b.get(), 1), DPPL_ERR_DIGITIZER_API);
    EXPECT_TRUE(log.has(board, "Single channel pause/stop not supported."));
    EXPECT_TRUE(log.has(layer, "Error in ZARN_DGTZ_SWStopAcquisition: -42"));
    EXPECT_TRUE(log.has(layer, "From c_cpauseas: "));
    EXPECT_TRUE(log.has(layer, "From c_cstopas: "));
    c_pdelete(gate);

    /* A board stop that fails: the pause and its draining form both log it. */
    b->kind = DGTZ_KIND_GEN2_REPLAY;
    EXPECT_EQ(c_bpausea(b.get()), DPPL_ERR_DIGITIZER_API);
    b->kind = DGTZ_KIND_OPEN;
    EXPECT_TRUE(log.has(board, "Error stopping acquisition: -42"));
    EXPECT_TRUE(log.has(board, "From _stopBoardAcquisition: "));
    EXPECT_TRUE(log.has(layer, "From c_bpauseas: "));
    EXPECT_TRUE(log.has(layer, "From c_bpausea: "));
}

TEST(BoardStop, TheAsFormsWaitForTheNextSuccessfulRead) {
    HandBoard b;
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(3000000);
    ASSERT_EQ(c_bstopas(b.get()), 0);
    EXPECT_FALSE(boardRuns(b));
    EXPECT_EQ(b->acqStatus, ACQSTATUS_STOPPING);
    EXPECT_EQ(b->channels[0].acqStatus, ACQSTATUS_STOPPING);
    /* A failed read completes nothing. */
    ASSERT_EQ(ZarnSim_CutNextBlockRead(b.link(), 0, ZARN_COMM_CommError), 0);
    EXPECT_EQ(c_getDPPEvents(b.get(), NULL), DPPL_ERR_READ_DATA);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_STOPPING);
    int32_t bytes = 0;
    ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
    EXPECT_GT(bytes, 0);           /* the stop closed the partial aggregates */
    EXPECT_GT(b.eventsRead(), 0u); /* and the drain delivers them, run gates closed or not */
    EXPECT_EQ(b->acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(b->channels[0].acqStatus, ACQSTATUS_STOPPED);

    /* Pausing likewise, completed by a read that brings nothing. */
    ASSERT_EQ(c_bstarta(b.get()), 0);
    ASSERT_EQ(c_bpauseas(b.get()), 0);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_PAUSING);
    ASSERT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_PAUSED);
    EXPECT_EQ(c_bstopas(b.get()), 0); /* already paused: a warning */
}

TEST(BoardStop, ThePlainFormsDrainTheBoard) {
    HandBoard b;
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(5000000); /* about 5 events a channel: no aggregate is full yet */
    ASSERT_EQ(c_bstopa(b.get()), 0);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_STOPPED);
    uint32_t delivered = 0;
    uint64_t generated = 0;
    for (uint32_t ch = 0; ch < 8; ++ch) {
        EXPECT_EQ(b->channels[ch].acqStatus, ACQSTATUS_STOPPED);
        EXPECT_EQ(runGate(b, ch), 0u);
        delivered += b->channels[ch].nEvents;
        generated += b.generated(ch);
    }
    EXPECT_GT(delivered, 0u);
    EXPECT_EQ(delivered, generated);

    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(2000000);
    ASSERT_EQ(c_bpausea(b.get()), 0);
    EXPECT_EQ(b->acqStatus, ACQSTATUS_PAUSED);
    EXPECT_GT(b.eventsRead(), 0u);
}

/* Events delivered by reads until one brings nothing, per channel. */
std::vector<uint64_t> readUntilEmpty(HandBoard& b, int maxReads = 10000) {
    std::vector<uint64_t> delivered(8, 0);
    for (int read = 0; read < maxReads; ++read) {
        int32_t bytes = 0;
        EXPECT_EQ(c_getDPPEvents(b.get(), &bytes), 0);
        if (bytes == 0)
            break;
        for (uint32_t ch = 0; ch < 8; ++ch)
            delivered[ch] += b->channels[ch].nEvents;
    }
    return delivered;
}

TEST(BoardStop, WhatTheBoardHoldsBeyondTheStopsReadIsDeliveredByTheNextReads) {
    HandBoard b;
    ASSERT_EQ(ZarnSim_SetRate(b.link(), -1, 1e6), 0);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(5000000); /* about 5000 events a channel: many reads' worth */
    ASSERT_EQ(c_bstopa(b.get()), 0);
    std::vector<uint64_t> delivered(8, 0);
    for (uint32_t ch = 0; ch < 8; ++ch)
        delivered[ch] = b->channels[ch].nEvents;
    std::vector<uint64_t> later = readUntilEmpty(b);
    for (uint32_t ch = 0; ch < 8; ++ch) {
        EXPECT_GT(later[ch], 0u) << "channel " << ch; /* more than the stop's read held */
        EXPECT_EQ(delivered[ch] + later[ch], b.generated(ch)) << "channel " << ch;
    }
}

TEST(ChannelStop, TheChannelsLaterDataIsDeliveredUntilItStartsAgain) {
    HandBoard b(0x3);
    ASSERT_EQ(ZarnSim_SetRate(b.link(), -1, 1e6), 0);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b.advance(3000000);
    ASSERT_EQ(c_cstopa(b.get(), 1), 0);
    uint64_t stopped = b->channels[1].nEvents;
    ASSERT_EQ(c_sendFlush(b.get()), 0); /* its partial aggregate too */
    stopped += readUntilEmpty(b)[1];
    EXPECT_EQ(stopped, b.generated(1)); /* channel 0 still runs, on the manual clock */

    /* Started again, a channel whose run gate is closed delivers nothing. */
    ASSERT_EQ(c_cstarta(b.get(), 1), 0);
    b.advance(2000000);
    c_Parameter_t* gate = _pretrieve(b->channels[1].coll, DPPL_PARAM_CH_ACQ_RUN);
    ASSERT_NE(gate, nullptr);
    gate->value = 0.0;
    ASSERT_EQ(c_sendFlush(b.get()), 0);
    EXPECT_EQ(readUntilEmpty(b)[1], 0u);
}

TEST(BoardCommands, ResetClearCalibrationAndAcquisitionReset) {
    HandBoard b;
    EXPECT_EQ(c_bdclear(b.get()), 0);
    EXPECT_EQ(c_breset(b.get()), 0);
    EXPECT_EQ(c_bcalib(b.get()), 0);
    ASSERT_EQ(c_bstarta(b.get()), 0);
    b->idleFlush = 0;
    b->bytesTotal = 77;
    ASSERT_EQ(c_bfreset(b.get()), 0);
    EXPECT_FALSE(boardRuns(b));
    EXPECT_EQ(b->acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(b->channels[5].acqStatus, ACQSTATUS_STOPPED);
    EXPECT_EQ(b->idleFlush, 1);
    EXPECT_EQ(b->bytesTotal, 0u);

    c_Digitizer_t closed;
    _resetDgtz(&closed);
    EXPECT_EQ(c_bfreset(&closed), DPPL_ERR_DIGITIZER_NOT_OPEN);
    EXPECT_EQ(c_bfreset(NULL), DPPL_ERR_DIGITIZER_NOT_OPEN);
    EXPECT_EQ(c_cfreset(&closed, 0), DPPL_ERR_DIGITIZER_NOT_OPEN);
    EXPECT_EQ(c_bstarta(&closed), DPPL_ERR_DIGITIZER_NOT_OPEN);
}

TEST(ChannelReset, ClearsTheTimeTagStateOfAChannelInRange) {
    HandBoard b;
    b->channels[4].rollOver2 = 3;
    b->channels[4].lastExtTimeTag = 8;
    b->channels[4].endOfRun = 2;
    EXPECT_EQ(c_cfreset(b.get(), 4), 0);
    EXPECT_EQ(b->channels[4].rollOver2, 0u);
    EXPECT_EQ(b->channels[4].lastExtTimeTag, 0u);
    EXPECT_EQ(b->channels[4].endOfRun, 0);
    EXPECT_EQ(c_cfreset(b.get(), 8), DPPL_ERR_INVALID_CHANNEL);
    EXPECT_EQ(c_cfreset(b.get(), -1), DPPL_ERR_INVALID_CHANNEL);
}

TEST(DeviceCommands, WriteTheDeviceRegistersAndAreNoOpsElsewhere) {
    HandBoard b;
    EXPECT_EQ(c_cautosetstop(b.get(), 1, 4), 0);
    EXPECT_EQ(c_cautosetstart(b.get(), 2, 9), 0);
    EXPECT_EQ(b.peek(0x8160), 0u);
    EXPECT_EQ(b.peek(0x814C), 0u);

    /* The register-level device, reached through its link. */
    const int zero = 0;
    int32_t link = -1;
    ASSERT_EQ(ZarnComm_OpenLink(0, &zero, 0, 0, &link), 0);
    c_Digitizer_t device;
    _resetDgtz(&device);
    device.kind = DGTZ_KIND_OPEN;
    device.handle = 0;
    device.descriptor.FamilyCode = DPPL_FAMILY_MORVANE;
    device.descriptor.DPPCode = DPPL_DPPCODE_MORVANE;
    device.descriptor.NumChannels = 2;
    device.descriptor.CommHandle = link;
    EXPECT_EQ(c_cautosetstart(&device, 2, 9), 0);
    uint32_t value = 0;
    ASSERT_EQ(ZarnSim_PeekRegister(link, 0x814C, &value), 0);
    EXPECT_EQ(value, 11u); /* (2 | 9) & 0xF */
    EXPECT_EQ(c_cautosetstop(&device, 1, 0x14), 0);
    ASSERT_EQ(ZarnSim_PeekRegister(link, 0x8160, &value), 0);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(c_csampleadvance(&device, 1), 0);
    /* A record whose slot is not in the device table cannot start: the data
     * clear before the start finds no slot (-5). */
    EXPECT_EQ(c_bstarta(&device), -5);
    EXPECT_EQ(c_sendcswtrigger(b.get(), 0), DPPL_ERR_NOT_SUPPORTED); /* not a device */
    ZarnComm_CloseLink(link);
}

} // namespace
