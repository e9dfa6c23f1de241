/*
 * ZarnBoard_Vesk: driver of the Vesk family: charge integration (DPP code
 * 130) and pulse-shape discrimination (DPP code 131) firmware; the variant
 * of family 12 carries two high-voltage channels (its family row says so).
 */
#ifndef ZARN_BOARD_VESK_H
#define ZARN_BOARD_VESK_H

#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Pulse-shape setup: memory from register 0x8140, type name, energy and
 * time-tag bits, VESK_InitBoard, the parameters and, on a family whose row
 * clears them (12), channel 0's enable register written back with bits 2 and
 * 3 cleared. */
int VESK_InitDPPPSD(c_Digitizer_t* digitizer);
/* Descriptor values shared by both firmware types (memory block, ADC bits,
 * sample period 4 ns, channel count, virtual traces) and the high-voltage
 * records of the family row's channels (two on family 12) with their single
 * range. */
int VESK_InitBoard(c_Digitizer_t* digitizer);

/* Probe codes of the digital-slot selectors: table A (slot 5) and table B
 * (slot 6; also Tilk slot 5); -1 for a refused selector. */
int32_t VESK_DigitalProbeCodeA(uint32_t selector);
int32_t VESK_DigitalProbeCodeB(uint32_t selector);

/* Decoders: one channel aggregate into the channel's events from first on
 * (at most freeSlots); *decoded receives how many. -39 malformed, -34 more
 * events than free slots, -33 a waveform without a waveform record. */
struct c_DPPEvent_t;
int VESK_DecodePSDChannelAggregate(c_Digitizer_t* digitizer, uint32_t channel, uint32_t* aggregate, uint32_t freeSlots,
                                   struct c_DPPEvent_t* first, int32_t* decoded);
int VESK_DecodeCIChannelAggregate(c_Digitizer_t* digitizer, uint32_t channel, uint32_t* aggregate, uint32_t freeSlots,
                                  struct c_DPPEvent_t* first, int32_t* decoded);

#ifdef __cplusplus
}
#endif

#endif
