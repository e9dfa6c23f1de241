/*
 * ZarnBoard_Tilk: driver of the Tilk family (family 5): pulse-shape
 * discrimination firmware (DPP code 132) and the descriptor values that the
 * standard waveform firmware of the family shares.
 */
#ifndef ZARN_BOARD_TILK_H
#define ZARN_BOARD_TILK_H

#include "ZarnFamilySupport.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptor values of the family: memory size from register 0x8140, memory
 * block, ADC bits, sample period 1 ns, channel count, no groups, no high
 * voltage. -43 on a replay record, -45 register unreadable, -35 unknown memory
 * code. */
int TILK_InitBoard(c_Digitizer_t* digitizer);
/* -50 (and FAILSTATUS_PLL_UNLOCK) when the board reports its PLL unlocked: the
 * family's check is the shared rule of the family support. */
#define TILK_CheckPLLLock GENERIC_CheckPLLLockedParameter

/* Decoder: one pulse-shape channel aggregate into the channel's events from
 * first on (at most freeSlots); *decoded receives how many. -39 malformed,
 * -34 more events than free slots, -33 a waveform without a waveform record. */
struct c_DPPEvent_t;
int TILK_DecodePSDChannelAggregate(c_Digitizer_t* digitizer, uint32_t channel, uint32_t* aggregate, uint32_t freeSlots,
                                   struct c_DPPEvent_t* first, int32_t* decoded);

#ifdef __cplusplus
}
#endif

#endif
