/*
 * SRV_BoardLock: the board lock that the board thread holds for a cycle and
 * every handler for its work, and the quit flag set under it.
 */
#ifndef SRV_BOARD_LOCK_H
#define SRV_BOARD_LOCK_H

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0, or -13 after "Cannot lock Mutex (lock ERR %i)". */
SRVStatus_t SRV_LockBoard(SRVBoard_t* board);
/* 0, or -14 after "Cannot unlock Mutex (lock ERR %i)". */
SRVStatus_t SRV_UnlockBoard(SRVBoard_t* board);
/* Releases the board lock and returns status, or the release's failure when
 * status is a success. */
SRVStatus_t SRV_UnlockBoardInto(SRVBoard_t* board, SRVStatus_t status);

/* Sets the quit flag under the board lock: 0, -13 or -14. */
SRVStatus_t SRV_SetQuitFlag(SRVBoard_t* board);

#ifdef __cplusplus
}
#endif

#endif /* SRV_BOARD_LOCK_H */
