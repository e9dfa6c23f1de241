/*
 * SRV_BoardInfo: board information and system commands: the board
 * description of command 5, the spectra count of a channel (command 41), the
 * server's date and time (command 56) and the server definitions document
 * (command 26).
 */
#ifndef SRV_BOARD_INFO_H
#define SRV_BOARD_INFO_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Length of the date-time texts of command 56: "YYYY-MM-DDThh:mm:ss" and the
 * terminator. */
#define SRV_DATETIME_SIZE 20

/* The board information that command 5 sends, field by field. */
typedef struct SRVBoardInfo_t {
    char modelName[12];
    int32_t modelCode;
    uint32_t channelCount;
    uint32_t hvChannelCount;
    uint32_t lvdsGroupCount;
    uint32_t virtualTraceCount;
    uint32_t monOutCount;
    uint32_t dtSpectrumCount;
    uint16_t boardFwMajor;
    uint16_t boardFwMinor;
    uint16_t boardFwBuild;
    uint16_t channelFwMajor;
    uint16_t channelFwMinor;
    uint16_t channelFwBuild;
    char reserved[17];
    uint32_t serialNumber;
    int32_t familyCode;
    int32_t formFactor;
    uint32_t boardInfoWord;
    uint32_t adcBits;
    uint32_t samplePeriodPs;
    uint32_t energyBits;
    char libraryVersion[20];
} SRVBoardInfo_t;

/* The board information of command 5 (the caller passes a zeroed record),
 * with the family code as the board's row gives it. */
SRVStatus_t SRV_FillBoardInfo(SRVBoardInfo_t* info, const c_Digitizer_t* digitizer, const SRVBoardAccess_t* access);

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
