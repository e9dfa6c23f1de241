/*
 * CBoard_Morvane: the two-channel device driven at register level (family
 * 8560, DPP code 142), reached through ZarnComm without connection
 * parameters.
 *
 * The device layer keeps a process-wide table of open devices; the record's
 * `handle` is the slot index. Each slot holds the link handle, the two
 * channels' real-time and dead-time sums (each under its own ticket lock),
 * the coarse DC-offset data and the high-voltage calibration read from the
 * device flash at open. The table itself takes no lock: devices are opened
 * and closed from one thread.
 */
#ifndef CBOARD_MORVANE_H
#define CBOARD_MORVANE_H

#include <stdbool.h>
#include <stdint.h>

#include "ZarnRecords.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MORVANE_CHANNELS         2
#define MORVANE_HV_CHANNELS      2
#define MORVANE_HV_RANGES        3
#define MORVANE_DCO_ENTRIES      11
#define MORVANE_CAL_POINTS       5
#define MORVANE_CAL_QUANTITIES   8
#define MORVANE_FLASH_PAGE_BYTES 256

/* Device status codes (library statuses). */
#define MORVANE_ERR_FLASH           (-1)
#define MORVANE_ERR_CALIBRATION     (-2)
#define MORVANE_ERR_FLASH_LOCKED    (-3)
#define MORVANE_ERR_INVALID_SLOT    (-5)
#define MORVANE_ERR_READ_REGISTER   (-10)
#define MORVANE_ERR_WRITE_REGISTER  (-11)
#define MORVANE_ERR_INVALID_CHANNEL (-13)
#define MORVANE_ERR_OUT_OF_MEMORY   (-22)
#define MORVANE_ERR_LINK_OPEN       (-24)

/* Quantities of a calibration set, in this order. */
enum {
    MORVANE_CAL_VSET = 0,
    MORVANE_CAL_ISET = 1,
    MORVANE_CAL_VMON = 2,
    MORVANE_CAL_IMON = 3,
    MORVANE_CAL_VMAX = 4,
    MORVANE_CAL_RAMPUP = 5,
    MORVANE_CAL_RAMPDOWN = 6,
    MORVANE_CAL_TMON = 7
};

/* The calibration of one high-voltage quantity in one range: raw = c0 + c1*x + ... */
typedef struct c_HVCalibration_t {
    double lowDefault;
    double low;
    double high;
    double step;
    uint32_t nPoints;
    double points[MORVANE_CAL_POINTS][2]; /* {quantity, raw code} */
    int32_t degree;
    double coeff[6];
    char name[20];
    int32_t slot;
    int32_t channel; /* high-voltage channel */
    int32_t type;    /* MORVANE_CAL_* */
    uint32_t registerAddress;
} c_HVCalibration_t;

/* One range of one high-voltage channel. */
typedef struct c_HVCalibrationSet_t {
    int32_t rangeIndex; /* 0 to 2 */
    int32_t enabled;    /* 1: the range mask marks it used */
    c_HVCalibration_t cal[MORVANE_CAL_QUANTITIES];
} c_HVCalibrationSet_t;

typedef struct c_MorvaneChannel_t {
    c_ticket_t lock;                           /* guards realTime and deadTime */
    uint64_t realTime;                         /* ns */
    uint64_t deadTime;                         /* ns */
    int32_t coarseDCO[MORVANE_DCO_ENTRIES][2]; /* {first value, zero offset} */
} c_MorvaneChannel_t;

typedef struct c_MorvaneHVChannel_t {
    int32_t polarity;                              /* 0 positive, 1 negative */
    c_HVCalibrationSet_t* sets[MORVANE_HV_RANGES]; /* indexed by range index */
    uint32_t rangeCount;                           /* ranges in the flash header */
} c_MorvaneHVChannel_t;

/* One slot of the device table. */
typedef struct c_MorvaneDevice_t {
    int32_t inUse;
    int32_t commHandle;
    c_MorvaneChannel_t channels[MORVANE_CHANNELS];
    c_MorvaneHVChannel_t hv[MORVANE_HV_CHANNELS];
    char name[16]; /* prefix of the device's own messages */
    uint32_t dcoChannels;
    uint32_t hvChannels;
    uint32_t serialNumber;
} c_MorvaneDevice_t;

/* The device's board information, copied into the board descriptor at open. */
typedef struct c_MorvaneBoardInfo_t {
    char modelName[12];
    uint32_t modelNumber;
    uint32_t channels;
    uint32_t hvChannels;
    uint32_t formFactor;
    uint32_t familyCode;
    char channelFirmwareRel[40];
    uint32_t serialNumber;
    uint32_t infoWord;
    uint32_t adcBits;
    uint32_t word15;
    int32_t commHandle;
    int32_t linkInfo;
    char hvPolarity; /* 'M', 'N' or 'P' */
    uint32_t word32;
} c_MorvaneBoardInfo_t;

/* ------------------------------------------------------------ device table */

int XMOR_DGTZ_OpenDigitizer(int* slot);
int XMOR_DGTZ_CloseDigitizer(int slot);
int XMOR_DGTZ_GetInfo(int slot, c_MorvaneBoardInfo_t* info);
/* The open slot, or NULL for an index that is not an open slot. */
c_MorvaneDevice_t* XMOR_GetDevice(int slot);
/* Slots of the table (0 once every device is closed). */
uint32_t XMOR_GetSlotCount(void);
/* The slot's ZarnComm link handle: 0 or -5. */
int XMOR_GetCommHandle(int slot, int32_t* handle);

/* ---------------------------------------------------- flash and calibration */

int MORFlash_WaitReady(int32_t handle);
int MORFlash_Unlock(int32_t handle);
int MORFlash_ReadPage(int32_t handle, uint32_t pageAddress, uint8_t* destination);
int MORVANE_LoadHVCalibration(int slot);
/* ranges: R pairs of 256-byte pages {information page, calibration page}. */
int MORVANE_SetHVCalibration(int slot, uint32_t hvChannel, uint32_t rangeMask, const uint8_t* ranges,
                             uint32_t rangeCount);
int MORVANE_PolyFit(const double points[][2], uint32_t count, int32_t degree, double* coeff);
/* The high-voltage channel and range records of the record from the device. */
int MORVANE_FillHVData(c_Digitizer_t* digitizer);
/* The board-information page into info (no register access): 0 or -2. */
int MORVANE_ParseBoardInfoPage(const uint8_t* page, c_MorvaneBoardInfo_t* info);

/* ------------------------------------------------ the record's board open */

/* Opens the device into the record (handle, family, link): 0 or a device code. */
int MORVANE_OpenRecordDevice(c_Digitizer_t* digitizer);
/* High-voltage records and coarse DC-offset tables of the record; a failure
 * is logged, closes the device and answers -4. */
int MORVANE_PrepareRecord(c_Digitizer_t* digitizer);
/* The device's board information into the record's descriptor: 0 or -4. */
int MORVANE_ReadBoardInformation(c_Digitizer_t* digitizer);
/* Frees the record's coarse DC-offset tables and closes the device slot. */
void MORVANE_CloseRecordDevice(c_Digitizer_t* digitizer);

/* ------------------------------------------------------------------ sizes */

int XMOR_DGTZ_GetEventSize(int slot, uint32_t channel, uint32_t* bytes);
int XMOR_DGTZ_GetAggregateSize(int slot, uint32_t* bytes);

/* ---------------------------------------------------- channel commands */

int XMOR_DGTZ_StopChannelAcquisition(int slot, uint32_t channel);
int XMOR_DGTZ_StartChannelAcquisition(int slot, uint32_t channel);
int XMOR_DGTZ_ClearChannelData(int slot, uint32_t channel);
int XMOR_DGTZ_SendChannelSWTrigger(int slot, uint32_t channel);
/* Board commands: run (0x802C) 1 or 0, clear (0x8018); 0, -5 or -11. */
int XMOR_DGTZ_StartAcquisition(int slot);
int XMOR_DGTZ_StopAcquisition(int slot);
int XMOR_DGTZ_ClearData(int slot);
int XMOR_DGTZ_SendSWTrigger(int slot);
/* Block read of the device's data into the record's readout buffer. */
int XMOR_DGTZ_ReadData(c_Digitizer_t* digitizer);

/* Real-time and dead-time sums of a channel (ns), under its ticket lock:
 * Clear sets them to 0, Take reads and clears them; 0, -5 or -13. */
int XMOR_ClearTimeSums(int slot, uint32_t channel);
int XMOR_TakeTimeSums(int slot, uint32_t channel, uint64_t* realTime, uint64_t* deadTime);

/* Record-level commands with the acquisition control's messages: each
 * answers 0, or -4 after logging (BoardClear, ChannelStop and
 * GetRealtimeAndDeadtime answer the device code: -5, -11, -13). */
int MORVANE_BoardReset(c_Digitizer_t* digitizer);
int MORVANE_BoardStart(c_Digitizer_t* digitizer);
int MORVANE_BoardStop(c_Digitizer_t* digitizer);
int MORVANE_ChannelStart(c_Digitizer_t* digitizer, int32_t channel);
int MORVANE_SWTrigger(c_Digitizer_t* digitizer);
int MORVANE_ChannelSWTrigger(c_Digitizer_t* digitizer, int32_t channel);
/* Channels 0 and 1 keep sums; channel 2 is a valid device channel without
 * them (-13), as is any channel above it. */
int MORVANE_GetRealtimeAndDeadtime(c_Digitizer_t* digitizer, int32_t channel, uint64_t* realTime, uint64_t* deadTime);

bool XMOR_IsBoardConfigured(c_Digitizer_t* digitizer);
bool XMOR_IsHVChannelOn(c_Digitizer_t* digitizer, uint32_t hvChannel);

/* ------------------------------------------------------------- decoding */

/* Library probe code of a selector value (kind 0 to 3), -33 for a value not
 * listed, -32 for another kind. */
int MORVANE_ProbeCode(int kind, uint32_t value);
/* Decodes one channel aggregate into the channels' event arrays at counts[c],
 * counts updated: 0, -39, -33 or -34. */
int MORVANE_DecodeChannelAggregate(c_Digitizer_t* digitizer, uint32_t* aggregate, uint32_t counts[64]);

#ifdef __cplusplus
}
#endif

#endif /* CBOARD_MORVANE_H */
