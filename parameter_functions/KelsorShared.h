/*
 * KelsorShared: the helpers the plug-in's files share: its log module, the
 * truncation of doubles into register words, the calling parameter's channel
 * and sample period, the record-length units of a family. Private to the
 * plug-in: nothing here is bound by code name.
 */
#ifndef KELSOR_SHARED_H
#define KELSOR_SHARED_H

#include <stdbool.h>
#include <stdint.h>

#include "Kelsor.h"

KELSOR_INTERNAL extern const c_LogModule_t Kelsor_log;

/* Message about the board of the call ("<model>_<serial>: " prefix). */
#define KLOG(digitizer, level, ...) c_extendedLogMsg(&Kelsor_log, (digitizer), (level), __LINE__, __VA_ARGS__)
/* Message without a board at hand. */
#define KPLAIN(level, ...) c_lprintf(&Kelsor_log, (level), __LINE__, __VA_ARGS__)

/* A double truncated toward zero to 64 bits, of which the low 32 bits are
 * kept. NaN gives 0; values beyond the 64-bit range are held at its ends. */
KELSOR_INTERNAL uint32_t truncLow32(double value);
/* A double truncated into 0..UINT32_MAX (NaN and negatives give 0). */
KELSOR_INTERNAL uint32_t truncClamped32(double value);
/* A double truncated to an int64 (NaN gives 0, held at the range ends). */
KELSOR_INTERNAL int64_t truncInt(double value);
/* A reference with a board and a parameter. */
KELSOR_INTERNAL bool refUsable(const c_ParamRef_t* ref);
/* The sample period in ns, or false after logging when it cannot divide. */
KELSOR_INTERNAL bool samplePeriod(const c_ParamRef_t* ref, double* period);
/* A count held to at most slots. */
KELSOR_INTERNAL int32_t boundedCount(uint32_t count, int32_t slots);
/* Channel (or group) of a parameter: bits 8-11 of its register address; a
 * number not below the channel count is replaced by 0. */
KELSOR_INTERNAL uint32_t channelOf(const c_ParamRef_t* ref);
/* Largest field value of a mask (0 for a mask of 0). */
KELSOR_INTERNAL uint32_t maskFieldMax(uint32_t mask);
/* Sets the parameter code of the calling parameter's channel again to its own
 * value, so that its register follows the change it depends on; what names
 * it in the log when the channel has none. */
KELSOR_INTERNAL int kelsorRefreshChannelParam(const c_ParamRef_t* ref, int32_t code, const char* what);
/* Samples per record-length step and per register unit of the family. */
KELSOR_INTERNAL uint32_t RecLenStepSamples(const c_Digitizer_t* digitizer);
KELSOR_INTERNAL double RecLenUnitSamples(const c_Digitizer_t* digitizer);

#endif /* KELSOR_SHARED_H */
