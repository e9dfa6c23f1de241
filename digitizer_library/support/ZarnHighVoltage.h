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
 * The exported calls (the c_hv* functions, the high-voltage codes and
 * ReadCalibration) are declared in ZarnHVSupply.h; this header adds what the
 * library uses inside.
 */
#ifndef ZARN_HIGH_VOLTAGE_H
#define ZARN_HIGH_VOLTAGE_H

#include <stdint.h>

#include "ZarnHVSupply.h"
#include "ZarnRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

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

/* Text of a high-voltage code. */
const char* _hvErrorText(int code);
/* Logs "From <function>: <text of code>" at level 1. */
void _hvLogError(const char* function, int code);

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
/* The board's own flash (FLASH_REG_DATA, FLASH_REG_SELECT, four dummy bytes)
 * of the type and page size the type register's value gives. */
c_FlashDescription_t _boardFlash(int32_t handle, uint32_t typeRegister);
/* Reads pageCount pages from firstPage into destination (pageCount times
 * pageSize bytes): 0, -1 (no memory or a bad request) or -2 (a register
 * access failed, or a page lies beyond the flash's address space). */
int _readFlashPages(const c_FlashDescription_t* flash, uint8_t* destination, uint32_t firstPage, uint32_t pageCount);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_HIGH_VOLTAGE_H */
