/*
 * CBoard_Scope: boards running the standard waveform firmware (DPP codes 0
 * and 1, type name "SCOPE") on families 0 (Orlu), 4 (Draq), 5 (Tilk), 11 and
 * 14 (Pemb).
 *
 * Every trigger produces one event: a 4-word header (size, channel mask,
 * counter, trigger time tag) followed by the samples of every channel (group
 * on Draq) of the mask. The headers stay in the record's scope buffer; each
 * channel's samples land in analog slot 0 of that channel's next c_DPPEvent_t.
 */
#ifndef CBOARD_SCOPE_H
#define CBOARD_SCOPE_H

#include <stdint.h>

#include "ZarnDPPLayer.h"
#include "ZarnParameters.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

struct c_ReadoutBuffer_t;
struct c_ScopeEvent_t;

/* The firmware on one family: what the firmware table, the setup and the
 * walker pick by family. A family without a row has no such firmware. */
typedef struct SCOPE_Family_t {
    uint32_t familyCode;
    /* the family init; NULL: the family knows the firmware, but the library
     * does not support it there (every other field is then unused) */
    int (*init)(c_Digitizer_t* digitizer) = NULL;
    int (*checkPLL)(c_Digitizer_t* digitizer) = NULL;
    int (*checkShutdown)(c_Digitizer_t* digitizer) = NULL;   /* NULL: nothing to check */
    int (*restoreShutdown)(c_Digitizer_t* digitizer) = NULL; /* NULL: nothing to restore */
    /* the payload decoder of one event */
    int (*decodeEvent)(c_Digitizer_t* digitizer, uint32_t* payload, struct c_ScopeEvent_t* event) = NULL;
    /* samples of one unit of the payload: waveforms come in whole units */
    uint32_t waveformStep = 0;
} SCOPE_Family_t;

/* The row of a family, or NULL. */
const SCOPE_Family_t* SCOPE_FindFamily(uint32_t familyCode);

/* The scope buffer of a record opened from a raw-data file of this firmware
 * (DPP code 0 or 1), its event headers sized from the recorded
 * DPPL_PARAM_NABLT, so that the recorded buffers walk as the live ones did.
 * Any other firmware: 0 and nothing done. On failure the record has no scope
 * buffer. */
int SCOPE_InitReplay(c_Digitizer_t* digitizer);

/* Frees the record's scope buffer, where it has one. */
void SCOPE_FreeBuffer(c_Digitizer_t* digitizer);

/* (Re)allocates the scope buffer's event headers: DPPL_PARAM_NABLT of them.
 * A record without a scope buffer: 0 and nothing done. */
int SCOPE_AllocEventBuffer(c_Digitizer_t* digitizer);

/* Walks a readout buffer of events: headers into the scope buffer, samples
 * into the channels' events. -39 for a malformed buffer (also a buffer that
 * ends inside an event), -34 for more events than allocated, -33 for a
 * channel event without a waveform, -8 for a trace too small. Events decoded
 * before a failure stay with their counts. */
int SCOPE_GetEvents(c_Digitizer_t* digitizer, struct c_ReadoutBuffer_t* buffer);

/* Decodes the 4 header words at event into *out (time-tag extension on
 * channel 0's state). The caller guarantees that the event's words are
 * readable. */
int SCOPE_DecodeEventHeader(c_Digitizer_t* digitizer, uint32_t* event, struct c_ScopeEvent_t* out);

/* Family payload decoders: the payloadWords words at payload, for the
 * decoded header *event. */
int ORLU_DecodeScopeEvent(c_Digitizer_t* digitizer, uint32_t* payload, struct c_ScopeEvent_t* event);
int PEMB_DecodeScopeEvent(c_Digitizer_t* digitizer, uint32_t* payload, struct c_ScopeEvent_t* event);
int DRAQ_DecodeScopeEvent(c_Digitizer_t* digitizer, uint32_t* payload, struct c_ScopeEvent_t* event);
int TILK_DecodeScopeEvent(c_Digitizer_t* digitizer, uint32_t* payload, struct c_ScopeEvent_t* event);

/* The value-list definition functions of parameters this firmware does not
 * offer, Vexil_DefineVirtualProbeValues and Vexil_DefineWaveDownsamplingValues,
 * are exported (ZarnDPPLayer.h). */

#ifdef __cplusplus
}
#endif

#endif
