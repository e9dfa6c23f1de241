/*
 * ZarnBoard_Orlu: driver of the Orlu family (pulse-height analysis firmware,
 * DPP code 128; variants family 7, with two high-voltage channels, and
 * family 16): firmware setup and PLL check.
 */
#ifndef ZARN_BOARD_ORLU_H
#define ZARN_BOARD_ORLU_H

#include "ZarnFamilySupport.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptor values of the family (memory, sample period, channel, group and
 * high-voltage counts, ADC bits) and, on family 7, the high-voltage records
 * with their single range. */
int ORLU_InitBoard(c_Digitizer_t* digitizer);
/* -50 (and FAILSTATUS_PLL_UNLOCK) when the board reports its PLL unlocked: the
 * family's check is the shared rule of the family support. */
#define ORLU_CheckPLLLock GENERIC_CheckPLLLockedParameter

/* Decoder: one pulse-height channel aggregate into the channel's events from
 * first on (at most freeSlots); *decoded receives how many. -39 malformed,
 * -34 more events than free slots, -33 a waveform without a waveform record. */
struct c_DPPEvent_t;
int ORLU_DecodePHAChannelAggregate(c_Digitizer_t* digitizer, uint32_t channel, uint32_t* aggregate, uint32_t freeSlots,
                                   struct c_DPPEvent_t* first, int32_t* decoded);

#ifdef __cplusplus
}
#endif

#endif
