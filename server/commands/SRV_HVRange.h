/*
 * SRV_HVRange: the high-voltage commands.
 *
 * Command 37 reports an HV channel's range count and polarity, command 38 the
 * limits, kind and names of one range, commands 43 and 44 switch a channel on
 * and off, command 45 reports the on-state and optionally sets it. Switching
 * goes through the library's set path of DPPL_PARAM_HVCH_ON; the settings
 * themselves are ordinary HV channel and HV range parameters.
 */
#ifndef SRV_HV_RANGE_H
#define SRV_HV_RANGE_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reply fields of command 38, by data-mask bit: limits[0..20] are the
 * minimum, maximum and step of VSET, ISET, VMON, IMON, VMAX, RAMPUP and
 * RAMPDOWN (bits 0 to 20); kind is bit 21, codename bit 22, name bit 23. */
#define SRV_HV_RANGE_LIMITS 21
#define SRV_HV_RANGE_TEXT   48

typedef struct SRVHVRangeInfo_t {
    double limits[SRV_HV_RANGE_LIMITS];
    int32_t kind; /* the range code: 0, 1 or 2 */
    char codename[SRV_HV_RANGE_TEXT];
    char name[SRV_HV_RANGE_TEXT];
} SRVHVRangeInfo_t;

/* Reads DPPL_PARAM_HVCH_ON of HV channel h into *state (1 when on), then,
 * with a new state, sets it to 1.0 or 0.0. 0 or -10. */
SRVStatus_t SRV_GetSetHVChannelOn(SRVBoard_t* board, int32_t hvChannel, const uint8_t* newState, uint8_t* state);
/* Range count of the server's HV-channel record and the library polarity:
 * 0, -33 (no such channel) or -42 (a polarity other than 0 or 1). */
SRVStatus_t SRV_GetHVChannelInfo(SRVBoard_t* board, int32_t hvChannel, uint32_t* ranges, uint32_t* polarity);
/* The range that the index path names (pairs of index and object type 3 or
 * 4): 0, -10 (another object type), -33 (no such channel or range) or -1 (a
 * range code other than 0 to 2). */
SRVStatus_t SRV_GetHVRangeInfo(SRVBoard_t* board, const int32_t* path, uint32_t pathLength, SRVHVRangeInfo_t* info);

#ifdef __cplusplus
}
#endif

#endif /* SRV_HV_RANGE_H */
