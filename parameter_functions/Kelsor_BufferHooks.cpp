/*
 * Kelsor_BufferHooks: the update hooks of the board's readout memory: buffer
 * organisation, aggregates per block transfer, and the reallocation of the
 * readout buffers. Hooks return a library status.
 */
#include <math.h>

#include "KelsorFirmwareTable.h"
#include "KelsorShared.h"

namespace {

const int kMaxBufferOrganisation = 10;
const uint32_t kDefaultBufferOrganisationMinimum = 4;

/* Lowest allowed BUFFORG. */
uint32_t bufferOrganisationMinimum(const c_Digitizer_t* digitizer, const c_Parameter_t* bufferOrganisation) {
    if (bufferOrganisation->type == C_PARAM_TYPE_LIST && bufferOrganisation->count > 0) {
        uint32_t lowest = UINT32_MAX;
        uint16_t count =
            bufferOrganisation->count < C_PARAM_MAX_VALUES ? bufferOrganisation->count : C_PARAM_MAX_VALUES;
        for (uint16_t i = 0; i < count; i++)
            if (bufferOrganisation->values[i].regvalue < lowest)
                lowest = bufferOrganisation->values[i].regvalue;
        return lowest;
    }
    if (bufferOrganisation->type == C_PARAM_TYPE_RANGE)
        return truncClamped32(bufferOrganisation->min);
    KLOG(digitizer, C_LOG_WARNING,
         "Unsupporter parameter type for parameter %s. Using default value %u for its minimum.",
         bufferOrganisation->name, kDefaultBufferOrganisationMinimum);
    return kDefaultBufferOrganisationMinimum;
}

/* M >> n for any n (0 beyond the word). */
uint32_t shiftedMemory(uint32_t memory, uint32_t n) { return n < 32 ? memory >> n : 0; }

bool nonZero(const c_Parameter_t* param) { return param != NULL && truncInt(param->value) != 0; }

} // namespace

extern "C" {

int UpdateBuffOrg(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Digitizer_t* digitizer = ref->board;
    c_Parameter_t* waveforms = c_pfind(digitizer, DPPL_PARAM_WAVEFORMS);
    c_Parameter_t* timeTag = c_pfind(digitizer, DPPL_PARAM_TIMETAG);
    c_Parameter_t* energy = c_pfind(digitizer, DPPL_PARAM_ENERGY);
    c_Parameter_t* extras = c_pfind(digitizer, DPPL_PARAM_EXTRAS);
    c_Parameter_t* format = c_pfind(digitizer, DPPL_PARAM_FORMAT); /* optional */
    c_Parameter_t* eventAggregation = c_pfind(digitizer, DPPL_PARAM_EVENTAGGR);
    c_Parameter_t* bufferOrganisation = c_pfind(digitizer, DPPL_PARAM_BUFFORG);
    if (waveforms == NULL || timeTag == NULL || energy == NULL || extras == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Acquisition Mode. Can't calculate BUFF_ORG.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    if (eventAggregation == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Event Aggregation. Can't calculate BUFF_ORG.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    if (bufferOrganisation == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Buffer Organization. This parameter won't be set.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    uint32_t minimum = bufferOrganisationMinimum(digitizer, bufferOrganisation);

    /* Event size in words. */
    uint64_t eventWords =
        (nonZero(timeTag) ? 1 : 0) + (nonZero(format) ? 1 : 0) + ((nonZero(energy) || nonZero(extras)) ? 1 : 0);
    if (nonZero(waveforms)) {
        c_Parameter_t* recordLength = c_pfind(digitizer, DPPL_PARAM_RECLEN);
        if (recordLength == NULL) {
            KLOG(digitizer, C_LOG_ERROR, "Can't get Record Length. This parameter won't be set.");
            return DPPL_ERR_NULL_ARGUMENT;
        }
        double length = 0.0;
        int result = c_pget(digitizer, recordLength, &length);
        if (result != 0)
            return result;
        c_ParamRef_t lengthRef = {digitizer, recordLength};
        eventWords += recordLength->valtoreg != NULL ? recordLength->valtoreg(&lengthRef, length) : truncLow32(length);
    }

    uint32_t memory = digitizer->descriptor.MemSize;
    double aggregation = eventAggregation->value;
    /* Words one aggregation needs, compared without 32-bit wrap-around. */
    double needed = floor((double)eventWords * aggregation);
    for (int64_t n = kMaxBufferOrganisation; n >= (int64_t)minimum; n--)
        if ((double)shiftedMemory(memory, (uint32_t)n) >= needed)
            return c_pset_nopref(digitizer, bufferOrganisation, (double)n);

    if (eventWords == 0) /* empty events fit any aggregation */
        return c_pset_nopref(digitizer, bufferOrganisation, (double)minimum);
    uint64_t fitting = shiftedMemory(memory, minimum) / eventWords;
    if (fitting == 0) {
        KLOG(digitizer, C_LOG_ERROR, "Cannot find a suitable event aggregation for the given event size.");
        return DPPL_ERR_NO_EVENT_AGGREGATION;
    }
    KLOG(digitizer, C_LOG_WARNING, "EvtAggr=%.0f is not possible due to event size. EvtAggr will be set to %u.",
         aggregation, (unsigned)fitting);
    int result = c_pset_nopref(digitizer, eventAggregation, (double)fitting);
    if (result != 0)
        return result;
    return c_pset_nopref(digitizer, bufferOrganisation, (double)minimum);
}

int ScopeUpdateBuffOrg(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Digitizer_t* digitizer = ref->board;
    c_Parameter_t* bufferOrganisation = c_pfind(digitizer, DPPL_PARAM_BUFFORG);
    c_Parameter_t* recordLength = c_pfind(digitizer, DPPL_PARAM_RECLEN);
    if (bufferOrganisation == NULL || recordLength == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Record Length parameters. Can't calculate BUFF_ORG.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    double length = 0.0;
    int result = c_pget(digitizer, recordLength, &length);
    if (result != 0)
        return result;
    double period = digitizer->descriptor.SamplePeriod;
    double unit = RecLenUnitSamples(digitizer);
    uint64_t samples = truncClamped32(period > 0.0 ? length / period : 0.0);
    if (kelsorFamilyOf(digitizer)->reservedMemoryBlock)
        samples += (uint64_t)unit;
    uint32_t words = truncClamped32((double)digitizer->descriptor.MemSize * unit);
    for (int n = kMaxBufferOrganisation; n >= 0; n--)
        if ((uint64_t)(words >> n) >= samples)
            return c_pset_nopref(digitizer, bufferOrganisation, (double)n);
    KLOG(digitizer, C_LOG_ERROR, "unable to find suitable value for 'DPPL_PARAM_BUFFORG' with nSamples=%u",
         (unsigned)samples);
    return DPPL_ERR_GENERIC;
}

int UpdateNumAggrBLT(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Digitizer_t* digitizer = ref->board;
    c_Parameter_t* bufferOrganisation = c_pfind(digitizer, DPPL_PARAM_BUFFORG);
    if (bufferOrganisation == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Buffer Organization. This parameter won't be set.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    c_Parameter_t* aggregates = c_pfind(digitizer, DPPL_PARAM_NABLT);
    if (aggregates == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Number of Aggregates per BLT. This parameter won't be set.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    uint32_t exponent = (uint32_t)truncInt(bufferOrganisation->value) & 31u;
    uint32_t count = 1u << exponent;
    /* A whole memory of 1024 aggregates is one more than a 10-bit register
     * holds: ask for as many as it can take. */
    uint32_t registerMaximum = maskFieldMax(aggregates->mask);
    if (registerMaximum != 0 && count > registerMaximum)
        count = registerMaximum;
    return c_pset_nopref(digitizer, aggregates, (double)count);
}

int XMOR_UpdateNumAggrBLT(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Digitizer_t* digitizer = ref->board;
    c_Parameter_t* aggregates = c_pfind(digitizer, DPPL_PARAM_NABLT);
    if (aggregates == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Number of Aggregates per BLT. This parameter won't be set.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    c_Parameter_t* waveforms = c_pfind(digitizer, DPPL_PARAM_WAVEFORMS);
    if (waveforms == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get Acquisition Mode. Number of Aggregates per BLT won't be set.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    return c_pset_nopref(digitizer, aggregates, waveforms->value != 0.0 ? 1.0 : 1023.0);
}

int ReallocBuffers(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Digitizer_t* digitizer = ref->board;
    c_Parameter_t* automatic = c_pfind(digitizer, DPPL_PARAM_AUTOALLOC_BUFFERS);
    if (automatic != NULL && automatic->value == 0.0)
        return DPPL_OK;
    KLOG(digitizer, C_LOG_DETAIL, "Will now recalculate buffers.");
    int result = c_brealloc(digitizer);
    if (result != 0) {
        KLOG(digitizer, C_LOG_ERROR, "Error (%i) allocating buffers.", result);
        return result;
    }
    KLOG(digitizer, C_LOG_DETAIL, "RO Buffer Size=%u B", digitizer->roBuffer.ROAllocSize);
    return DPPL_OK;
}

} // extern "C"
