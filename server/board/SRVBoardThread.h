/*
 * SRVBoardThread: the board thread and the hand-over of start and stop.
 *
 * The board thread holds the board lock for a whole cycle and releases it
 * between cycles and while it idles. Command handlers hand a start or a stop
 * over as a pending command and wait, with the lock released, until the
 * thread has executed it.
 */
#ifndef SRV_BOARD_THREAD_H
#define SRV_BOARD_THREAD_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Thread routine (argument: the board record). */
void* SRV_BoardThread(void* board);
/* After a failure that ends the board thread. */
void SRV_BoardThreadErrorRoutine(SRVBoard_t* board);

/* Hands the command (SRV_THREAD_CMD_START or _STOP, with the channel mask
 * stored in the board record) to the board thread and waits until it has
 * run. Called with the board lock held, which it releases while it waits.
 * The command's status, -14 / -13 on lock failures, or -1 when no board
 * thread runs to execute it. */
SRVStatus_t SRV_SendThreadCommand(SRVBoard_t* board, uint32_t command);
/* Runs the pending command, if any (board thread, board lock held). */
void SRV_ExecuteThreadCommand(SRVBoard_t* board);

/* Starts the board thread and pins it to the next processor: 0 or -1. */
SRVStatus_t SRV_StartBoardThread(SRVBoard_t* board);
/* True while the board thread runs its cycles. */
bool SRV_IsBoardThreadRunning(const SRVBoard_t* board);

/* The processor for the next board thread: 3, 4, ... up to the processor
 * count - 1, then back to 2; processors 0 and 1 are never given. */
int SRV_GetNextCPU(void);
/* The last processor given (2 when none yet). */
int SRV_GetCurrentCPU(void);
/* The choice itself: the processor after lastCPU (-1: none yet) on a machine
 * of cpuCount processors. */
int SRV_ChooseNextCPU(int lastCPU, int cpuCount);

/* True when the quit flag is set or the thread-flags lock fails. */
bool SRV_IsQuitRequested(SRVBoard_t* board);
/* The digitizer's failure status is not 0. */
bool SRV_IsFailureDetected(const SRVBoard_t* board);
void SRV_ClearFailureStatus(SRVBoard_t* board);

/* ------------------------------------------------------ the cycle's events */

/* Consumes the events of the last readout (SRV_ProcessCycleEvents, board
 * thread, board lock held), then stops the channels, or the board, whose stop
 * criterion was met. 0, or -7 without DPPL_PARAM_WAVEFORMS. A non-zero result
 * ends the board thread. */
int SRV_ProcessCycle(SRVBoard_t* board);

#ifdef __cplusplus
}
#endif

#endif /* SRV_BOARD_THREAD_H */
