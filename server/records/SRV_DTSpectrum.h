/*
 * SRV_DTSpectrum: the board's time-interval ("DeltaT") spectrum.
 *
 * It histograms the time differences between the events of a reference
 * channel, chosen by the client, and its partner (channel 1 when the
 * reference is channel 0, else channel 0): within each readout the i-th
 * event of the reference is paired with the i-th event of the partner, and
 * the difference of their time stamps in nanoseconds falls into one of NBINS
 * bins of STEP nanoseconds centred on zero. Events left over when one channel
 * delivered more than the other are carried to the next readout and paired
 * there first. Clients fetch it (command 50), enable it and choose the
 * reference (51), and clear it (52).
 *
 * The record (SRVDTSpectrum_t) lives in the board record (SRV_BoardRecord.h); the
 * board thread's cycle fills it and the commands read it, both under the
 * board lock.
 */
#ifndef SRV_DT_SPECTRUM_H
#define SRV_DT_SPECTRUM_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result of a fill without a record. */
#define SRV_DT_NO_RECORD (-48)

/* Binds the spectrum to "PARAM_DT_SPECTRUM_NBINS" and "PARAM_DT_SPECTRUM_STEP"
 * of its collection and resets it: disabled, reference channel 0, counters
 * and carried stamps 0 (the counts are left as they are). 0, or -17 when the
 * record or a parameter is missing. */
SRVStatus_t SRV_InitDTSpectrum(SRVBoard_t* board, uint32_t index);
/* Clears the spectrum's bindings to its server parameters (before they are
 * freed). */
void SRV_UnbindDTSpectrum(SRVDTSpectrum_t* spectrum);
/* Frees the carried time stamps and forgets them (at the board's close). */
void SRV_FreeDTSpectrum(SRVDTSpectrum_t* spectrum);

/* Handles event i of the reference channel in the current readout, given
 * the digitizer's channel records (channelCount of them). 0, or -48 without
 * a record. A reference or partner channel the board doesn't have, or a
 * readout in which the partner delivered no event, pairs nothing. */
int SRV_FillDTSpectrum(SRVDTSpectrum_t* spectrum, const c_ChannelRecord_t* channels, uint32_t channelCount, uint32_t i);

/* Zeroes the counts, entries, out-of-range count and every carried count
 * (the carried lists keep their memory); enabled, reference channel and the
 * readout mark keep their values. */
void SRV_ClearDTSpectrum(SRVDTSpectrum_t* spectrum);
/* Changes the reference channel; a new reference forgets the stamps carried
 * for the old one. */
void SRV_SetDTReferenceChannel(SRVDTSpectrum_t* spectrum, uint32_t channel);

/* The number of bins in use: NBINS truncated, within 0 .. 4096. */
uint32_t SRV_DTBinCount(const SRVDTSpectrum_t* spectrum);

/* The spectrum that an index path of pairs (index, 16) addresses (the last
 * pair counts): 0, or -10 for no pair, another type or an index out of
 * range. */
SRVStatus_t SRV_GetDTSpectrum(SRVBoard_t* board, const int32_t path[], uint32_t pathLength, SRVDTSpectrum_t** out);

#ifdef __cplusplus
}
#endif

#endif /* SRV_DT_SPECTRUM_H */
