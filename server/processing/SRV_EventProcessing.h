/*
 * SRV_EventProcessing: what is done with the events of a readout.
 *
 * After each readout the board thread's cycle consumes the events that the
 * library decoded into the record's per-channel arrays; a stop consumes the
 * events of its own last read the same way. Both hand the events to the
 * records that take them (spectra, list mode, waveforms, multichannel
 * scaling, time-interval spectra, gain stabiliser) through their modules.
 * Nothing here starts or stops an acquisition: the met stop criteria are
 * returned to the board thread, which runs the stops.
 */
#ifndef SRV_EVENT_PROCESSING_H
#define SRV_EVENT_PROCESSING_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Flags of an event that keep it out of the energy spectrum: pseudo events,
 * flag 0x400, pile-up, bit 18 and multichannel-scaling data. */
#define SRV_NOT_HISTOGRAMMED_FLAGS 0x848408u
/* An event with this flag is not counted as input. */
#define SRV_NOT_INPUT_FLAG (1u << 18)
/* An event with this flag is not counted by the software SCA. */
#define SRV_NOT_SCA_FLAG 0x20000u
/* Stop-criterion modes: real time, live time, total counts, counts in ROI. */
#define SRV_STOP_MODES 4

/* Consumes the events of the last readout (board thread, board lock held):
 * input counts, energy spectra with their ROIs, stop criteria, dead time and
 * corrected input counts, auto-triggers, the SCA rate and the steps of the
 * other records. criterionMet receives the channels (bit n: channel n) whose
 * stop criterion was met, which the caller stops. 0, or -7 without
 * DPPL_PARAM_WAVEFORMS. A list file that can't be written is logged and
 * reported by the channel's stop, not here. */
int SRV_ProcessCycleEvents(SRVBoard_t* board, uint64_t* criterionMet);
/* The stop's last read (board thread, board lock held): the library's stop
 * drains the board by one read, whose events the channels of the mask (those
 * that acquired before the stop) consume as a cycle would, list mode
 * included; a met criterion there ends a channel's events and stops nothing.
 * Called before the stop times are set and list output is closed. */
void SRV_ProcessStopDrain(SRVBoard_t* board, uint64_t channelMask);
/* The channels whose acquisition status is acquiring, bit n for channel n. */
uint64_t SRV_AcquiringChannels(const SRVBoard_t* board);
/* True when a channel of the mask has reached a limit of its stop criteria
 * (nothing is logged). */
bool SRV_StopCriterionReached(SRVBoard_t* board, uint64_t channelMask);
/* Every channel's decoded-event count := 0: the events of the last readout
 * have been consumed (a stop calls it before its library stop, so that only
 * what the stop itself reads is processed). */
void SRV_DiscardDecodedEvents(SRVBoard_t* board);
/* True when the event goes into the energy spectrum. */
bool SRV_IsValidEnergyEvent(const c_DPPEvent_t* event);
/* The limits of the four stop-criterion modes, in order (0: no limit), from
 * the channel's parameters: false (criteria off) when one is missing. */
bool SRV_GetStopLimits(SRVBoard_t* board, uint32_t channel, uint64_t limits[SRV_STOP_MODES]);
/* True when the spectrum's real time, live time, entries or ROI entries has
 * reached its limit (the first such mode is logged). */
bool SRV_CheckStopCriteria(SRVBoard_t* board, const SRVEnergySpectrum_t* spectrum,
                           const uint64_t limits[SRV_STOP_MODES]);
/* Real and dead time of the channel from the library, then the spectrum's
 * times and the corrected input count: 0, -7 or -11. A firmware without
 * these times (-42), or a replay, is reported once for the board and not
 * asked again until the next start; the spectra's times then stay as they
 * are. */
int SRV_UpdateDeadTime(SRVBoard_t* board, uint32_t channel);
/* The part after the library call: adds the channel's new real and dead time
 * (ns) to its sums and sets the spectrum's times: 0, or -7 when a parameter
 * of the dead-time model is missing. */
int SRV_AccumulateDeadTime(SRVBoard_t* board, uint32_t channel, uint64_t realTimeNs, uint64_t deadTimeNs);
/* The dead-time model's input rate y / (1 - 1.88 x rise x y); at or past its
 * pole, where that is infinite or negative, the measured rate y. */
double SRV_CorrectedInputRate(double rate, double rise);
/* On a board whose row publishes them, the input counts parameter := the
 * corrected input count: 0 or -17. */
int SRV_UpdateICRCounts(SRVBoard_t* board, uint32_t channel);
/* Software triggers when no event came for the auto-trigger timeout: 0, -8,
 * -7 (board only) or -4. */
int SRV_BoardAutoTrigger(SRVBoard_t* board, uint64_t now);
int SRV_ChannelAutoTrigger(SRVBoard_t* board, uint32_t channel, uint64_t now);

#ifdef __cplusplus
}
#endif

#endif /* SRV_EVENT_PROCESSING_H */
