/*
 * ZarnBoard_Pemb: driver of the Pemb family (pulse-shape discrimination,
 * DPP code 136, and pulse-height analysis, DPP code 139; families 11 and 14):
 * firmware setup, PLL check, ADC auto-shutdown check and its restore.
 */
#ifndef ZARN_BOARD_PEMB_H
#define ZARN_BOARD_PEMB_H

#include "ZarnFamilySupport.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Descriptor values of the family; -41 for a family other than 11 and 14. */
int PEMB_InitBoard(c_Digitizer_t* digitizer);
/* -50 (and FAILSTATUS_PLL_UNLOCK) when the board reports its PLL unlocked: the
 * family's check is the shared rule of the family support. */
#define PEMB_CheckPLLLock GENERIC_CheckPLLLockedParameter
/* -36 (FAILSTATUS_ADC_SHUTDOWN) when the ADCs shut themselves down, -49
 * (also FAILSTATUS_OVER_TEMPERATURE and overTempMask) when channels are over
 * temperature. */
int PEMB_CheckADCShutdown(c_Digitizer_t* digitizer);
/* Releases the ADC shutdown unless channels are still over temperature. */
int PEMB_RestoreADCShutdown(c_Digitizer_t* digitizer);

/* Decoders: one channel-couple aggregate (pulse shape, DPP code 136; pulse
 * height, 139) into the events of the even and the odd channel; each
 * *decoded receives how many that channel got. -39 malformed, -34 more
 * events than free slots, -33 a waveform without a waveform record. */
struct c_DPPEvent_t;
int PEMB_DecodePSDCoupleAggregate(c_Digitizer_t* digitizer, uint32_t* aggregate, uint32_t evenChannel,
                                  uint32_t evenFree, struct c_DPPEvent_t* evenFirst, int32_t* evenDecoded,
                                  uint32_t oddChannel, uint32_t oddFree, struct c_DPPEvent_t* oddFirst,
                                  int32_t* oddDecoded);
int PEMB_DecodePHACoupleAggregate(c_Digitizer_t* digitizer, uint32_t* aggregate, uint32_t evenChannel,
                                  uint32_t evenFree, struct c_DPPEvent_t* evenFirst, int32_t* evenDecoded,
                                  uint32_t oddChannel, uint32_t oddFree, struct c_DPPEvent_t* oddFirst,
                                  int32_t* oddDecoded);

#ifdef __cplusplus
}
#endif

#endif
