/*
 * SRV_BoardInfo: board information and system commands: the board
 * description of command 5, the spectra count of a channel (command 41) and
 * the server's date and time (command 56).
 */
#ifndef SRV_BOARD_INFO_H
#define SRV_BOARD_INFO_H

#include <stdint.h>

#include "SRV_Common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Length of the date-time texts of command 56: "YYYY-MM-DDThh:mm:ss" and the
 * terminator. */
#define SRV_DATETIME_SIZE 20

/* The channel record of a channel of the board: 0, or -33 after "Channel '%i'
 * not found." for a channel outside 0 to channel count - 1. */
SRVStatus_t SRV_GetChannel(SRVBoard_t* board, int32_t channel, SRVChannel_t** out);
/* The server never sets its clock: logs "Error setting datetime %s" and
 * returns -1. */
SRVStatus_t SRV_SetDateTime(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* SRV_BOARD_INFO_H */
