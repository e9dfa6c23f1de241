/*
 * SRV_Registers: raw access to the board's 32-bit registers.
 *
 * Command 6 writes a register field under a mask (read, merge, write);
 * command 7 reads a register. Both hold the board lock for the whole access,
 * so a read-modify-write never interleaves with the board thread.
 */
#ifndef SRV_REGISTERS_H
#define SRV_REGISTERS_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reads a register: 0, or -8 after logging the library's failure. */
SRVStatus_t _readRegister(SRVBoard_t* board, uint32_t address, uint32_t* value);
/* Writes (old & ~mask) | (data & mask) after reading the old value: 0 or -8. */
SRVStatus_t _writeRegister(SRVBoard_t* board, uint32_t address, uint32_t data, uint32_t mask);

#ifdef __cplusplus
}
#endif

#endif /* SRV_REGISTERS_H */
