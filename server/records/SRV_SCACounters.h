/*
 * SRV_SCACounters: the software single-channel-analyser (SCA) counters of a
 * channel, for a board whose row says it counts no SCA events itself
 * (SRV_BoardAccess): the count and rate parameters the server keeps, their
 * reset at a start, one event counted, the rate once a second.
 */
#ifndef SRV_SCA_COUNTERS_H
#define SRV_SCA_COUNTERS_H

#include <stdint.h>

#include "SRV_BoardRecord.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* At an acquisition start of the channel: with the SCA enabled, zeroes its
 * counts and rate and sets its start time to now. 0, or -17 when one of its
 * parameters is missing. */
SRVStatus_t SRV_ResetSCACounters(SRVBoard_t* board, uint32_t channel, uint64_t now);
/* One event for the SCA (a board with software SCA only): 0 or -17. */
SRVStatus_t SRV_CountSCAEvent(SRVBoard_t* board, uint32_t channel);
/* The channel's SCA counts parameter, for a cycle that counts many events
 * into it: NULL, after the message, when the channel or the parameter is
 * missing. */
c_Parameter_t* SRV_FindSCACounts(SRVBoard_t* board, uint32_t channel);
/* One event into the counts parameter SRV_FindSCACounts found. */
static inline void SRV_AddSCAEvent(c_Parameter_t* counts) { counts->value += 1.0; }
/* The SCA rate in counts per millisecond over the elapsed time (a board with
 * software SCA only): 0 or -17. */
SRVStatus_t SRV_UpdateSCARate(SRVBoard_t* board, uint32_t channel, uint64_t elapsedMs);

#ifdef __cplusplus
}
#endif

#endif /* SRV_SCA_COUNTERS_H */
