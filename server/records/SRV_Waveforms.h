/*
 * SRV_Waveforms: each channel's copy of the waveform of one recent event, and
 * command 30 that returns its traces.
 *
 * The per-cycle processing hands the first event of each channel in a cycle
 * (when waveforms are on) to SRV_StoreEventWaveform; an acquisition start
 * clears the copy of every channel it starts; command 30 reads it while the
 * channel runs. All of it runs under the board lock.
 */
#ifndef SRV_WAVEFORMS_H
#define SRV_WAVEFORMS_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Samples each trace slot of a channel's copy holds. */
#define SRV_WAVEFORM_CAPACITY 131072

/* A zeroed copy: sample count 0, slots 0 to 2 of 16-bit samples, slots 3 to 8
 * of one byte a sample, SRV_WAVEFORM_CAPACITY samples each, probe codes 0.
 * NULL (with nothing left allocated) when any buffer can't be allocated. */
c_Waveform_t* SRV_AllocWaveform(void);
/* Frees every trace buffer, then the record. NULL is ignored. */
void SRV_FreeWaveform(c_Waveform_t* waveform);
/* Zeroes every slot's samples over its capacity and its probe code; the
 * sample count keeps its value, so that after an acquisition start command 30
 * sends the last waveform's count of zero samples until the run stores a
 * waveform of its own. NULL is ignored. */
void SRV_ClearWaveform(c_Waveform_t* waveform);

/* Copies the event's traces into the channel's copy, unless the channel's
 * energy skim rejects the event's energy (then 0 and nothing changes).
 * 0, -10 (skim levels missing) or -40 (the event has no waveform). Board
 * thread, board lock held. */
SRVStatus_t SRV_StoreEventWaveform(SRVBoard_t* board, uint32_t channel, const c_DPPEvent_t* event);

/* The checks of command 30 without the reply: 0 and the channel's copy, or
 * -33 (no such channel), -10 (no DPPL_PARAM_WAVEFORMS) or -40 (waveforms off,
 * channel not running, no copy). Board lock held by the caller. */
SRVStatus_t SRV_GetChannelWaveform(SRVBoard_t* board, int32_t channel, c_Waveform_t** out);
/* The smallest capacity among the slots the copy has buffers for: a sample
 * count below it is valid for every trace that can be sent. */
uint32_t SRV_WaveformStoredCapacity(const c_Waveform_t* waveform);

#ifdef __cplusplus
}
#endif

#endif /* SRV_WAVEFORMS_H */
