/*
 * SRV_BoardLifecycle: the open and close of the global record's board.
 *
 * The open makes the digitizer record, the server parameters and the locks,
 * then starts the board thread; the close ends the thread and frees them
 * again. The record itself is in SRV_BoardRecord, its lock in SRV_BoardLock.
 */
#ifndef SRV_BOARD_LIFECYCLE_H
#define SRV_BOARD_LIFECYCLE_H

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How to reach the board, as the options give it (all 0 by default). */
typedef struct SRVConnParams_t {
    int16_t linkType; /* 0 "usb", 1 "opt" */
    int16_t linkNumber;
    int16_t node;
    uint32_t vmeBase;
} SRVConnParams_t;

/* Opens the global record's board from the connection parameters (NULL: the
 * no-connection open of option -h, or a file) or from a raw-data file; logs
 * before and after. 0 or the open's failure. */
SRVStatus_t SRV_AddBoard(const SRVConnParams_t* connParams, const char* rawDataFile);
/* 0 or -7. */
SRVStatus_t SRV_OpenBoard(const SRVConnParams_t* connParams, const char* rawDataFile);
/* Ends the board thread (at most 10 s), frees the server parameters and the
 * digitizer record: 0, also when the board is not open. A thread that does
 * not end in time still uses the record: then nothing is freed, the board
 * stays open with its thread handle (a later close joins it again) and the
 * result is -1. */
SRVStatus_t SRV_CloseBoard(SRVBoard_t* board);

#ifdef __cplusplus
}
#endif

#endif /* SRV_BOARD_LIFECYCLE_H */
