/*
 * ZarnBoard_GENERIC: the board layer's life-cycle core.
 *
 * Opens a board, fills its descriptor, resets it, runs the firmware setup of
 * its DPP code and family, builds its parameters and gives each its default
 * value, allocates the buffers and checks the board's failure status (PLL
 * lock, over-temperature, ADC auto-shutdown). Also loads a recorded file's
 * parameter values into a replay record, reports the active high-voltage
 * range and loads DAC calibration data from the board's flash.
 */
#ifndef ZARN_BOARD_GENERIC_H
#define ZARN_BOARD_GENERIC_H

#include <stddef.h>
#include <stdint.h>

#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

struct c_ConnParams_t;
struct c_RawDataHeader_t;

/* Failure status bits of a digitizer record (its failStatus). */
#ifndef FAILSTATUS_PLL_UNLOCK
#define FAILSTATUS_PLL_UNLOCK 0x10u
#endif
#ifndef FAILSTATUS_OVER_TEMPERATURE
#define FAILSTATUS_OVER_TEMPERATURE 0x20u
#endif
#ifndef FAILSTATUS_ADC_SHUTDOWN
#define FAILSTATUS_ADC_SHUTDOWN 0x40u
#endif

/* Internal entry points (exported for the library's own tests); each takes
 * the record first and returns a status. */

/* Opens the board (connection parameters, or NULL for the register-level
 * device) and brings it to a usable state: board information, reset, setup,
 * default values, buffers, status. On failure nothing stays open or
 * allocated; the caller resets the record. */
DRAVIK_API int GENERIC_OpenDigitizer(c_Digitizer_t* digitizer, const struct c_ConnParams_t* params);
/* Firmware setup for the DPP code and family, then the default values. */
DRAVIK_API int GENERIC_SetupDigitizer(c_Digitizer_t* digitizer);
/* Sets every parameter to its preferred value through the ordinary set path,
 * then sizes the buffers once (unless automatic allocation was off). */
DRAVIK_API int GENERIC_SetAllParameters(c_Digitizer_t* digitizer);
/* Builds the parameters of a replay record and pins each to its recorded
 * value (a software-only list of one value). */
DRAVIK_API int GENERIC_LoadFileParameters(c_Digitizer_t* digitizer, const struct c_RawDataHeader_t* header);
DRAVIK_API int GENERIC_CheckAutoShutdown(c_Digitizer_t* digitizer);
DRAVIK_API int GENERIC_CheckPLLLock(c_Digitizer_t* digitizer);
DRAVIK_API int GENERIC_RestoreStatus(c_Digitizer_t* digitizer);
DRAVIK_API int GENERIC_RestorePLLUnlock(c_Digitizer_t* digitizer);
DRAVIK_API int GENERIC_ReadDACCalibrationFromFlash(c_Digitizer_t* digitizer);
/* data: pairs of little-endian 32-bit floats (P0, P1), one pair per channel,
 * or per group when perGroup is non-zero; size in bytes. */
DRAVIK_API int GENERIC_LoadDACCalibration(c_Digitizer_t* digitizer, const void* data, size_t size, uint8_t perGroup);

/* The PLL rule shared by the family checks: clears FAILSTATUS_PLL_UNLOCK,
 * reads the board parameter DPPL_PARAM_PLLLOCKED and answers -50 (setting
 * the bit again) when it reads 0. */
DRAVIK_API int GENERIC_CheckPLLLockedParameter(c_Digitizer_t* digitizer);

/* Exported. */

/* The failure checks (ADC auto-shutdown, then PLL lock); -42 on a
 * second-generation replay. */
DRAVIK_API int c_checkStatus(c_Digitizer_t* digitizer);
/* Clears a latched PLL-unlock condition and checks the lock again. */
DRAVIK_API int c_restorePLLUnlock(c_Digitizer_t* digitizer);
/* Index of the active range of a high-voltage channel (0 on every board but
 * the register-level device). */
DRAVIK_API int GENERIC_GetHVActiveRangeIndex(c_Digitizer_t* digitizer, uint32_t hvChannel, uint32_t* rangeIndex);

#ifdef __cplusplus
}
#endif

#endif
