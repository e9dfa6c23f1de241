/*
 * SRV_MCS: the multichannel-scaling (MCS) spectrum of a channel.
 *
 * A channel whose firmware does multichannel scaling reports, for every time
 * slot of a sweep, one datum (an event flagged EVTFLAG_MCS) with the slot
 * number and the slot's count. The server folds these data into one spectrum
 * per channel, accumulated over repeated sweeps ("passes") by the chosen
 * accumulation mode, and sends the next sweep signal after the last slot of a
 * pass until the preset number of passes is reached. Clients fetch the
 * spectrum (command 46), send a sweep signal (47) and clear it (48).
 *
 * The record (SRVMCSSpectrum_t) lives in the channel frame (SRV_BoardRecord.h).
 * The accumulation runs in the board thread's cycle and the commands on the
 * main thread, both under the board lock.
 */
#ifndef SRV_MCS_H
#define SRV_MCS_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Spectrum states. */
enum { SRV_MCS_STATE_IDLE = 0, SRV_MCS_STATE_RUNNING = 1, SRV_MCS_STATE_PRESET_REACHED = 2, SRV_MCS_STATE_STOPPED = 3 };

/* The slots of the record. */
#define SRV_MCS_MAX_SLOTS SRV_SPECTRUM_MAX_BINS

/* Binds the spectrum `index` of the channel to its server parameters and
 * resets its state (0) and pass (1); the counts are left as they are. 0, or
 * -17 when the board, the spectrum or one of its nine parameters is
 * missing. */
SRVStatus_t SRV_InitMCSSpectrum(SRVBoard_t* board, uint32_t channel, uint32_t index);
/* Clears the spectrum's bindings to its server parameters (before they are
 * freed). */
void SRV_UnbindMCSSpectrum(SRVMCSSpectrum_t* spectrum);

/* Accumulates one datum: a start marker (1 starts a sweep), the slot and its
 * count. A slot outside the record is dropped. 0, or -17 for no record. */
int SRV_AddMCSDatum(SRVMCSSpectrum_t* spectrum, uint8_t startMarker, uint16_t slot, uint32_t count);

/* The cycle's handling of one MCS event of the channel: the accumulation,
 * the library's current MCS channel, and the sweep signal after the last
 * slot of a pass (unless the preset number of passes is reached). A channel
 * without an MCS spectrum ignores it. Board thread, board lock held. */
void SRV_HandleMCSDatum(SRVBoard_t* board, uint32_t channel, const c_DPPEvent_t* event);

/* Sends one sweep signal to the channel (its library parameter
 * "DPPL_PARAM_CH_MCS_SWEEP_SIGNAL" set to 1); when the channel is not
 * running, its current MCS channel goes back to 0. 0 or -10. */
SRVStatus_t SRV_SendMCSSweepSignal(SRVBoard_t* board, int32_t channel);

/* Zeroes the counts, state 0, pass 1. 0, or -17 for no record. */
int SRV_ClearMCSSpectrum(SRVMCSSpectrum_t* spectrum);
/* Zeroes the counts alone. */
void SRV_ClearMCSCounts(uint32_t counts[SRV_MCS_MAX_SLOTS]);

/* The number of slots a sweep has: the parameter value truncated, within 0 ..
 * SRV_MCS_MAX_SLOTS (0 when unbound or not a number). */
uint32_t SRV_MCSSlotCount(const SRVMCSSpectrum_t* spectrum);

/* The spectrum that an index path of pairs (index, type) addresses: type 2
 * the channel, type 10 the spectrum. 0, or -10 for another type or an index
 * out of range. */
SRVStatus_t SRV_GetMCSSpectrum(SRVBoard_t* board, const int32_t path[], uint32_t pathLength, SRVMCSSpectrum_t** out);

#ifdef __cplusplus
}
#endif

#endif /* SRV_MCS_H */
