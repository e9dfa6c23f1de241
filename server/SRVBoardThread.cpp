// The board thread: its cycle, idle wait, failure check, and the hand-over
// of start and stop commands from the handlers.
#include "SRVBoardThread.h"

#include "SRV_AcquisitionControl.h"

static const c_LogModule_t LOG_MODULE = {"SRVBoardThreadLog.txt", "SRVBoardThread"};

// An idle board thread wakes at least this often to look for a pending
// command and a failure status.
static const uint32_t IDLE_WAIT_MS = 100;
// A handler waiting for a hand-over looks this often whether the thread
// still runs.
static const uint32_t HANDOVER_SLICE_MS = 100;
// The first processor a board thread may be given.
static const int FIRST_BOARD_CPU = 2;

static void setThreadRunning(SRVBoard_t* board, bool running)
{
    __atomic_store_n(&board->threadRunning, running ? 1 : 0, __ATOMIC_SEQ_CST);
}

bool SRV_IsBoardThreadRunning(const SRVBoard_t* board)
{
    return __atomic_load_n(&board->threadRunning, __ATOMIC_SEQ_CST) != 0;
}

// ------------------------------------------------------------------ flags

bool SRV_IsQuitRequested(SRVBoard_t* board)
{
    if (c_ticket_lock(&board->flagsLock) != 0)
        return true;
    bool quit = board->quit != 0;
    if (c_ticket_unlock(&board->flagsLock) != 0)
        return true;
    return quit;
}

bool SRV_IsAcquiring(int32_t acqStatus)
{
    return acqStatus != 0 && acqStatus != 3 && acqStatus != 5;
}

bool SRV_IsFailureDetected(const SRVBoard_t* board)
{
    return board->digitizer.failStatus != 0;
}

void SRV_ClearFailureStatus(SRVBoard_t* board)
{
    board->digitizer.failStatus = 0;
    board->digitizer.overTempMask = 0;
}

// ---------------------------------------------------------- lock helpers

static bool lockBoard(SRVBoard_t* board)
{
    int result = c_ticket_lock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot lock Mutex (lock ERR %i)",
                         result);
        return false;
    }
    return true;
}

static bool unlockBoard(SRVBoard_t* board)
{
    int result = c_ticket_unlock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Cannot unlock Mutex (lock ERR %i)", result);
        return false;
    }
    return true;
}

// ----------------------------------------------------------- the thread

void SRV_BoardThreadErrorRoutine(SRVBoard_t* board)
{
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Executing ERROR routine.");
    // Stopping the acquisition and clearing the readout join with
    // acquisition control.
}

// Ends the thread after a failure: the error routine, then the board lock
// is released if the thread holds it, so that no handler waits on it.
static void endAfterError(SRVBoard_t* board, bool holdsLock)
{
    SRV_BoardThreadErrorRoutine(board);
    setThreadRunning(board, false);
    if (holdsLock)
        unlockBoard(board);
}

// The quit flag was seen: the last cycle under the board lock.
static void exitCycle(SRVBoard_t* board)
{
    if (!lockBoard(board)) {
        endAfterError(board, false);
        return;
    }
    // Stopping the acquisition, clearing the readout and saving the energy
    // spectra join here with acquisition control and the spectrum files.
    setThreadRunning(board, false);
    unlockBoard(board);
}

// Waits while the board is idle. True when the board has left idle and the
// thread holds the board lock again; false to start the next cycle (or, with
// *failed set, after a lock failure).
static bool waitWhileIdle(SRVBoard_t* board, bool* failed)
{
    *failed = false;
    if (!unlockBoard(board)) {
        *failed = true;
        return false;
    }
    c_condition_lock(&board->idleCondition);
    int waited = c_condition_wait(&board->idleCondition, IDLE_WAIT_MS);
    bool idle = board->idle != 0;
    c_condition_unlock(&board->idleCondition);
    if (waited != 0 || idle)
        return false;
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "Acquisition semaphore acquired.");
    if (!lockBoard(board)) {
        *failed = true;
        return false;
    }
    return true;
}

void* SRV_BoardThread(void* argument)
{
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
            // Stopping the acquisition on a failure joins with acquisition
            // control.
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
        // The readout joins the cycle with acquisition control.
        if (!board->digitizer.replay && !board->digitizer.linkFlag)
            c_sleep(1);
        // The processing of the cycle's events joins with it.
        if (!unlockBoard(board)) {
            endAfterError(board, false);
            break;
        }
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__, "Acquisition thread exiting.");
    return NULL;
}

// ----------------------------------------------------------- hand-over

SRVStatus_t SRV_SendThreadCommand(SRVBoard_t* board, uint32_t command)
{
    if (!SRV_IsBoardThreadRunning(board)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "No board thread runs: command %u not executed.", command);
        return SRV_ERR_GENERIC;
    }
    board->pendingCommand = command;
    board->pending = 1;
    if (!unlockBoard(board))
        return SRV_ERR_UNLOCK;

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
        board->pending = 0;
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Board thread ended: command %u not executed.", command);
        return SRV_ERR_GENERIC;
    }
    return board->commandResult;
}

// Runs a start or a stop for the channels of the mask: the whole board when
// the mask holds every channel, else each channel in ascending order (the
// result is the last channel's).
static SRVStatus_t runForMask(SRVBoard_t* board, SRVStatus_t (*wholeBoard)(SRVBoard_t*),
                              SRVStatus_t (*oneChannel)(SRVBoard_t*, uint32_t))
{
    uint32_t channels = board->digitizer.descriptor.NumChannels;
    if (channels > 32)
        channels = 32;
    uint32_t fullMask = channels >= 32 ? 0xFFFFFFFFu : ((1u << channels) - 1u);
    if ((board->channelMask & fullMask) == fullMask && fullMask != 0)
        return wholeBoard(board);
    SRVStatus_t result = SRV_SUCCESS;
    for (uint32_t channel = 0; channel < channels; channel++) {
        uint32_t bit = 1u << channel;
        if ((board->channelMask & bit) == 0)
            continue;
        result = oneChannel(board, channel);
        board->channelMask &= ~bit;
    }
    return result;
}

void SRV_ExecuteThreadCommand(SRVBoard_t* board)
{
    if (!board->pending)
        return;
    board->commandResult = SRV_SUCCESS;
    switch (board->pendingCommand) {
    case SRV_THREAD_CMD_START:
        board->commandResult = runForMask(board, SRV_StartAcquisition, SRV_StartChannelAcquisition);
        break;
    case SRV_THREAD_CMD_STOP:
        board->commandResult = runForMask(board, SRV_StopAcquisition, SRV_StopChannelAcquisition);
        break;
    default:
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Unknown command %d.",
                         static_cast<int>(board->pendingCommand));
        break;
    }
    c_semaphore_post(&board->doneSem);
    board->pending = 0;
}

// ------------------------------------------------------ processor choice

static int cpuCount = -1;   // unknown until first asked
static int lastCPU = -1;    // none given yet

int SRV_ChooseNextCPU(int last, int count)
{
    int next = (last < 0 ? FIRST_BOARD_CPU : last) + 1;
    return next < count ? next : FIRST_BOARD_CPU;
}

int SRV_GetNextCPU(void)
{
    if (cpuCount < 0)
        cpuCount = c_getNCPU();
    lastCPU = SRV_ChooseNextCPU(lastCPU, cpuCount);
    return lastCPU;
}

int SRV_GetCurrentCPU(void)
{
    if (cpuCount < 0)
        cpuCount = c_getNCPU();
    return lastCPU < 0 ? FIRST_BOARD_CPU : lastCPU;
}

SRVStatus_t SRV_StartBoardThread(SRVBoard_t* board)
{
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
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__,
                         "Can't set thread affinity to CPU %i", cpu);
        return SRV_ERR_GENERIC;
    }
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__, "Thread affinity set to CPU %i", cpu);
    return SRV_SUCCESS;
}
