/*
 * Dravik: the exported interface of the digitizer library. Include this one
 * header; it gathers the public headers (records, parameters, raw-data
 * files, high-voltage supply).
 *
 * The digitizer record c_Digitizer_t (ZarnRecords.h) is the library's whole
 * state for one board or one replayed raw-data file. The caller owns its
 * memory; the library resets it, fills it on open, hangs every buffer, event
 * array and parameter collection off it, and empties it on close. Every
 * pointer inside belongs to the library.
 *
 * Nothing here takes a lock: the caller serialises every call on one record.
 */
#ifndef ZARN_DPP_LAYER_H
#define ZARN_DPP_LAYER_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "ZarnHVSupply.h"
#include "ZarnParameters.h"
#include "ZarnROBuffDumper.h"
#include "ZarnRecords.h"
#include "ZarnTypes.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------- lifecycle (exported) */

/* Opens a live board into the record; NULL params open the register-level
 * device. The record must be closed (or never used). */
DRAVIK_API int c_newDigitizer(c_Digitizer_t* digitizer, const c_ConnParams_t* params);
/* Opens a recorded raw-data file as a replay record. */
DRAVIK_API int c_newFileDigitizer(c_Digitizer_t* digitizer, const char* path);
/* Stops, closes files, frees everything, closes the board and resets the
 * record. A closed record: warning and 0. */
DRAVIK_API int c_freeDgtz(c_Digitizer_t* digitizer);
/* Byte boolean. */
DRAVIK_API uint8_t c_isDgtzOpened(const c_Digitizer_t* digitizer);
/* Byte booleans: the channel's DPPL_PARAM_CH_ENABLED is on; the group's
 * DPPL_PARAM_GR_ENABLED is on and one of its channels is enabled. 0 (and a
 * logged failure) for a closed record or an index beyond the board's. */
DRAVIK_API uint8_t c_isChannelEnabled(c_Digitizer_t* digitizer, int32_t channel);
DRAVIK_API uint8_t c_isGroupEnabled(c_Digitizer_t* digitizer, int32_t group);
/* Reads a board's information into the first 164 bytes of *descriptor
 * without keeping the board open. */
DRAVIK_API int c_fetchBoardInfo(const c_ConnParams_t* params, c_BoardDescriptor_t* descriptor);

/* ------------------------------------------------------ buffers (exported) */

/* Reallocates every buffer from the current parameters. */
DRAVIK_API int c_brealloc(c_Digitizer_t* digitizer);
/* Buffers of fixed sizes for every channel (eventsWithWaveform 0: all). */
DRAVIK_API int c_bfixedealloc(c_Digitizer_t* digitizer, uint64_t readoutBytes, uint32_t eventsPerChannel,
                              uint32_t eventsWithWaveform, uint32_t samples);

/* ------------------------------------------------- board status (exported) */

/* The failure checks (ADC auto-shutdown, then PLL lock), which mark the
 * record's failStatus: 0, or the first failure's code; -42 on a
 * second-generation replay. */
DRAVIK_API int c_checkStatus(c_Digitizer_t* digitizer);
/* Clears a latched PLL-unlock condition and checks the lock again. */
DRAVIK_API int c_restorePLLUnlock(c_Digitizer_t* digitizer);

/* ------------------------------------------ acquisition control (exported) */

/* Board start; channel statuses follow their enables. */
DRAVIK_API int c_bstarta(c_Digitizer_t* digitizer);
/* Stops: the plain forms drain the board with one c_getDPPEvents before they
 * return; the "-as" forms leave STOPPING / PAUSING for the next read. */
DRAVIK_API int c_bstopa(c_Digitizer_t* digitizer);
DRAVIK_API int c_bstopas(c_Digitizer_t* digitizer);
DRAVIK_API int c_bpausea(c_Digitizer_t* digitizer);
DRAVIK_API int c_bpauseas(c_Digitizer_t* digitizer);
DRAVIK_API int c_bdclear(c_Digitizer_t* digitizer);
DRAVIK_API int c_breset(c_Digitizer_t* digitizer);
DRAVIK_API int c_bcalib(c_Digitizer_t* digitizer);
/* Acquisition reset: stops a running board, everything STOPPED. */
DRAVIK_API int c_bfreset(c_Digitizer_t* digitizer);
DRAVIK_API int c_cstarta(c_Digitizer_t* digitizer, int32_t channel);
DRAVIK_API int c_cstopa(c_Digitizer_t* digitizer, int32_t channel);
DRAVIK_API int c_cstopas(c_Digitizer_t* digitizer, int32_t channel);
DRAVIK_API int c_cpausea(c_Digitizer_t* digitizer, int32_t channel);
DRAVIK_API int c_cpauseas(c_Digitizer_t* digitizer, int32_t channel);
/* Clears the channel's time-tag extension state and end-of-run mark. */
DRAVIK_API int c_cfreset(c_Digitizer_t* digitizer, int32_t channel);
/* Register-level device only; every other board answers 0. */
DRAVIK_API int c_cautosetstart(c_Digitizer_t* digitizer, int32_t channel, uint32_t modeBits);
DRAVIK_API int c_cautosetstop(c_Digitizer_t* digitizer, uint32_t channel, uint32_t modeBits);
DRAVIK_API int c_csampleadvance(c_Digitizer_t* digitizer, int32_t channel);

/* --------------------------------------------------- readout (exported) */

/* One readout cycle: reads one buffer (recording it while dumpEnabled is
 * set), decodes it into every channel's events (nEvents, overwritten by the
 * next read), marks the end of a replayed run and completes a pending stop or
 * pause. *bytes (may be NULL) receives the bytes read, also on failure. */
DRAVIK_API int c_getDPPEvents(c_Digitizer_t* digitizer, int32_t* bytes);
/* Asks the board to close its partial aggregates. */
DRAVIK_API int c_sendFlush(c_Digitizer_t* digitizer);

/* ---------------------------------- standard waveform firmware (exported) */

/* Value-list definition functions of parameters this firmware does not
 * offer: both answer -42. */
DRAVIK_API int Vexil_DefineVirtualProbeValues(c_Parameter_t* param);
DRAVIK_API int Vexil_DefineWaveDownsamplingValues(c_Parameter_t* param);

/* -------------------------------------------- readout services (exported) */

/* Reads with software triggers until every enabled channel has events. */
DRAVIK_API int c_getSWDPPEvents(c_Digitizer_t* digitizer, int32_t* bytes);
DRAVIK_API int c_sendswtrigger(c_Digitizer_t* digitizer);
DRAVIK_API int c_sendcswtrigger(c_Digitizer_t* digitizer, int32_t channel);
/* Start-mode actions around a start and a stop. */
DRAVIK_API int c_sendswstart(c_Digitizer_t* digitizer);
DRAVIK_API int c_sendswstop(c_Digitizer_t* digitizer);
/* Rise time (10 % to 90 %) of the waveform's input-signal trace, in
 * thousandths of a sample; 0 when it has none. */
DRAVIK_API int64_t c_CalcRiseTime(uint32_t smoothExp, const c_Waveform_t* waveform, uint32_t baselineStart,
                                  uint32_t baselineEnd);
/* Real time and dead time of a channel, in ns. */
DRAVIK_API int c_getRealtimeAndDeadtime(c_Digitizer_t* digitizer, int32_t channel, uint64_t* realTime,
                                        uint64_t* deadTime);

#ifdef __cplusplus
}
#endif
#endif /* ZARN_DPP_LAYER_H */
