/*
 * CBoard_MorvaneShared: the device-table look-up and the few helpers that
 * the pieces of the device driver (CBoard_Morvane, CBoard_Morvane_Flash,
 * CBoard_Morvane_Read) share.
 */
#ifndef CBOARD_MORVANE_SHARED_H
#define CBOARD_MORVANE_SHARED_H

#include <stdint.h>

/* The device records, declared in CBoard_Morvane.h. */
struct c_MorvaneDevice_t;
struct c_MorvaneChannel_t;
struct c_MorvaneHVChannel_t;

namespace morvane {

/* The open slot of index slot; NULL for an index that is not an open slot. */
c_MorvaneDevice_t* slotOf(int slot);
/* The channel record holding a channel's time sums (channels 0 and 1). */
int sumsOf(int slot, uint32_t channel, c_MorvaneChannel_t** out);
/* Frees the calibration sets of a high-voltage channel. */
void freeCalibration(c_MorvaneHVChannel_t* hv);
/* The coarse DC-offset page of the device's flash into its slot. */
int loadCoarseDCO(c_MorvaneDevice_t* dev);

} // namespace morvane

#endif
