/*
 * Kelsor_HighVoltage: the functions of the high-voltage parameters, whose
 * owners are the record's high-voltage channel and range blocks: the
 * polynomial converters of a range, the monitored current, the hooks run
 * when a range or the monitor offset changes, and the definition functions
 * that fill limits and lists from the blocks.
 */
#include <math.h>
#include <stdio.h>

#include "KelsorShared.h"

namespace {

const c_HVConversionBlock_t* conversionOf(const c_Parameter_t* param) {
    return (const c_HVConversionBlock_t*)param->auxiliary;
}

/* Inverse of a degree-1 or degree-2 polynomial raw = c0 + c1*x + c2*x^2;
 * 0 where there is none. */
double PolyFitInverse(int32_t degree, const double* coeff, double raw) {
    if (coeff == NULL)
        return 0.0;
    double c0 = coeff[0], c1 = coeff[1], c2 = coeff[2];
    double result = 0.0;
    if (degree == 2 && c2 != 0.0) {
        double discriminant = c1 * c1 - (c0 - raw) * (4.0 * c2);
        if (!(discriminant >= 0.0)) /* negative (or NaN): no real inverse */
            return 0.0;
        /* The root (sqrt(D) - c1) / (2 c2), written so that no two nearly
         * equal numbers are subtracted: a fit of a straight calibration has a
         * square term of rounding size, and the plain form then loses every
         * digit of the difference (a code of 1000 read back as 128). */
        double root = sqrt(discriminant);
        result = c1 >= 0.0 ? 2.0 * (raw - c0) / (root + c1) : (root - c1) / (2.0 * c2);
    } else if (degree == 1 || degree == 2) {
        /* A degree-2 fit whose square term is 0 is the straight line. */
        if (c1 == 0.0)
            return 0.0;
        result = (raw - c0) / c1;
    }
    return isfinite(result) ? result : 0.0;
}

double inverseOf(const c_Parameter_t* param, double raw) {
    const c_HVConversionBlock_t* block = conversionOf(param);
    if (block == NULL)
        return 0.0;
    return PolyFitInverse(block->degree, block->coeff, raw);
}

/* The high-voltage channel (index of the record's hv array) whose record is
 * owner, or -1. */
int32_t hvChannelOfOwner(const c_Digitizer_t* digitizer, const void* owner) {
    for (int32_t h = 0; h < DPPL_MAX_HV_CHANNELS; h++)
        if (owner == &digitizer->hv[h])
            return h;
    return -1;
}

/* The channel and range index of the range record owner, or false. */
bool hvRangeOfOwner(const c_Digitizer_t* digitizer, const void* owner, int32_t* channel, int32_t* range) {
    if (owner == NULL)
        return false;
    for (int32_t h = 0; h < DPPL_MAX_HV_CHANNELS; h++) {
        int32_t ranges = boundedCount(digitizer->hv[h].rangeCount, DPPL_MAX_HV_RANGES);
        for (int32_t i = 0; i < ranges; i++) {
            if (owner == &digitizer->hv[h].ranges[i]) {
                *channel = h;
                *range = i;
                return true;
            }
        }
    }
    return false;
}

/* Index of the range of HV channel h whose code is rangeCode, or -1. */
int32_t hvRangeWithCode(const c_Digitizer_t* digitizer, int32_t h, double rangeCode) {
    int32_t ranges = boundedCount(digitizer->hv[h].rangeCount, DPPL_MAX_HV_RANGES);
    for (int32_t i = 0; i < ranges; i++)
        if ((double)digitizer->hv[h].ranges[i].rangeCode == rangeCode)
            return i;
    return -1;
}

/* Reads a parameter through the get path; false when it is missing or the
 * read fails. */
bool readParam(c_Digitizer_t* digitizer, c_Parameter_t* param, double* value) {
    return param != NULL && c_pget(digitizer, param, value) == 0;
}

/* A code variable that the definitions filled (a missing one is -1 and must
 * not match a parameter of code -1). */
bool codeIs(int32_t code, int32_t variable) { return variable != DPPL_INVALID_PARAMETER && code == variable; }

} // namespace

extern "C" {

/* ================================================================ converters */

uint32_t PolyFitInterp(const c_ParamRef_t* ref, double value) {
    if (ref == NULL || ref->param == NULL)
        return 0;
    const c_HVConversionBlock_t* block = conversionOf(ref->param);
    if (block == NULL)
        return 0;
    double y;
    switch (block->degree) {
    case 0: y = block->coeff[0]; break;
    case 1: y = block->coeff[0] + block->coeff[1] * value; break;
    case 2: y = block->coeff[0] + block->coeff[1] * value + block->coeff[2] * value * value; break;
    default: y = 0.0; break;
    }
    return truncClamped32(round(y));
}

double PolyFitInterpInv(const c_ParamRef_t* ref, uint32_t field) {
    if (ref == NULL || ref->param == NULL)
        return 0.0;
    return fmax(0.0, inverseOf(ref->param, (double)field));
}

double PolyFitInterpInvHighRes(const c_ParamRef_t* ref, uint32_t field) {
    if (ref == NULL || ref->param == NULL)
        return 0.0;
    return fmax(0.0, inverseOf(ref->param, (double)field / 256.0));
}

double IMonRegToVal(const c_ParamRef_t* ref, uint32_t field) {
    if (!refUsable(ref))
        return 0.0;
    c_Digitizer_t* digitizer = ref->board;
    const c_Parameter_t* param = ref->param;
    int32_t h = -1, range = -1;
    if (!hvRangeOfOwner(digitizer, param->owner, &h, &range)) {
        KLOG(digitizer, C_LOG_ERROR, "IMonRegToVal: Cannot find IMON parameter. Will return value 0.0");
        return 0.0;
    }
    c_Parameter_t* status = c_pfindhvc(digitizer, h, DPPL_PARAM_HVCH_STATUS);
    c_Parameter_t* offset = c_pfindhvr(digitizer, h, range, DPPL_PARAM_HVCH_IMON_OFFSET);
    double statusValue = 0.0;
    if (!readParam(digitizer, status, &statusValue)) {
        KLOG(digitizer, C_LOG_ERROR, "IMonRegToVal: Can't get HVON parameter from HV channel %u. Will return value 0.0",
             (unsigned)h);
        return 0.0;
    }
    if ((truncInt(statusValue) & 1) == 0) /* channel off */
        return 0.0;
    if (offset == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "IMonRegToVal: Cannot find IMON parameter. Will return value 0.0");
        return 0.0;
    }
    double current = fmax(0.0, inverseOf(param, (double)field / 256.0)) - offset->value;
    return fmin(param->max, fmax(param->min, current));
}

/* ============================================================ update hooks */

int UpdateImonOffset(const c_ParamRef_t* ref) {
    if (!refUsable(ref))
        return DPPL_ERR_NULL_ARGUMENT;
    c_Digitizer_t* digitizer = ref->board;
    int32_t h = hvChannelOfOwner(digitizer, ref->param->owner);
    if (h < 0) {
        KLOG(digitizer, C_LOG_ERROR, "Parameter '%s' belongs to no HV channel of this board.", ref->param->name);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    double on = 0.0;
    if (!readParam(digitizer, c_pfindhvc(digitizer, h, DPPL_PARAM_HVCH_ON), &on)) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get ON for HV channel %u.", (unsigned)h);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    if (on != 1.0)
        return DPPL_OK;
    double activeRange = 0.0;
    if (!readParam(digitizer, c_pfindhvc(digitizer, h, DPPL_PARAM_HVCH_ACTIVE_RANGE), &activeRange)) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get ACTIVE_RANGE for HV channel %u.", (unsigned)h);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    int32_t range = hvRangeWithCode(digitizer, h, activeRange);
    if (range < 0) {
        KLOG(digitizer, C_LOG_ERROR, "Can't find a range with code %.0f for HV channel %u.", activeRange, (unsigned)h);
        return DPPL_ERR_GENERIC;
    }
    double offset = 0.0;
    if (!readParam(digitizer, c_pfindhvr(digitizer, h, range, DPPL_PARAM_HVCH_IMON_OFFSET), &offset)) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get IMON for HV channel %u.", (unsigned)h);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    return DPPL_OK;
}

int HVRangeChanged(const c_ParamRef_t* ref) {
    if (!refUsable(ref)) {
        KPLAIN(C_LOG_ERROR, "HVRangeChanged: NULL dig or param.");
        return DPPL_ERR_NOT_SUPPORTED;
    }
    c_Digitizer_t* digitizer = ref->board;
    int32_t h = hvChannelOfOwner(digitizer, ref->param->owner);
    int32_t range = h >= 0 ? hvRangeWithCode(digitizer, h, ref->param->value) : -1;
    if (range < 0) {
        KLOG(digitizer, C_LOG_ERROR, "HVRangeChanged: Can't find an HVRange with rangecode %.3f for HVChannel %u",
             ref->param->value, (unsigned)(h < 0 ? 0 : h));
        return DPPL_ERR_GENERIC;
    }
    const struct {
        int32_t code;
        const char* name;
        bool toMaximum; /* else the preferred value */
    } settings[] = {
        {DPPL_PARAM_HVCH_VSET, "VSET", false},         {DPPL_PARAM_HVCH_RAMPUP, "RAMPUP", false},
        {DPPL_PARAM_HVCH_RAMPDOWN, "RAMPDOWN", false}, {DPPL_PARAM_HVCH_ISET, "ISET", true},
        {DPPL_PARAM_HVCH_VMAX, "VMAX", true},
    };
    for (const auto& setting : settings) {
        c_Parameter_t* param = c_pfindhvr(digitizer, h, range, setting.code);
        if (param == NULL) {
            KLOG(digitizer, C_LOG_ERROR, "HVRangeChanged: Can't get %s from HVRange [%u:%u]", setting.name, (unsigned)h,
                 (unsigned)range);
            return DPPL_ERR_NOT_SUPPORTED;
        }
        double value = setting.toMaximum ? param->max : param->preferred;
        if (c_pset(digitizer, param, value) != 0) {
            if (setting.code == DPPL_PARAM_HVCH_ISET)
                KLOG(digitizer, C_LOG_ERROR, "HVRangeChanged: Can't set ISet to %.3f for HVRange [%u:%u]", value,
                     (unsigned)h, (unsigned)range);
            else if (setting.code == DPPL_PARAM_HVCH_VMAX)
                KLOG(digitizer, C_LOG_ERROR, "HVRangeChanged: Can't set VMax to %.3f for HVRange [%u:%u]", value,
                     (unsigned)h, (unsigned)range);
            else
                KLOG(digitizer, C_LOG_ERROR, "HVRangeChanged: Can't set %s to %.3f for HVRange [%u:%u]", setting.name,
                     value, (unsigned)h, (unsigned)range);
            return DPPL_ERR_NOT_SUPPORTED;
        }
    }
    return DPPL_OK;
}

bool HVRangeParameterCheckSoftware(const c_ParamRef_t* ref) {
    if (!refUsable(ref))
        return true;
    c_Digitizer_t* digitizer = ref->board;
    int32_t h = -1, range = -1;
    if (!hvRangeOfOwner(digitizer, ref->param->owner, &h, &range))
        return true; /* a range the record does not hold never reaches the board */
    c_Parameter_t* activeRange = c_pfindhvc(digitizer, h, DPPL_PARAM_HVCH_ACTIVE_RANGE);
    if (activeRange == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get DPPL_PARAM_HVCH_ACTIVE_RANGE for HVCH %u. Forcing SW parameter.",
             (unsigned)h);
        return true;
    }
    return activeRange->value != (double)digitizer->hv[h].ranges[range].rangeCode;
}

/* ===================================================== definition functions */

int HVRangeLimitsDefinition(c_Parameter_t* param) {
    if (param == NULL || param->owner == NULL) {
        KPLAIN(C_LOG_ERROR, "HVRangeLimitsDefinition: NULL param or hvrange.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    c_HVRangeBlock_t* range = (c_HVRangeBlock_t*)param->owner;
    int32_t code = param->code;
    int block = -1;
    bool startAtMaximum = false;
    if (codeIs(code, DPPL_PARAM_HVCH_VSET)) {
        block = HVCONV_VSET;
    } else if (codeIs(code, DPPL_PARAM_HVCH_VMAX)) {
        block = HVCONV_VMAX;
        startAtMaximum = true;
    } else if (codeIs(code, DPPL_PARAM_HVCH_ISET)) {
        block = HVCONV_ISET;
        startAtMaximum = true;
    } else if (codeIs(code, DPPL_PARAM_HVCH_RAMPUP)) {
        block = HVCONV_RAMPUP;
    } else if (codeIs(code, DPPL_PARAM_HVCH_RAMPDOWN)) {
        block = HVCONV_RAMPDOWN;
    } else if (codeIs(code, DPPL_PARAM_HVCH_VMON)) {
        block = HVCONV_VMON;
    } else if (codeIs(code, DPPL_PARAM_HVCH_IMON) || codeIs(code, DPPL_PARAM_HVCH_IMON_OFFSET)) {
        block = HVCONV_IMON;
    }
    if (block < 0) {
        KPLAIN(C_LOG_ERROR, "HVRangeLimitsDefinition: Unsupported parameter code %i.", code);
        return DPPL_ERR_NOT_SUPPORTED;
    }
    c_HVConversionBlock_t* conversion = &range->conv[block];
    param->min = conversion->min;
    param->max = conversion->max;
    param->incr = conversion->step;
    param->value = param->preferred = startAtMaximum ? conversion->max : conversion->min;
    param->auxiliary = conversion;
    return DPPL_OK;
}

int HVPolarityValuesDefinition(c_Parameter_t* param) {
    if (param == NULL || param->owner == NULL) {
        KPLAIN(C_LOG_ERROR, "HVPolarityValuesDefinition: NULL param or hvchannel.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    const c_HVChannelBlock_t* channel = (const c_HVChannelBlock_t*)param->owner;
    param->count = 1;
    param->values[0].value = (double)channel->polarity;
    param->value = (double)channel->polarity;
    return DPPL_OK;
}

int ActiveHVRangeValuesDefinition(c_Parameter_t* param) {
    if (param == NULL || param->owner == NULL) {
        KPLAIN(C_LOG_ERROR, "ActiveHVRangeValuesDefinition: NULL param or hvchannel.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    const c_HVChannelBlock_t* channel = (const c_HVChannelBlock_t*)param->owner;
    uint32_t ranges = channel->rangeCount < DPPL_MAX_HV_RANGES ? channel->rangeCount : DPPL_MAX_HV_RANGES;
    if ((uint32_t)param->count + ranges > C_PARAM_MAX_VALUES) {
        KPLAIN(C_LOG_ERROR, "ActiveHVRangeValuesDefinition: too few space in list array: avail=%u",
               (unsigned)C_PARAM_MAX_VALUES);
        return DPPL_ERR_INVALID_CHANNEL;
    }
    uint16_t first = param->count;
    for (uint32_t i = 0; i < ranges; i++) {
        const c_HVRangeBlock_t* range = &channel->ranges[i];
        c_ParamValue_t* entry = &param->values[param->count++];
        snprintf(entry->codename, sizeof entry->codename, "%.*s", C_PARAM_TEXT_SIZE - 1, range->codename);
        snprintf(entry->name, sizeof entry->name, "%.*s", C_PARAM_TEXT_SIZE - 1, range->name);
        entry->regvalue = (uint32_t)range->rangeCode;
        entry->value = (double)range->rangeCode;
    }
    if (ranges > 0)
        param->value = param->preferred = param->values[first].value;
    return DPPL_OK;
}

} // extern "C"
