/*
 * ZarnFirmwareSetup: the firmware setups, one per row of the firmware table:
 * descriptor fields, family init, then the parameters. The table sets the
 * type name first.
 */
#ifndef ZARN_FIRMWARE_SETUP_H
#define ZARN_FIRMWARE_SETUP_H

#include "ZarnRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

int GENERIC_SetupScope(c_Digitizer_t* digitizer);
int GENERIC_SetupOrluPHA(c_Digitizer_t* digitizer);
int GENERIC_SetupVeskCI(c_Digitizer_t* digitizer);
int GENERIC_SetupTilkPSD(c_Digitizer_t* digitizer);
int GENERIC_SetupDraqQDC(c_Digitizer_t* digitizer);
int GENERIC_SetupPembPSD(c_Digitizer_t* digitizer);
int GENERIC_SetupPembPHA(c_Digitizer_t* digitizer);
int GENERIC_SetupMorvane(c_Digitizer_t* digitizer);

/* Firmware setup for DPP codes 0 and 1: the scope buffer, the descriptor
 * fields, the family init, the parameters and the DAC calibration from flash.
 * -42 on family 6, -28 on a family without this firmware, -26 when the
 * parameters do not load, -55 when the calibration does not. On failure the
 * record has no scope buffer. */
int SCOPE_InitBoard(c_Digitizer_t* digitizer);

#ifdef __cplusplus
}
#endif

#endif
