// The board thread: its cycle, idle wait, failure check, and the hand-over
// of start and stop commands from the handlers. The cycle's events are
// processed in SRV_EventProcessing; the starts and stops it runs are in
// SRV_AcquisitionControl.
#include "SRVBoardThread.h"

#include <cstdio>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_AcquisitionControl.h"
#include "SRV_EventProcessing.h"
#include "SRV_RunFailures.h"
#include "SRV_Spectra.h"

static const c_LogModule_t LOG_MODULE = {"SRVBoardThreadLog.txt", "SRVBoardThread"};

// An idle board thread wakes at least this often to look for a pending
// command and a failure status.
static const uint32_t IDLE_WAIT_MS = 100;
// A handler waiting for a hand-over looks this often whether the thread
// still runs.
static const uint32_t HANDOVER_SLICE_MS = 100;
// The first processor a board thread may be given.
static const int FIRST_BOARD_CPU = 2;

static void setThreadRunning(SRVBoard_t* board, bool running) {
    __atomic_store_n(&board->threadRunning, running ? 1 : 0, __ATOMIC_SEQ_CST);
}

bool SRV_IsBoardThreadRunning(const SRVBoard_t* board) {
    return __atomic_load_n(&board->threadRunning, __ATOMIC_SEQ_CST) != 0;
}

// ------------------------------------------------------------------ flags

bool SRV_IsQuitRequested(SRVBoard_t* board) {
    if (c_ticket_lock(&board->flagsLock) != 0)
        return true;
    bool quit = board->quit != 0;
    if (c_ticket_unlock(&board->flagsLock) != 0)
        return true;
    return quit;
}

bool SRV_IsFailureDetected(const SRVBoard_t* board) { return board->digitizer.failStatus != 0; }

void SRV_ClearFailureStatus(SRVBoard_t* board) {
    board->digitizer.failStatus = 0;
    board->digitizer.overTempMask = 0;
}

// ---------------------------------------------------------- lock helpers

static bool lockBoard(SRVBoard_t* board) {
    int result = c_ticket_lock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot lock Mutex (lock ERR %i)",
                         result);
        return false;
    }
    return true;
}

static bool unlockBoard(SRVBoard_t* board) {
    int result = c_ticket_unlock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot unlock Mutex (lock ERR %i)",
                         result);
        return false;
    }
    return true;
}

// ----------------------------------------------------------- the thread

void SRV_BoardThreadErrorRoutine(SRVBoard_t* board) {
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Executing ERROR routine.");
    if (SRV_IsAcquiring(board->digitizer.acqStatus))
        SRV_StopAcquisition(board);
    c_bdclear(&board->digitizer);
}

// Ends the thread after a failure: the error routine, then the board lock
// is released if the thread holds it, so that no handler waits on it.
static void endAfterError(SRVBoard_t* board, bool holdsLock) {
    SRV_BoardThreadErrorRoutine(board);
    setThreadRunning(board, false);
    if (holdsLock)
        unlockBoard(board);
}

// Every channel's energy spectrum goes to the file its path names (a path
// that a client set with command 28 receives it). A file that can't be
// written is kept in the channel's record for the terminal and the exit code.
static void saveEnergySpectra(SRVBoard_t* board) {
    SRVStatus_t status = SRV_SaveEnergySpectra(board);
    if (status != SRV_SUCCESS)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "SaveEnergySpectrum error (%i)",
                         status);
}

// The quit flag was seen: the last cycle under the board lock.
static void exitCycle(SRVBoard_t* board) {
    if (!lockBoard(board)) {
        endAfterError(board, false);
        return;
    }
    // A quit while acquiring stops as a stop command does: the buffered
    // list-mode events are written and the stop times set. Should that stop
    // fail, the library's stop still ends the acquisition. A recording that
    // channel stops left open ends here. What the stop could not complete is
    // kept among the run's failures, which the process's end reports.
    if (board->digitizer.acqStatus != ACQSTATUS_STOPPED) {
        SRVStatus_t stopped = SRV_StopAcquisition(board);
        if (stopped != SRV_SUCCESS && board->digitizer.acqStatus != ACQSTATUS_STOPPED)
            c_bstopa(&board->digitizer);
        if (stopped != SRV_SUCCESS)
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                             "The acquisition's stop at the quit failed (%i).", stopped);
    }
    if (c_bdopened(&board->digitizer.writer))
        SRV_EndRawDataRecording(board);
    c_bdclear(&board->digitizer);
    saveEnergySpectra(board);
    setThreadRunning(board, false);
    unlockBoard(board);
}

static bool isCommandPending(const SRVBoard_t* board) {
    return __atomic_load_n(&board->pending, __ATOMIC_SEQ_CST) != 0;
}

static void setCommandPending(SRVBoard_t* board, bool pending) {
    __atomic_store_n(&board->pending, pending ? 1 : 0, __ATOMIC_SEQ_CST);
}

// Wakes the idle board thread: a command waits for it, or idle was cleared.
static void wakeBoardThread(SRVBoard_t* board) {
    c_condition_lock(&board->idleCondition);
    c_condition_broadcast(&board->idleCondition);
    c_condition_unlock(&board->idleCondition);
}

// Waits while the board is idle. True when the board has left idle and the
// thread holds the board lock again; false to start the next cycle (or, with
// *failed set, after a lock failure). A command handed over, or idle cleared,
// before or during the wait ends it at once; the timed wait only bounds how
// long a failure status goes unseen.
static bool waitWhileIdle(SRVBoard_t* board, bool* failed) {
    *failed = false;
    if (!unlockBoard(board)) {
        *failed = true;
        return false;
    }
    c_condition_lock(&board->idleCondition);
    if (board->idle != 0 && !isCommandPending(board))
        c_condition_wait(&board->idleCondition, IDLE_WAIT_MS);
    bool idle = board->idle != 0;
    c_condition_unlock(&board->idleCondition);
    if (idle)
        return false;
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "Acquisition semaphore acquired.");
    if (!lockBoard(board)) {
        *failed = true;
        return false;
    }
    return true;
}

// A read that half filled a channel's event array has probably left more on
// a busy board: the next cycle reads at once instead of resting 1 ms, so the
// board's memory is emptied as fast as the cycle runs.
static bool readLeftMoreOnBoard(const c_Digitizer_t* digitizer) {
    for (const c_ChannelRecord_t& channel : digitizer->channels)
        if (channel.nEvents > 0 && uint64_t{channel.nEvents} * 2 >= channel.capacity)
            return true;
    return false;
}

void* SRV_BoardThread(void* argument) {
    SRVBoard_t* board = static_cast<SRVBoard_t*>(argument);
    c_semaphore_post(&board->startedSem);

    for (;;) {
        if (SRV_IsQuitRequested(board)) {
            exitCycle(board);
            break;
        }
        if (!lockBoard(board)) {
            endAfterError(board, false);
            break;
        }
        if (SRV_IsFailureDetected(board)) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Failure detected. Status=0x%X",
                             static_cast<unsigned>(board->digitizer.failStatus));
            SRV_ClearFailureStatus(board);
            if (SRV_StopAcquisition(board) != SRV_SUCCESS) {
                endAfterError(board, true);
                break;
            }
        }
        SRV_ExecuteThreadCommand(board);
        if (board->idle) {
            bool failed = false;
            if (!waitWhileIdle(board, &failed)) {
                if (failed) {
                    endAfterError(board, false);
                    break;
                }
                continue;
            }
        }
        SRVStatus_t readout = readoutFcn(board);
        if (readout != SRV_SUCCESS) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "readoutFcn() error (%i)",
                             SRV_ERR_INVALID_COMMAND);
            c_bdclear(&board->digitizer);
            if (readout == SRV_ERR_FILE_READ)
                SRV_NoteDamagedReplayRead(board);
            if (!unlockBoard(board)) {
                endAfterError(board, false);
                break;
            }
            continue;
        }
        if (!board->digitizer.replay && !board->digitizer.linkFlag && !readLeftMoreOnBoard(&board->digitizer))
            c_sleep(1);
        if (SRV_ProcessCycle(board) != 0) {
            endAfterError(board, true);
            break;
        }
        if (!unlockBoard(board)) {
            endAfterError(board, false);
            break;
        }
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__, "Acquisition thread exiting.");
    c_lflushrepeats();
    return NULL;
}

// ----------------------------------------------------------- hand-over

SRVStatus_t SRV_SendThreadCommand(SRVBoard_t* board, uint32_t command) {
    if (!SRV_IsBoardThreadRunning(board)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "No board thread runs: command %u not executed.", command);
        return SRV_ERR_GENERIC;
    }
    board->pendingCommand = command;
    setCommandPending(board, true);
    if (!unlockBoard(board))
        return SRV_ERR_UNLOCK;
    wakeBoardThread(board);

    // Wait for the thread; if it ends before it ran the command, nobody will.
    bool done = false;
    for (;;) {
        if (c_semaphore_wait(&board->doneSem, HANDOVER_SLICE_MS) == 0) {
            done = true;
            break;
        }
        if (!SRV_IsBoardThreadRunning(board)) {
            done = c_semaphore_wait(&board->doneSem, 0) == 0;
            break;
        }
    }
    if (!lockBoard(board))
        return SRV_ERR_LOCK;
    if (!done) {
        setCommandPending(board, false);
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Board thread ended: command %u not executed.", command);
        return SRV_ERR_GENERIC;
    }
    return board->commandResult;
}

// Runs a start or a stop for the channels of the mask: the whole board when
// the mask holds every channel, else each channel in ascending order (the
// result is the first failure, so that a later channel's success does not
// hide it). A start whose result is a failure stops
// again the channels that it started, so that no channel acquires while the
// board thread, told the start failed, stays idle.
static SRVStatus_t runForMask(SRVBoard_t* board, SRVStatus_t (*wholeBoard)(SRVBoard_t*),
                              SRVStatus_t (*oneChannel)(SRVBoard_t*, uint32_t), bool start) {
    uint32_t channels = board->digitizer.descriptor.NumChannels;
    if (channels > 32)
        channels = 32;
    uint32_t fullMask = channels >= 32 ? 0xFFFFFFFFu : ((1u << channels) - 1u);
    if ((board->channelMask & fullMask) == fullMask && fullMask != 0)
        return wholeBoard(board);
    SRVStatus_t result = SRV_SUCCESS;
    uint32_t started = 0;
    for (uint32_t channel = 0; channel < channels; channel++) {
        uint32_t bit = 1u << channel;
        if ((board->channelMask & bit) == 0)
            continue;
        bool wasAcquiring = SRV_IsAcquiring(board->digitizer.channels[channel].acqStatus);
        SRVStatus_t status = oneChannel(board, channel);
        if (start && status == SRV_SUCCESS && !wasAcquiring)
            started |= bit;
        if (result == SRV_SUCCESS)
            result = status;
        board->channelMask &= ~bit;
    }
    if (start && result != SRV_SUCCESS) {
        for (uint32_t channel = 0; channel < channels; channel++)
            if ((started & (1u << channel)) != 0)
                SRV_StopChannelAcquisition(board, channel);
        // With nothing acquiring, the raw-data file this start opened ends
        // as a board stop ends it.
        if (!SRV_IsAcquiring(board->digitizer.acqStatus))
            SRV_EndRawDataRecording(board);
    }
    return result;
}

void SRV_ExecuteThreadCommand(SRVBoard_t* board) {
    if (!isCommandPending(board))
        return;
    board->commandResult = SRV_SUCCESS;
    // What the command could not complete is its own: its reply carries the
    // first failure (SRV_SettleCommandFailures).
    SRV_BeginCommandFailures(&board->runFailures);
    switch (board->pendingCommand) {
    case SRV_THREAD_CMD_START:
        board->commandResult = runForMask(board, SRV_StartAcquisition, SRV_StartChannelAcquisition, true);
        break;
    case SRV_THREAD_CMD_STOP:
        board->commandResult = runForMask(board, SRV_StopAcquisition, SRV_StopChannelAcquisition, false);
        c_lflushrepeats(); // what the run repeated in its log is counted there now
        break;
    default:
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Unknown command %d.",
                         static_cast<int>(board->pendingCommand));
        break;
    }
    SRV_EndCommandFailures(&board->runFailures);
    setCommandPending(board, false);
    c_semaphore_post(&board->doneSem);
}

// ------------------------------------------------------ processor choice

static int cpuCount = -1; // unknown until first asked
static int lastCPU = -1;  // none given yet

int SRV_ChooseNextCPU(int last, int count) {
    int next = (last < 0 ? FIRST_BOARD_CPU : last) + 1;
    return next < count ? next : FIRST_BOARD_CPU;
}

int SRV_GetNextCPU(void) {
    if (cpuCount < 0)
        cpuCount = c_getNCPU();
    lastCPU = SRV_ChooseNextCPU(lastCPU, cpuCount);
    return lastCPU;
}

int SRV_GetCurrentCPU(void) {
    if (cpuCount < 0)
        cpuCount = c_getNCPU();
    return lastCPU < 0 ? FIRST_BOARD_CPU : lastCPU;
}

SRVStatus_t SRV_StartBoardThread(SRVBoard_t* board) {
    setThreadRunning(board, true);
    if (c_thread_create(&board->thread, SRV_BoardThread, board) != 0) {
        setThreadRunning(board, false);
        board->thread = NULL;
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Can't start board thread");
        return SRV_ERR_GENERIC;
    }
    c_semaphore_wait(&board->startedSem, C_WAIT_FOREVER);
    int cpu = SRV_GetNextCPU();
    bool pinned = cpu >= 0 && cpu < 64 && c_thread_setaffinity(board->thread, 1ull << cpu) == 0;
    if (!pinned) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Can't set thread affinity to CPU %i",
                         cpu);
        return SRV_ERR_GENERIC;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__, "Thread affinity set to CPU %i", cpu);
    return SRV_SUCCESS;
}

// ------------------------------------------------- the cycle's processing

// A stop that no client asked for failed: no reply is there to carry it.
// What it could not complete was kept where it failed (a stop that failed
// otherwise is kept here): the client's next command 8 or 9 answers the first
// failure that waits, the server's end tells the others.
static void keepAutomaticStopFailure(SRVBoard_t* board, uint32_t channel, SRVStatus_t status, uint32_t keptBefore) {
    SRVRunFailures_t* failures = &board->runFailures;
    if (failures->count == keptBefore) {
        char what[SRV_FAILURE_TEXT_SIZE];
        std::snprintf(what, sizeof what, "the automatic stop at the stop criterion of channel %u failed", channel);
        SRV_KeepRunFailure(failures, SRV_RUN_FAILURE_STOP, status, NULL, what);
    }
    bool answered = failures->answerFrom == keptBefore;
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                     "Error in automatic stop acquisition (%i) at the stop criterion of channel %u: %s.", status,
                     channel,
                     answered ? "the client's next start or stop answers it"
                              : "an earlier failure waits for the client, the server's end tells this one");
}

// A met criterion's stop of its own channel; once the criteria have stopped
// every channel, the recording ends as a board stop ends it.
static SRVStatus_t stopChannelForCriterion(SRVBoard_t* board, uint32_t channel) {
    SRVStatus_t status = SRV_StopChannelAcquisition(board, channel);
    if (status == SRV_SUCCESS && !SRV_IsAcquiring(board->digitizer.acqStatus))
        status = SRV_EndRawDataRecording(board);
    return status;
}

// The stops of the criteria met in the cycle (bit n: channel n): as the
// board's row says, each such channel is stopped, or the whole board once.
// They run once every channel has consumed its events of the readout,
// because the stop's own read replaces them. A failure is kept for the
// client.
static void stopForCriteria(SRVBoard_t* board, uint64_t criterionMet) {
    if (criterionMet == 0)
        return;
    const bool byChannel = board->access->criterionStopsChannel;
    uint32_t channels = SRV_ChannelCount(board);
    for (uint32_t channel = 0; channel < channels; channel++) {
        if ((criterionMet & (1ull << (channel % 64))) == 0)
            continue;
        uint32_t keptBefore = board->runFailures.count;
        SRVStatus_t status = byChannel ? stopChannelForCriterion(board, channel) : SRV_StopAcquisition(board);
        if (status != SRV_SUCCESS)
            keepAutomaticStopFailure(board, channel, status, keptBefore);
        if (!byChannel)
            return;
    }
}

int SRV_ProcessCycle(SRVBoard_t* board) {
    uint64_t criterionMet = 0;
    int status = SRV_ProcessCycleEvents(board, &criterionMet);
    if (status == 0 && criterionMet != 0) {
        stopForCriteria(board, criterionMet);
        c_lflushrepeats(); // what the run repeated in its log is counted at its automatic stop
    }
    return status;
}
