/*
 * ZarnBoard_Pemb: driver of the Pemb family (pulse-shape discrimination,
 * DPP code 136, and pulse-height analysis, DPP code 139; families 11 and 14):
 * firmware setup, PLL check, ADC auto-shutdown check and its restore.
 */
#ifndef ZARN_BOARD_PEMB_H
#define ZARN_BOARD_PEMB_H

#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptor values of the family; -41 for a family other than 11 and 14. */
int PEMB_InitBoard(c_Digitizer_t* digitizer);
/* -50 (and FAILSTATUS_PLL_UNLOCK) when the board reports its PLL unlocked. */
int PEMB_CheckPLLLock(c_Digitizer_t* digitizer);
/* -36 (FAILSTATUS_ADC_SHUTDOWN) when the ADCs shut themselves down, -49
 * (also FAILSTATUS_OVER_TEMPERATURE and overTempMask) when channels are over
 * temperature. */
int PEMB_CheckADCShutdown(c_Digitizer_t* digitizer);
/* Releases the ADC shutdown unless channels are still over temperature. */
int PEMB_RestoreADCShutdown(c_Digitizer_t* digitizer);

#ifdef __cplusplus
}
#endif

#endif
