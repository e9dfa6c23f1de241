/*
 * ZarnBoard_Draq: driver of the Draq family (family 4): charge-to-digital
 * conversion firmware (DPP code 135) and the descriptor values that the
 * standard waveform firmware of the family shares. Channels come in groups
 * of 8.
 */
#ifndef ZARN_BOARD_DRAQ_H
#define ZARN_BOARD_DRAQ_H

#include "ZarnFamilySupport.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptor values of the family: memory size from register 0x8140, memory
 * block, ADC bits, sample period 16 ns, the group count (the board
 * information's channel count) and 8 channels a group, no high voltage.
 * -43 on a replay record, -45 register unreadable, -35 unknown memory code. */
int DRAQ_InitBoard(c_Digitizer_t* digitizer);
/* -50 (and FAILSTATUS_PLL_UNLOCK) when the board reports its PLL unlocked: the
 * family's check is the shared rule of the family support. */
#define DRAQ_CheckPLLLock GENERIC_CheckPLLLockedParameter

/* Decoder: one charge group aggregate; each event goes to the next free slot
 * of its channel (channels[j], first[j], at most freeSlots[j]); decoded[j]
 * receives how many each channel got. -39 malformed, -34 more events than
 * free slots, -33 a waveform without a waveform record. */
struct c_DPPEvent_t;
int DRAQ_DecodeQDCGroupAggregate(c_Digitizer_t* digitizer, uint32_t* aggregate, const uint32_t channels[8],
                                 const uint32_t freeSlots[8], struct c_DPPEvent_t* first[8], uint32_t decoded[8]);

#ifdef __cplusplus
}
#endif

#endif
