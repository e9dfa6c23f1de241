// The board lock and the quit flag set under it.
#include "SRV_BoardLock.h"

static const c_LogModule_t LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

SRVStatus_t SRV_LockBoard(SRVBoard_t* board) {
    int result = c_ticket_lock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot lock Mutex (lock ERR %i)",
                         result);
        return SRV_ERR_LOCK;
    }
    return SRV_SUCCESS;
}

SRVStatus_t SRV_UnlockBoard(SRVBoard_t* board) {
    int result = c_ticket_unlock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot unlock Mutex (lock ERR %i)",
                         result);
        return SRV_ERR_UNLOCK;
    }
    return SRV_SUCCESS;
}

SRVStatus_t SRV_UnlockBoardInto(SRVBoard_t* board, SRVStatus_t status) {
    SRVStatus_t unlocked = SRV_UnlockBoard(board);
    return status == SRV_SUCCESS ? unlocked : status;
}

SRVStatus_t SRV_SetQuitFlag(SRVBoard_t* board) {
    SRVStatus_t status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS)
        return status;
    // The board thread reads the flag under the thread-flags lock.
    c_ticket_lock(&board->flagsLock);
    board->quit = 1;
    c_ticket_unlock(&board->flagsLock);
    return SRV_UnlockBoard(board);
}
