/*
 * SRV_GainStabilizer: the gain stabiliser of an energy spectrum.
 *
 * It keeps the channel's energy scale steady while the detector's gain
 * drifts, through a correction factor (the channel's server parameter
 * "PARAM_CH_FGAIN_TEMP") that is applied by setting the channel's fine gain
 * again. In peak mode it follows the centroid of a peak inside a region of
 * the spectrum: the first period with enough statistics gives the reference
 * centroid, and from the fifth such period on every period corrects the
 * factor by the ratio of the reference to the weighted centroid of the last
 * five periods. In temperature mode the factor follows the board's ADC
 * temperature with a linear coefficient.
 *
 * The record (SRVGainStabilizer_t) is a field of the energy spectrum. The
 * board thread runs it once per cycle; command 28 switches it, command 49
 * and every acquisition start reset it and apply the factor. All of it runs
 * under the board lock.
 */
#ifndef SRV_GAIN_STABILIZER_H
#define SRV_GAIN_STABILIZER_H

#include <stdbool.h>
#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Modes (the mode parameter truncated). */
enum { SRV_GSTAB_MODE_OFF = 0, SRV_GSTAB_MODE_PEAK = 1, SRV_GSTAB_MODE_TEMPERATURE = 2 };

/* A period needs a net count above this in the region. */
#define SRV_GSTAB_MIN_NET_COUNTS 5000.0

/* Binds the stabiliser of the spectrum (its channel set) to the channel's
 * "PARAM_CH_FGAIN_TEMP" and resets it, disabled. 0, or -17 when the board,
 * the spectrum's channel or the parameter is missing (a spectrum without a
 * histogram binds no factor and gives 0). */
SRVStatus_t SRV_InitGainStabilizer(SRVBoard_t* board, SRVEnergySpectrum_t* spectrum);
/* An enabled stabiliser goes back to collecting from slot 0 with every slot
 * zeroed and the factor 1.0 (written to the parameter's cached value only);
 * a disabled one is left alone. 0, or -17 for NULL. */
SRVStatus_t SRV_ResetGainStabilizer(SRVGainStabilizer_t* stabilizer);
/* Command 28's switch: 1 enables and resets; any other value disables and
 * keeps the state and the factor. 0. */
SRVStatus_t SRV_SwitchGainStabilizer(SRVEnergySpectrum_t* spectrum, uint32_t value);

/* Once per cycle for the spectrum's channel: when enabled and the interval
 * has passed, the update of the mode, then the factor applied. 0; -1 an
 * update or the apply failed; -8 unknown mode. */
int handleGainStabilization(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer);
/* Peak mode: collects the channel's events of this cycle into the current
 * slot, then updates the factor. 0 (also with too little statistics) or
 * -1. */
int _handleGainStabilitizationPeak(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer);
/* The update of peak mode: 0; -47 too little statistics (nothing changed but
 * what the slot collected); -41 no memory. A region that does not lie inside
 * a slot (first bin at least 0, last bin at least first + 2 and at most
 * 32767) counts as too little statistics. */
int SRV_UpdateGainCorrection(SRVGainStabilizer_t* stabilizer);
/* True when the net count of bins lo .. hi-1 above the straight baseline
 * through the mean of the first and of the last three bins exceeds 5,000. A
 * region outside the histogram has none. */
bool SRV_GainStabHasStatistics(const double* histogram, uint32_t lo, uint32_t hi);
/* The same test; the centroid of the net counts into *centroid (0 when there
 * are none). */
bool SRV_GainStabCentroid(const double* histogram, uint32_t lo, uint32_t hi, double* centroid);
/* The centroid of slot 0 as the reference: 0, or -47. */
int SRV_GainStabTakeReference(SRVGainStabilizer_t* stabilizer);
/* Temperature mode: factor := 1 - (T - Tref) x ppmc x 1e-6 from the board's
 * ADC temperature and its reference. 0, or -1 (factor unchanged). */
int SRV_GainStabTemperatureFactor(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer);
/* Writes the factor into "PARAM_CH_FGAIN_TEMP" and sets the channel's
 * "PARAM_CH_ENERGY_FINE_GAIN" again to its preferred value: the result of
 * that set (0 on success), or -17 when a parameter is missing. */
int SRV_ApplyGainCorrection(SRVBoard_t* board, SRVGainStabilizer_t* stabilizer);
/* Zeroes all five slot histograms. */
void SRV_GainStabClearSlots(double slots[SRV_GAIN_STABILIZER_SLOTS][SRV_SPECTRUM_MAX_BINS]);

#ifdef __cplusplus
}
#endif

#endif /* SRV_GAIN_STABILIZER_H */
