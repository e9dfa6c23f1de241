/*
 * ZarnHighVoltage: the built-in high-voltage supply of a board and the
 * board's serial flash.
 *
 * A high-voltage channel (c_HVChannelBlock_t, in ZarnRecords.h) is driven
 * through nine 32-bit registers at B | 0x10xx with
 * B = (regBase + hvIndex) << 8, read and written through the board-access
 * layer on the block's handle:
 *   0x20 VSet, 0x24 ISet, 0x28 RampUp, 0x2C RampDown, 0x30 VMax (counts of
 *   the quantity's lsb); 0x34 control (bit 0 on, bit 1 mode, bit 7 monitor
 *   pair VExt/RTMP; a selector code written here makes the board report a
 *   quantity's limits); 0x38 status; 0x40 and 0x44 the monitor pair.
 *
 * Every c_hv* function returns a high-voltage code (0 or HV_ERR_*) and logs
 * its failure as "From <function>: <text>".
 */
#ifndef ZARN_HIGH_VOLTAGE_H
#define ZARN_HIGH_VOLTAGE_H

#include <stdint.h>

#include "ZarnRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

/* High-voltage codes; any other negative value reads "Generic Error". */
enum {
    HV_SUCCESS = 0,
    HV_ERR_GENERIC = -1,
    HV_ERR_INVALID_CHANNEL = -2,
    HV_ERR_DIGITIZER_API = -3,
    HV_ERR_VSET = -4,
    HV_ERR_ISET = -5,
    HV_ERR_RAMPDOWN = -6,
    HV_ERR_RAMPUP = -7,
    HV_ERR_VMAX = -8,
    HV_ERR_VMON = -9,
    HV_ERR_IMON = -10,
    HV_ERR_VEXT = -11,
    HV_ERR_RTMP = -12,
    HV_ERR_FAMILY = -13
};

/* Selector codes written to the control register. */
enum {
    HV_SELECT_VSET = 176,
    HV_SELECT_ISET = 177,
    HV_SELECT_RAMP = 178, /* RampUp and RampDown */
    HV_SELECT_VMAX = 179,
    HV_SELECT_VMON = 180,
    HV_SELECT_IMON = 181,
    HV_SELECT_HWINFO = 183
};

/* Settings of one channel, in the units of the board's parameters. */
typedef struct c_HVSettings_t {
    double vset;
    double iset;
    double rampUp;
    double rampDown;
    double vmax;
    int32_t mode; /* 1: control bit 1 clear; anything else: bit 1 set */
} c_HVSettings_t;

/* Text of a high-voltage code. */
const char* _hvErrorText(int code);
/* Logs "From <function>: <text of code>" at level 1. */
void _hvLogError(const char* function, int code);

/* Writes VSet, ISet, RampUp, RampDown and the mode; VMax is checked only. */
int c_hvsetc(c_HVChannelBlock_t* channel, const c_HVSettings_t* settings);
/* Reads the settings back and checks them against the limits. */
int c_hvgetc(c_HVChannelBlock_t* channel, c_HVSettings_t* settings);
/* Default settings from the limits: VSet 0, a tenth of the ISet and ramp
 * maxima, the VMax maximum, mode 0. */
int c_hvgetd(c_HVChannelBlock_t* channel, c_HVSettings_t* settings);
/* Loads the channel's limits from its supply (see _hvLoadLimits). */
int c_hvloadp(c_HVChannelBlock_t* channel);
int c_hvsetvmax(c_HVChannelBlock_t* channel, double vmax);
/* The low 16 bits of the status register. */
int c_hvgets(c_HVChannelBlock_t* channel, int16_t* status);
int c_hvseton(c_HVChannelBlock_t* channel, int32_t on);
int c_hvgeton(c_HVChannelBlock_t* channel, int32_t* on);
/* VMon and IMon; the selected monitor pair is restored afterwards. */
int c_hvreadm(c_HVChannelBlock_t* channel, double* vmon, double* imon);
/* VExt and RTMP; the selected monitor pair is restored afterwards. */
int c_hvreade(c_HVChannelBlock_t* channel, double* vext, double* rtmp);
/* Monitor pair: 1 VExt/RTMP, anything else VMon/IMon. */
int c_hvsetmon(c_HVChannelBlock_t* channel, int32_t pair);
int c_hvgetmon(c_HVChannelBlock_t* channel, int32_t* pair);

/* Checks each setting against its limits, in the order VSet, ISet,
 * RampDown, RampUp, VMax: 0 or the first failing quantity's code. */
int _hvCheckSettings(const c_HVChannelBlock_t* channel, const c_HVSettings_t* settings);
/* Limits of one quantity as the supply reports them after a selector write;
 * channelIndex is regBase + hvIndex. */
int _hvReadQuantityLimits(int32_t handle, uint32_t channelIndex, uint32_t selector, double* minimum, double* maximum,
                          double* resolution);
/* Fills limitMax, limitMin, lsb (and hwInfo on supplies of firmware level
 * above 1) from the supply, or from the family defaults on older supplies. */
int _hvLoadLimits(c_HVChannelBlock_t* channel);

/* ------------------------------------------------------------ board flash */

#define FLASH_REG_TYPE         0xF050u
#define FLASH_REG_SELECT       0xEF2Cu
#define FLASH_REG_DATA         0xEF30u
#define FLASH_PAGE_READ_OPCODE 0xD2u
#define FLASH_CALIBRATION_SIZE 528u

/* How to reach a serial flash. */
typedef struct c_FlashDescription_t {
    int32_t handle;          /* board-access handle */
    uint32_t dataRegister;   /* one byte per 32-bit access */
    uint32_t selectRegister; /* chip select */
    uint32_t type;           /* flash type: written to select, its negation deselects */
    uint32_t dummyBytes;     /* zero bytes after the address */
    uint32_t pageSize;       /* 264 or 528 */
} c_FlashDescription_t;

/* Flash type and page size from the type register's value. */
void _flashTypeFromRegister(uint32_t typeRegister, uint32_t* type, uint32_t* pageSize);
/* Reads pageCount pages from firstPage into destination (pageCount times
 * pageSize bytes): 0, -1 (no memory or a bad request) or -2 (a register
 * access failed, or a page lies beyond the flash's address space). */
int _readFlashPages(const c_FlashDescription_t* flash, uint8_t* destination, uint32_t firstPage, uint32_t pageCount);
/* The 528-byte calibration block of the board flash: 0, -1 (no memory or
 * NULL out), -2 (a register access failed) or -5 (no calibration block). */
int ReadCalibration(int32_t handle, uint8_t* out);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_HIGH_VOLTAGE_H */
