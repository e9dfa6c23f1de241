// The starts and stops that the board thread runs. The commands that ask
// for them are in SRV_AcquisitionCommands, the run files in SRV_RunFiles.
#include "SRV_AcquisitionControl.h"

#include <cstdio>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_EventProcessing.h"
#include "SRV_GainStabilizer.h"
#include "SRV_List.h"
#include "SRV_RunFailures.h"
#include "SRV_SCACounters.h"
#include "SRV_Spectra.h"
#include "SRV_Waveforms.h"

// The starts and stops run on the board thread and log with it.
static const c_LogModule_t THREAD_LOG_MODULE = {"SRVBoardThreadLog.txt", "SRVBoardThread"};
static const c_LogModule_t COMMON_LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

static const uint32_t ALL_CHANNELS = 0xFFFFFFFFu;
// MCS states that the starts and stops set.
static const uint32_t MCS_STATE_RUNNING = 1;
static const uint32_t MCS_STATE_STOPPED = 3;

// The list-mode bit of a channel.
static uint32_t channelBit(uint32_t channel) { return 1u << (channel % 32); }

// What bounds a stop's drain of a board that never empties: it reads for at
// most this long, and at most this many reads.
static const uint64_t STOP_DRAIN_MS = 5000;
static const uint32_t STOP_DRAIN_READS = 1000000;
// A channel stop's drain ends after this many reads in a row that brought
// nothing of the channel (the others go on filling the board).
static const uint32_t CHANNEL_DRAIN_QUIET_READS = 2;

// ------------------------------------------------ steps of the starts

static void resetSCACounters(SRVBoard_t* board, uint32_t channel, uint64_t now) {
    if (SRV_ResetSCACounters(board, channel, now) != SRV_SUCCESS)
        c_extendedLogMsg(&THREAD_LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__,
                         "Can't reset SCA counters. Assuming not supported by the digitizer. Going on.");
}

// Resets the gain stabiliser of the spectrum and applies its correction.
static void restartGainStabilizer(SRVBoard_t* board, SRVEnergySpectrum_t* spectrum) {
    SRV_ResetGainStabilizer(&spectrum->gainStabilizer);
    SRV_ApplyGainCorrection(board, &spectrum->gainStabilizer);
}

static uint32_t spectrumCount(const SRVChannel_t* channel) {
    return channel->energySpectrumCount < SRV_MAX_ENERGY_SPECTRA ? channel->energySpectrumCount
                                                                 : SRV_MAX_ENERGY_SPECTRA;
}

static void setMCSState(SRVChannel_t* channel, uint32_t state, bool firstPass) {
    for (SRVMCSSpectrum_t& mcs : channel->mcsSpectra) {
        mcs.state = state;
        if (firstPass)
            mcs.pass = 1;
    }
}

void SRV_SetIdle(SRVBoard_t* board, bool idle) {
    c_condition_lock(&board->idleCondition);
    board->idle = idle ? 1 : 0;
    c_condition_broadcast(&board->idleCondition);
    c_condition_unlock(&board->idleCondition);
}

SRVStatus_t SRV_UpdateAcqRunning(SRVBoard_t* board) {
    c_Parameter_t* running = c_pfind(&board->digitizer, DPPL_PARAM_ACQRUNNING);
    if (running == NULL) {
        c_extendedLogMsg(&THREAD_LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__,
                         "Can't find DPPL_PARAM_ACQRUNNING.");
        return SRV_ERR_OPEN_DIGITIZER;
    }
    // A board that keeps it in a register reports it itself.
    if (running->regaddr != 0)
        return SRV_SUCCESS;
    running->value = board->digitizer.acqStatus == ACQSTATUS_RUNNING ? 1.0 : 0.0;
    return SRV_SUCCESS;
}

SRVStatus_t readoutFcn(SRVBoard_t* board) {
    c_Digitizer_t* digitizer = &board->digitizer;
    if (digitizer->acqStatus > ACQSTATUS_STOPPED) {
        int32_t bytes = 0;
        int result = c_getDPPEvents(digitizer, &bytes);
        if (result != 0) {
            c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Data Error (%i).", result);
            // A replay's only source is its file: a read that fails has met
            // a damaged record of it (one the reader or the walk refused).
            return digitizer->replay ? SRV_ERR_FILE_READ : SRV_ERR_INVALID_COMMAND;
        }
        if (bytes > 0)
            digitizer->bytesTotal += static_cast<uint32_t>(bytes);
        return SRV_SUCCESS;
    }
    for (c_ChannelRecord_t& channel : digitizer->channels)
        channel.nEvents = 0;
    return SRV_SUCCESS;
}

// ------------------------------------------------------ the stop's drain

// Whether the read just made leaves nothing on the board of what the stop
// stopped: the board (channel < 0) when the read brought nothing; one channel
// when the board brought nothing at all, or nothing of that channel in
// CHANNEL_DRAIN_QUIET_READS reads in a row that each took less than half the
// readout buffer. The board hands its memory out in the order it was filled,
// so a read that did not fill the buffer found the memory emptied of
// everything stored before it, the stopped channel's last aggregates
// included; a full read of other channels' data proves nothing by its size
// (see ChannelDrain for what proves it then).
static bool drainedOf(const c_Digitizer_t* digitizer, int32_t channel, uint32_t* quietReads) {
    const c_ReadoutBuffer_t& read = digitizer->roBuffer;
    if (read.ROBytes == 0)
        return true;
    if (channel < 0)
        return false;
    bool boardEmptied = uint64_t{read.ROBytes} * 2 < read.ROAllocSize;
    *quietReads = digitizer->channels[channel].nEvents == 0 && boardEmptied ? *quietReads + 1 : 0;
    return *quietReads >= CHANNEL_DRAIN_QUIET_READS;
}

// A channel stop's drain on a board the other channels keep full: every read
// is full, yet the stopped channel's last aggregate, closed by the stop's
// flush, lies in the memory ahead of everything stored after the flush. An
// event stamped later than the board's time at the end of the first read
// after the flush was stored after that read: by then the flush had closed
// every partial aggregate and that read had formed them into the memory's
// queue, so it comes out after all of them and nothing of the channel is
// left. The board's time is bounded from the host's clock since the start
// that set the board's clock going (its time stamps count from that start),
// with room for a board clock a little fast and for the host clock's
// millisecond; a channel's time offset is taken off its stamps.
struct ChannelDrain {
    uint64_t storedAfterPs = UINT64_MAX; // no bound: only an empty board ends the drain

    void boundBoardTime(const SRVBoard_t* board) {
        if (board->clockStartTime == 0)
            return;
        uint64_t elapsedMs = c_get_time() - board->clockStartTime + 2;
        storedAfterPs = (elapsedMs + elapsedMs / 1000) * 1000000000ull;
    }

    bool storedAfterTheFlush(const c_Digitizer_t* digitizer, int32_t stopped) const {
        const uint32_t notPulses = EVTFLAG_PSEUDO | EVTFLAG_MCS | EVTFLAG_END_OF_RUN;
        for (int32_t channel = 0; channel < DPPL_MAX_CHANNELS; channel++) {
            const c_ChannelRecord_t& record = digitizer->channels[channel];
            if (channel == stopped || record.nEvents == 0)
                continue;
            // The last event of a read is the channel's latest.
            const c_DPPEvent_t& event = record.events[record.nEvents - 1];
            if ((event.flags & notPulses) != 0 || event.specialFlag != 0)
                continue;
            int64_t boardPs = static_cast<int64_t>(event.timeStamp - record.readCache.timeOffsetPs);
            if (boardPs > 0 && static_cast<uint64_t>(boardPs) > storedAfterPs)
                return true;
        }
        return false;
    }
};

// The reads of a stop after the library's own one: the board (channel < 0)
// or one channel is read until the board holds nothing more of it, each read
// consumed as a cycle by the channels of the mask (those that acquired before
// the stop), so that what they acquired reaches their spectra, list files
// and the raw-data file before the stop closes them. A replay has no board
// memory to empty: its file goes on where the stop left it, unless the stop
// is the replay of a recorded one (replayRecordedStop), which reads the file
// on as the live stop read the board.
static void drainAfterStop(SRVBoard_t* board, uint64_t channelMask, int32_t channel, bool recordedStop = false) {
    c_Digitizer_t* digitizer = &board->digitizer;
    if (digitizer->replay && !recordedStop)
        return;
    uint32_t quietReads = 0;
    ChannelDrain channelDrain;
    if (channel >= 0)
        c_sendFlush(digitizer); // the channel's partial aggregate goes out now (refused: it comes when full)
    else if (drainedOf(digitizer, channel, &quietReads))
        return;
    const uint64_t deadline = c_get_time() + STOP_DRAIN_MS;
    for (uint32_t reads = 0;; reads++) {
        if (reads >= STOP_DRAIN_READS || c_get_time() > deadline) {
            c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__,
                             "The board still holds data after %u reads of the stop (%llu ms): the rest is left.",
                             reads, static_cast<unsigned long long>(STOP_DRAIN_MS));
            return;
        }
        SRV_DiscardDecodedEvents(board);
        int32_t bytes = 0;
        int result = c_getDPPEvents(digitizer, &bytes);
        if (result != 0 && digitizer->replay) {
            SRV_NoteDamagedReplayRead(board); // the record alone is lost: read on
            continue;
        }
        if (result != 0) {
            c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__,
                             "Data Error (%i) reading the board after the stop: the rest is left.", result);
            SRV_DiscardDecodedEvents(board);
            return;
        }
        if (channel >= 0 && reads == 0)
            channelDrain.boundBoardTime(board);
        if (bytes > 0)
            digitizer->bytesTotal += static_cast<uint32_t>(bytes);
        SRV_ProcessStopDrain(board, channelMask);
        if (drainedOf(digitizer, channel, &quietReads))
            return;
        if (channel >= 0 && reads > 0 && channelDrain.storedAfterTheFlush(digitizer, channel))
            return;
    }
}

// A replay stopped with a stop criterion reached replays a run that the
// criterion ended: the live run's stop came in the cycle of the criterion's
// read and read the board until it was empty, and the recording holds those
// reads; they are the rest of the file. They are consumed as the live stop's
// drain consumed them, before the library's stop rewinds the file, so that
// every channel's spectrum, list and MCS get what the live run gave them.
// (A stop by command meets no criterion: the replay ends where it is.)
static void replayRecordedStop(SRVBoard_t* board, uint64_t acquiring) {
    if (!board->digitizer.replay || acquiring == 0 || !SRV_StopCriterionReached(board, acquiring))
        return;
    drainAfterStop(board, acquiring, -1, true);
    SRV_DiscardDecodedEvents(board); // consumed: the stop's own processing must not take them again
}

// ---------------------------------------------------- board start and stop

// What a start does for one channel once the library has started it.
static void resetChannelForStart(SRVBoard_t* board, uint32_t channel, uint64_t now) {
    SRVChannel_t* server = &board->channels[channel];
    SRV_ClearWaveform(server->waveform);
    server->boardTimeMissing = 0;
    server->lastEventTime = now;
    for (uint32_t es = 0; es < spectrumCount(server); es++) {
        server->energySpectra[es].periodStart = now;
        SRV_SetSpectrumStartTime(&server->energySpectra[es]);
    }
    resetSCACounters(board, channel, now);
    server->scaTime = now;
}

// A board start that failed once the library was asked to start: the board
// is stopped again, with its list files and raw-data file closed and the
// board thread idle, so that nothing acquires unread. The start's failure is
// the result.
static SRVStatus_t failBoardStart(SRVBoard_t* board, SRVStatus_t status) {
    c_extendedLogMsg(&THREAD_LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                     "Acquisition start failed (%i): stopping the board again.", status);
    SRV_StopAcquisition(board);
    return status;
}

SRVStatus_t SRV_StartAcquisition(SRVBoard_t* board) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Starting Acquisition...");
    if (board->clockStartTime == 0)
        board->clockStartTime = c_get_time();
    board->replayDamageKept = 0;
    int result = c_bcalib(digitizer);
    if (result != 0)
        c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_WARNING, __LINE__,
                         "Can't calibrate the board (%i). Assuming board doesn't require it.", result);
    result = c_bstarta(digitizer);
    if (result != 0) {
        c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__,
                         "DPPLayer error (%i) starting Acquisition.", result);
        return failBoardStart(board, SRV_ERR_LIBRARY);
    }
    SRVStatus_t status = SRV_HandleListSaving(board, ALL_CHANNELS, SRV_LIST_ACTION_START);
    if (status != SRV_SUCCESS)
        return failBoardStart(board, status);
    uint64_t now = c_get_time();
    board->lastEventTime = now;
    for (uint32_t channel = 0; channel < SRV_ChannelCount(board); channel++) {
        SRVChannel_t* server = &board->channels[channel];
        resetChannelForStart(board, channel, now);
        setMCSState(server, MCS_STATE_RUNNING, true);
        for (uint32_t es = 0; es < spectrumCount(server); es++) {
            restartGainStabilizer(board, &server->energySpectra[es]);
            server->energySpectra[es].gainStabilizer.lastUpdate = now;
        }
    }
    status = SRV_UpdateAcqRunning(board);
    if (status != SRV_SUCCESS)
        return failBoardStart(board, status);
    c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Acquisition started.");
    return SRV_SUCCESS;
}

// A channel start that failed: the channel is stopped again when the library
// left it acquiring. The start's failure is the result.
static SRVStatus_t failChannelStart(SRVBoard_t* board, uint32_t channel, SRVStatus_t status) {
    if (SRV_IsAcquiring(board->digitizer.channels[channel].acqStatus)) {
        c_extendedLogMsg(&THREAD_LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Acquisition start of channel '%u' failed (%i): stopping it again.", channel, status);
        SRV_StopChannelAcquisition(board, channel);
    }
    return status;
}

SRVStatus_t SRV_StartChannelAcquisition(SRVBoard_t* board, uint32_t channel) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Starting Acquisition for channel '%u'...",
                     channel);
    if (channel >= SRV_ChannelCount(board))
        return SRV_ERR_UNSUPPORTED;
    SRVChannel_t* server = &board->channels[channel];
    setMCSState(server, MCS_STATE_RUNNING, true);
    for (uint32_t es = 0; es < spectrumCount(server); es++)
        restartGainStabilizer(board, &server->energySpectra[es]);
    if (board->clockStartTime == 0)
        board->clockStartTime = c_get_time();
    int result = c_cstarta(digitizer, static_cast<int32_t>(channel));
    if (result != 0) {
        c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error (%i) starting acquisition.",
                         result);
        return failChannelStart(board, channel, SRV_ERR_LIBRARY);
    }
    SRVStatus_t status = SRV_HandleListSaving(board, channelBit(channel), SRV_LIST_ACTION_START);
    if (status != SRV_SUCCESS)
        return failChannelStart(board, channel, status);
    uint64_t now = c_get_time();
    board->lastEventTime = now;
    for (uint32_t es = 0; es < spectrumCount(server); es++)
        server->energySpectra[es].gainStabilizer.lastUpdate = now;
    resetChannelForStart(board, channel, now);
    status = SRV_UpdateAcqRunning(board);
    if (status != SRV_SUCCESS)
        return failChannelStart(board, channel, status);
    c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Acquisition for channel '%u' started.",
                     channel);
    return SRV_SUCCESS;
}

static void setStopTimes(SRVChannel_t* server) {
    for (uint32_t es = 0; es < spectrumCount(server); es++)
        SRV_SetSpectrumStopTime(&server->energySpectra[es]);
}

SRVStatus_t SRV_EndRawDataRecording(SRVBoard_t* board) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_ROBuffDumper_t* writer = &digitizer->writer;
    digitizer->dumpEnabled = 0;
    // The close also reports a write that failed during the run: the
    // recording then misses what came after it.
    if (c_bdopened(writer) && c_bdclose(writer) != 0) {
        const int nameLength = static_cast<int>(strnlen(writer->fileName, sizeof writer->fileName));
        const char* reason = writer->writeErrno != 0 ? std::strerror(writer->writeErrno) : "short write";
        c_extendedLogMsg(&COMMON_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__,
                         "Can't close buffer dumper. %.*s is incomplete: %s.", nameLength, writer->fileName, reason);
        char path[SRV_PATH_SIZE];
        char text[SRV_FAILURE_TEXT_SIZE];
        std::snprintf(path, sizeof path, "%.*s", nameLength, writer->fileName);
        std::snprintf(text, sizeof text, "is incomplete: %s", reason);
        SRV_KeepRunFailure(&board->runFailures, SRV_RUN_FAILURE_RECORDING, SRV_ERR_DUMPER_CLOSE, path, text);
        return SRV_ERR_DUMPER_CLOSE;
    }
    return SRV_SUCCESS;
}

// A stop the library refused: the board's last events may not have been
// read, which no reply of an unasked stop would tell.
static void keepLibraryStopFailure(SRVBoard_t* board, const char* what, int result) {
    char text[SRV_FAILURE_TEXT_SIZE];
    std::snprintf(text, sizeof text, "the library refused %s (error %i): its last events may not have been read", what,
                  result);
    SRV_KeepRunFailure(&board->runFailures, SRV_RUN_FAILURE_STOP, SRV_ERR_LIBRARY, NULL, text);
}

// Keeps the first failure of a sequence of steps that all run.
static void keepFirstFailure(SRVStatus_t* first, SRVStatus_t status) {
    if (*first == SRV_SUCCESS)
        *first = status;
}

SRVStatus_t SRV_StopAcquisition(SRVBoard_t* board) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Stopping Acquisition...");
    // The library's stop reads the board once; the stop reads on until the
    // board is empty: those are the last events of the run, which the
    // raw-data file holds too.
    uint64_t acquiring = SRV_AcquiringChannels(board);
    SRV_DiscardDecodedEvents(board);
    replayRecordedStop(board, acquiring);
    int result = c_bstopa(digitizer);
    SRVStatus_t status = SRV_SUCCESS;
    if (result != 0) {
        c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error (%i) stopping acquisition.",
                         result);
        keepLibraryStopFailure(board, "the board's stop", result);
        if (digitizer->acqStatus != ACQSTATUS_STOPPED)
            return SRV_ERR_LIBRARY;
        status = SRV_ERR_LIBRARY;
    }
    // The library leaves the board stopped whatever happened: every step of
    // the stop runs, so that no buffered event is left unwritten, no file
    // open and the board thread goes idle. The first failure is reported.
    keepFirstFailure(&status, SRV_UpdateAcqRunning(board));
    SRV_ProcessStopDrain(board, acquiring);
    drainAfterStop(board, acquiring, -1);
    board->clockStartTime = 0; // the next start sets the board's clock going again
    for (uint32_t channel = 0; channel < SRV_ChannelCount(board); channel++)
        setStopTimes(&board->channels[channel]);
    keepFirstFailure(&status, SRV_HandleListSaving(board, ALL_CHANNELS, SRV_LIST_ACTION_STOP));
    keepFirstFailure(&status, SRV_EndRawDataRecording(board));
    for (uint32_t channel = 0; channel < SRV_ChannelCount(board); channel++)
        setMCSState(&board->channels[channel], MCS_STATE_STOPPED, false);
    SRV_SetIdle(board, true);
    if (status == SRV_SUCCESS)
        c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Acquisition stopped.");
    return status;
}

SRVStatus_t SRV_StopChannelAcquisition(SRVBoard_t* board, uint32_t channel) {
    c_Digitizer_t* digitizer = &board->digitizer;
    c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Stopping Acquisition for channel '%u'...",
                     channel);
    if (channel >= SRV_ChannelCount(board))
        return SRV_ERR_UNSUPPORTED;
    // The channel stop reads the board until it holds nothing more of the
    // channel; the channels that acquired consume those reads, this one
    // included.
    uint64_t acquiring = SRV_AcquiringChannels(board);
    SRV_DiscardDecodedEvents(board);
    int result = c_cstopa(digitizer, static_cast<int32_t>(channel));
    if (result != 0) {
        c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error stopping acquisition.");
        char what[64];
        std::snprintf(what, sizeof what, "the stop of channel %u", channel);
        keepLibraryStopFailure(board, what, result);
        return SRV_ERR_LIBRARY;
    }
    SRVStatus_t status = SRV_UpdateAcqRunning(board);
    SRV_ProcessStopDrain(board, acquiring);
    drainAfterStop(board, acquiring, static_cast<int32_t>(channel));
    SRVChannel_t* server = &board->channels[channel];
    setStopTimes(server);
    keepFirstFailure(&status, SRV_HandleListSaving(board, channelBit(channel), SRV_LIST_ACTION_STOP));
    setMCSState(server, MCS_STATE_STOPPED, false);
    SRV_SetIdle(board, !SRV_IsAcquiring(digitizer->acqStatus));
    if (status == SRV_SUCCESS)
        c_extendedLogMsg(&THREAD_LOG_MODULE, digitizer, C_LOG_INFO, __LINE__, "Acquisition for channel '%u' stopped.",
                         channel);
    return status;
}

// ------------------------------------------- failures of unasked stops

void SRV_NoteDamagedReplayRead(SRVBoard_t* board) {
    if (board->replayDamageKept)
        return;
    board->replayDamageKept = 1;
    const c_ROBuffDumper_t* reader = &board->digitizer.reader;
    char path[SRV_PATH_SIZE];
    std::snprintf(path, sizeof path, "%.*s", static_cast<int>(strnlen(reader->fileName, sizeof reader->fileName)),
                  reader->fileName);
    c_extendedLogMsg(&THREAD_LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                     "The replayed file %s has damaged data records: the replay skips each, or ends at one "
                     "that loses the framing (ZarnROBuffDumperLog.txt names them).",
                     path);
    // The replayed file's damage costs the server nothing of its own.
    SRV_KeepRunFailure(&board->runFailures, SRV_RUN_FAILURE_REPLAY, SRV_ERR_FILE_READ, path,
                       "damaged data records of the replayed file");
}

SRVStatus_t SRV_TakeStopFailure(SRVBoard_t* board, uint16_t command) {
    SRVRunFailure_t taken;
    if (!SRV_TakeRunFailure(&board->runFailures, &taken))
        return SRV_SUCCESS;
    char description[SRV_PATH_SIZE + SRV_FAILURE_TEXT_SIZE + 32];
    SRV_DescribeRunFailure(&taken, description, sizeof description);
    c_extendedLogMsg(&THREAD_LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                     "Command %u answers the failure (%i) of the run: %s.", command, taken.failure.status, description);
    return taken.failure.status;
}
