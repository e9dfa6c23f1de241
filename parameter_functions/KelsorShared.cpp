/*
 * KelsorShared: the helpers the plug-in's files share (see KelsorShared.h).
 */
#include "KelsorShared.h"

#include <math.h>

#include "KelsorFirmwareTable.h"

const c_LogModule_t Kelsor_log = {"KelsorLog.txt", "Kelsor"};

/* A double truncated toward zero to 64 bits, of which the low 32 bits are
 * kept. NaN gives 0; values beyond the 64-bit range are held at its ends. */
uint32_t truncLow32(double value) {
    if (isnan(value))
        return 0;
    if (value >= 9223372036854775807.0)
        return (uint32_t)INT64_MAX;
    if (value <= -9223372036854775808.0)
        return (uint32_t)(uint64_t)INT64_MIN;
    return (uint32_t)(uint64_t)(int64_t)value;
}

/* A double truncated into 0..UINT32_MAX (NaN and negatives give 0). */
uint32_t truncClamped32(double value) {
    if (!(value > 0.0))
        return 0;
    if (value >= 4294967295.0)
        return UINT32_MAX;
    return (uint32_t)value;
}

/* A double truncated to an int64 (NaN gives 0, held at the range ends). */
int64_t truncInt(double value) {
    if (isnan(value))
        return 0;
    if (value >= 9223372036854775807.0)
        return INT64_MAX;
    if (value <= -9223372036854775808.0)
        return INT64_MIN;
    return (int64_t)value;
}

bool refUsable(const c_ParamRef_t* ref) { return ref != NULL && ref->board != NULL && ref->param != NULL; }

/* The sample period in ns, or false after logging when it cannot divide. */
bool samplePeriod(const c_ParamRef_t* ref, double* period) {
    *period = ref->board->descriptor.SamplePeriod;
    if (isfinite(*period) && *period > 0.0)
        return true;
    KLOG(ref->board, C_LOG_ERROR, "Invalid sample period %f. Can't convert parameter '%s'.", *period, ref->param->name);
    return false;
}

int32_t boundedCount(uint32_t count, int32_t slots) { return count < (uint32_t)slots ? (int32_t)count : slots; }

static int32_t channelsOf(const c_Digitizer_t* digitizer) {
    return boundedCount(digitizer->descriptor.NumChannels, DPPL_MAX_CHANNELS);
}

/* Channel (or group) of a parameter: bits 8-11 of its register address; a
 * number not below the channel count is replaced by 0. */
uint32_t channelOf(const c_ParamRef_t* ref) {
    if (ref->param == NULL)
        return 0;
    uint32_t channel = (ref->param->regaddr >> 8) & 0xF;
    if ((int32_t)channel >= channelsOf(ref->board)) {
        KLOG(ref->board, C_LOG_WARNING, "Channel %u is invalid. Will use 0 instead.", channel);
        return 0;
    }
    return channel;
}

/* Largest field value of a mask (0 for a mask of 0). */
uint32_t maskFieldMax(uint32_t mask) {
    if (mask == 0)
        return 0;
    return mask >> __builtin_ctz(mask);
}

uint32_t RecLenStepSamples(const c_Digitizer_t* digitizer) { return kelsorFamilyOf(digitizer)->recordLengthStep; }

double RecLenUnitSamples(const c_Digitizer_t* digitizer) {
    double step = RecLenStepSamples(digitizer);
    return kelsorFamilyOf(digitizer)->halfStepUnits ? step / 2.0 : step;
}

int kelsorRefreshChannelParam(const c_ParamRef_t* ref, int32_t code, const char* what) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_PARAMETER;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* param = c_pfindc(ref->board, (int32_t)channel, code);
    if (param == NULL) {
        KLOG(ref->board, C_LOG_ERROR, "[%u]: Can't get %s.", channel, what);
        return DPPL_ERR_PARAMETER;
    }
    return c_pset_nopref(ref->board, param, param->value);
}
