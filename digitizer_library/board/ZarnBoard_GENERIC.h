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

#include "ZarnDPPLayer.h"
#include "ZarnFamilySupport.h"
#include "ZarnRecords.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

struct c_ConnParams_t;
struct c_RawDataHeader_t;

/* Internal entry points (exported for the library's own tests); each takes
 * the record first and returns a status. */

/* Opens the board (connection parameters, or NULL for the register-level
 * device) and brings it to a usable state: board information, reset, setup,
 * default values, buffers, status. On failure nothing stays open or
 * allocated; the caller resets the record. */
int GENERIC_OpenDigitizer(c_Digitizer_t* digitizer, const struct c_ConnParams_t* params);
/* Firmware setup for the DPP code and family, then the default values. */
int GENERIC_SetupDigitizer(c_Digitizer_t* digitizer);
/* Sets every parameter to its preferred value through the ordinary set path,
 * then sizes the buffers once (unless automatic allocation was off). */
int GENERIC_SetAllParameters(c_Digitizer_t* digitizer);
/* Builds the parameters of a replay record and pins each to its recorded
 * value (a software-only list of one value). */
int GENERIC_LoadFileParameters(c_Digitizer_t* digitizer, const struct c_RawDataHeader_t* header);
int GENERIC_CheckAutoShutdown(c_Digitizer_t* digitizer);
int GENERIC_CheckPLLLock(c_Digitizer_t* digitizer);
int GENERIC_RestoreStatus(c_Digitizer_t* digitizer);
int GENERIC_RestorePLLUnlock(c_Digitizer_t* digitizer);

/* Exported, declared in ZarnDPPLayer.h and ZarnHVSupply.h and implemented
 * here: c_checkStatus, c_restorePLLUnlock, GENERIC_GetHVActiveRangeIndex, and
 * in ZarnBoard_GENERIC_Acquisition the board commands c_bdclear and c_breset,
 * which the open and the start use. */

#ifdef __cplusplus
}
#endif

/* ==========================================================================
 * Acquisition control and readout: statuses, start and stop, the read path,
 * the aggregate walkers, the time-stamp reconstruction and the software CFD.
 * ========================================================================== */

#ifdef __cplusplus
extern "C" {
#endif

/* -------------------------------------------------- acquisition control */

/* Board status := status; each enabled channel := status, the others STOPPED. */
void _setAcqStatus(c_Digitizer_t* digitizer, int32_t status);
/* One channel's status (STOPPED when disabled), then the board status folds
 * every channel's by priority RUNNING, PAUSING, STOPPING, PAUSED, STOPPED. */
void _setChannelAcqStatus(c_Digitizer_t* digitizer, int32_t channel, int32_t status);
/* The higher-priority status of two; UNDETERMINED (after a warning) when
 * either has no priority. */
int32_t _foldAcqStatus(c_Digitizer_t* digitizer, int32_t a, int32_t b);
int _startBoardAcquisition(c_Digitizer_t* digitizer);
int _stopBoardAcquisition(c_Digitizer_t* digitizer);
int _stopSingleChannel(c_Digitizer_t* digitizer, int32_t channel);
/* Clears a channel's time-tag extension state and its end-of-run mark. */
void _clearChannelTimeState(c_Digitizer_t* digitizer, int32_t channel);
/* Whether a channel counts as enabled for the statuses: DPPL_PARAM_CH_ENABLED
 * exists and its current value is 1. */
bool _isChannelEnabledForStatus(c_Digitizer_t* digitizer, int32_t channel);
/* Puts a replayed file back at its first data record. */
int _rewindReplay(c_Digitizer_t* digitizer);

/* ------------------------------------------------------------ read path */

/* Fills roBuffer once (board, register-level device or replayed file) and
 * records it while dumpEnabled is set. ROBytes is 0 when nothing was read. */
int GENERIC_ReadData(c_Digitizer_t* digitizer);
int GENERIC_ReadData_Board(c_Digitizer_t* digitizer);
int GENERIC_ReadData_File(c_Digitizer_t* digitizer);
/* The read that follows an idle flush (board-access read on handle); the
 * buffer is recorded like any other. */
int GENERIC_ReadFlushedData(c_Digitizer_t* digitizer, int handle);
/* End of a replayed file: every enabled channel gets its end-of-run mark due. */
int GENERIC_SignalEndOfRun(c_Digitizer_t* digitizer);
/* Delivers the due end-of-run marks (on the last event of the read, or on a
 * synthetic event), then marks them done. */
void GENERIC_MarkEndOfRun(c_Digitizer_t* digitizer);
/* Zeroes the sample buffers of an event's traces. */
void GENERIC_ClearEventWaveforms(c_DPPEvent_t* event);

/* ------------------------------------------------------- walkers, decoders */

/* Walk the board aggregates of a buffer and fill every channel's nEvents;
 * -39 for a malformed buffer, -28 for a DPP code without a decoder. */
int GENERIC_GetEvents_Channel(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);
int GENERIC_GetEvents_Couple(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);
int GENERIC_GetEvents_Group(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);
int GENERIC_GetEvents_XMOR(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);
/* The walker of the record's DPP code; -28 when it has none. */
int GENERIC_GetEvents(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);

/* ---------------------------------------------- per-read parameter cache */

/* Starts a new read: every channel's cache is looked up again when a decoder
 * next needs it. The walkers call it; so must a caller of a decoder. */
void GENERIC_InvalidateReadCache(c_Digitizer_t* digitizer);

#ifdef __cplusplus
}
#endif

#endif
