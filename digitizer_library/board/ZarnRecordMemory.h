/*
 * ZarnRecordMemory: what the library allocates for a digitizer record
 * besides the parameters' own records: its reset, its buffers (readout
 * buffer, event arrays with their waveforms and CFD work areas, the scope
 * event headers), their sizing from the parameters, reallocation and
 * release, the release of its parameter collections, and the channel
 * enables the sizing follows.
 *
 * Internal to the library (exported for its own tests); the interface's
 * buffer calls c_brealloc and c_bfixedealloc front it, and the channel and
 * group enables c_isChannelEnabled and c_isGroupEnabled (ZarnDPPLayer.h) are
 * implemented here.
 */
#ifndef ZARN_RECORD_MEMORY_H
#define ZARN_RECORD_MEMORY_H

#include <stdbool.h>
#include <stdint.h>

#include "ZarnDPPLayer.h"
#include "ZarnRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets everything (does not close): kind and handle -1, "DPP-NONE",
 * acquisition reset. */
void _resetDgtz(c_Digitizer_t* digitizer);

/* No bounds check: the caller passes a channel below the channel count. */
bool _isChannelEnabled(c_Digitizer_t* digitizer, int32_t channel);

int _freeDgtzBuffers(c_Digitizer_t* digitizer);
void _freeParamCollections(c_Digitizer_t* digitizer);
int _brealloc(c_Digitizer_t* digitizer);
int _bfixedalloc(c_Digitizer_t* digitizer, uint64_t readoutBytes, uint32_t eventsPerChannel,
                 uint32_t eventsWithWaveform, uint32_t samples);
int _mallocDPPEvtsBuffer(c_Digitizer_t* digitizer, int32_t channel);
/* events 0: the channel's capacity. */
int _mallocWaveforms(c_Digitizer_t* digitizer, int32_t channel, uint32_t events, uint32_t samples);
int c_mallocReadoutBuffer(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer);
void _freeWaveforms(c_DPPEvent_t* event);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_RECORD_MEMORY_H */
