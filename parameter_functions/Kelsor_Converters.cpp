/*
 * Kelsor_Converters: the value/register converters of channel and board
 * parameters (time and samples, energy normalisation, DC offset, flat-top
 * delay, scope record length). The high-voltage converters are in
 * Kelsor_HighVoltage.cpp.
 *
 * Converters never fail: a missing parameter or an unusable input (a zero
 * sample period, a zero calibration gain, NaN) is logged and gives 0, which
 * the library writes or reports like any other value.
 */
#include <math.h>

#include "KelsorFirmwareTable.h"
#include "KelsorShared.h"

namespace {

const double kDcoScale = 655.35;                       /* DAC codes per percent of full scale */
const double kReliabilityPercent = 14.285714285714286; /* 100 / 7 */

/* round(value / increment) * increment for a range parameter with a step. */
double roundToIncrement(const c_Parameter_t* param, double value) {
    if (param->type != C_PARAM_TYPE_RANGE || param->incr == 0.0 || !isfinite(param->incr))
        return value;
    return round(value / param->incr) * param->incr;
}

/* r clamped to 0..F and truncated. */
uint32_t clampField(double r, uint32_t fieldMax) {
    if (r > (double)fieldMax)
        return fieldMax;
    if (r < 0.0)
        return 0;
    return (uint32_t)r;
}

bool codeIn(const c_ParamCollection_t* collection, int32_t code) {
    return collection != NULL && code >= collection->firstCode && code <= collection->lastCode;
}

/* ---------------------------------------------------- time and samples */

uint32_t nanoToSamples(const c_ParamRef_t* ref, double value, double factor) {
    double period;
    if (!refUsable(ref) || !samplePeriod(ref, &period))
        return 0;
    return truncLow32(value / (factor * period));
}

double samplesToNano(const c_ParamRef_t* ref, uint32_t field, double factor) {
    if (!refUsable(ref))
        return 0.0;
    return ((double)field * ref->board->descriptor.SamplePeriod) * factor;
}

/* ---------------------------------------------------------- DC offset */

/* Polarity and calibration of the parameter's channel or group. */
struct DcoCalibration {
    uint32_t number;
    double polarity;
    double gain;   /* P0 */
    double offset; /* P1 */
};

bool findDcoCalibration(const c_ParamRef_t* ref, DcoCalibration* out) {
    c_Digitizer_t* digitizer = ref->board;
    int32_t code = ref->param->code;
    uint32_t number = channelOf(ref);
    c_Parameter_t *polarity = NULL, *p0 = NULL, *p1 = NULL;
    bool known = false;
    if (codeIn(digitizer->channels[0].coll, code)) {
        known = true;
        polarity = c_pfindc(digitizer, (int32_t)number, DPPL_PARAM_CH_POLARITY);
        p0 = c_pfindc(digitizer, (int32_t)number, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0);
        p1 = c_pfindc(digitizer, (int32_t)number, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P1);
    } else if (digitizer->descriptor.NumGroups > 0 && codeIn(digitizer->groupColl[0], code)) {
        known = true;
        polarity = c_pfindg(digitizer, (int32_t)number, DPPL_PARAM_GR_POLARITY);
        p0 = c_pfindg(digitizer, (int32_t)number, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P0);
        p1 = c_pfindg(digitizer, (int32_t)number, DPPL_PARAM_GR_DC_OFFSET_CALIBRATION_P1);
    }
    if (!known || polarity == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Polarity. Can't set DC OFFSET properly.", number);
        return false;
    }
    if (p0 == NULL || p1 == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Calibration Parameters. Can't set DC OFFSET properly.", number);
        return false;
    }
    *out = {number, polarity->value, p0->value, p1->value};
    return true;
}

bool findMorvaneDcoCalibration(const c_ParamRef_t* ref, DcoCalibration* out) {
    uint32_t channel = channelOf(ref);
    c_Parameter_t* p0 = c_pfindc(ref->board, (int32_t)channel, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P0);
    c_Parameter_t* p1 = c_pfindc(ref->board, (int32_t)channel, DPPL_PARAM_CH_DC_OFFSET_CALIBRATION_P1);
    if (p0 == NULL || p1 == NULL) {
        KLOG(ref->board, C_LOG_ERROR, "[%u]: Can't get Calibration Parameters. Can't set DC OFFSET properly.", channel);
        return false;
    }
    *out = {channel, 0.0, p0->value, p1->value};
    return true;
}

/* A calibration gain of 0 (or a NaN anywhere) cannot be inverted. */
bool dcoCalibrationUsable(const c_ParamRef_t* ref, const DcoCalibration& calibration, double value) {
    if (calibration.gain != 0.0 && isfinite(calibration.gain) && isfinite(calibration.offset) && isfinite(value))
        return true;
    KLOG(ref->board, C_LOG_ERROR, "[%u]: Invalid DC offset calibration (P0 %f, P1 %f). Can't set DC OFFSET properly.",
         calibration.number, calibration.gain, calibration.offset);
    return false;
}

} // namespace

extern "C" {

uint32_t NanoToSample(const c_ParamRef_t* ref, double value) { return nanoToSamples(ref, value, 1.0); }
uint32_t NanoToSample2(const c_ParamRef_t* ref, double value) { return nanoToSamples(ref, value, 2.0); }
uint32_t NanoToSample4(const c_ParamRef_t* ref, double value) { return nanoToSamples(ref, value, 4.0); }
uint32_t NanoToSample8(const c_ParamRef_t* ref, double value) { return nanoToSamples(ref, value, 8.0); }
uint32_t NanoToSample12(const c_ParamRef_t* ref, double value) { return nanoToSamples(ref, value, 12.0); }
uint32_t NanoToSample16(const c_ParamRef_t* ref, double value) { return nanoToSamples(ref, value, 16.0); }
double SampleToNano(const c_ParamRef_t* ref, uint32_t field) { return samplesToNano(ref, field, 1.0); }
double SampleToNano2(const c_ParamRef_t* ref, uint32_t field) { return samplesToNano(ref, field, 2.0); }
double SampleToNano4(const c_ParamRef_t* ref, uint32_t field) { return samplesToNano(ref, field, 4.0); }
double SampleToNano8(const c_ParamRef_t* ref, uint32_t field) { return samplesToNano(ref, field, 8.0); }
double SampleToNano12(const c_ParamRef_t* ref, uint32_t field) { return samplesToNano(ref, field, 12.0); }
double SampleToNano16(const c_ParamRef_t* ref, uint32_t field) { return samplesToNano(ref, field, 16.0); }

uint32_t NanoToSample_offset3(const c_ParamRef_t* ref, double value) {
    double period;
    if (!refUsable(ref) || !samplePeriod(ref, &period))
        return 0;
    return truncLow32(value / period - 3.0);
}

double SampleToNano_offset3(const c_ParamRef_t* ref, uint32_t field) {
    if (!refUsable(ref))
        return 0.0;
    return (double)(uint32_t)(field + 3u) * ref->board->descriptor.SamplePeriod;
}

double ReliabToPercent(const c_ParamRef_t* ref, uint32_t field) {
    (void)ref;
    return field * kReliabilityPercent;
}

uint32_t EnfToShf(const c_ParamRef_t* ref, double enf) {
    double period;
    if (!refUsable(ref) || !samplePeriod(ref, &period))
        return 0;
    c_Digitizer_t* digitizer = ref->board;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* rise = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TRAP_TRISE);
    if (rise == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Trap Rise Time. Can't calculate ENF.", channel);
        return 0;
    }
    c_Parameter_t* decay = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TDECAY);
    if (decay == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Input Decay Time. Can't calculate ENF.", channel);
        return 0;
    }
    /* A factor of 0 or less would never be doubled past N. */
    if (!(enf > 0.0) || !isfinite(enf)) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Invalid energy normalization factor %f. Can't calculate ENF.", channel,
             enf);
        return 0;
    }
    uint32_t n = truncLow32(decay->value / period) * truncLow32(rise->value / period);
    if (truncClamped32(enf) > n)
        return 0xFFFFFFFFu;
    /* The first s with trunc(enf * 2^(s+1)) > N, compared without wrapping;
     * enf > 0 doubles past any N (at worst to infinity) within the bound. */
    for (uint32_t s = 0; s < 2200; s++)
        if (floor(ldexp(enf, (int)s + 1)) > (double)n)
            return s;
    return 0xFFFFFFFFu;
}

double ShfToEnf(const c_ParamRef_t* ref, uint32_t field) {
    if (!refUsable(ref))
        return 1.0;
    const c_Parameter_t* param = ref->param;
    if (param->valtoreg != NULL && param->valtoreg(ref, param->value) == field)
        return param->value;
    return 1.0;
}

uint32_t DC_OFFValToReg(const c_ParamRef_t* ref, double value) {
    DcoCalibration calibration;
    if (!refUsable(ref) || !findDcoCalibration(ref, &calibration))
        return 0;
    bool reversed = kelsorFirmwareOf(ref->board)->dcoPolarityReversed;
    bool mirrored = reversed ? calibration.polarity == 0.0 : calibration.polarity == 1.0;
    if (!dcoCalibrationUsable(ref, calibration, value))
        return 0;
    double x = mirrored ? 100.0 - value : value;
    double r = (100.0 - (x - calibration.offset) / calibration.gain) * kDcoScale;
    return clampField(r, maskFieldMax(ref->param->mask));
}

double DC_OFFRegToVal(const c_ParamRef_t* ref, uint32_t field) {
    DcoCalibration calibration;
    if (!refUsable(ref) || !findDcoCalibration(ref, &calibration))
        return 0.0;
    bool reversed = kelsorFirmwareOf(ref->board)->dcoPolarityReversed;
    bool direct = reversed ? calibration.polarity == 1.0 : calibration.polarity == 0.0;
    double code = (double)field;
    double value = direct ? ((65535.0 - code) * 100.0 / 65535.0) * calibration.gain + calibration.offset
                          : 100.0 - ((100.0 - code * 100.0 / 65535.0) * calibration.gain + calibration.offset);
    return roundToIncrement(ref->param, value);
}

uint32_t XMOR_DC_OFFValToReg(const c_ParamRef_t* ref, double value) {
    DcoCalibration calibration;
    if (!refUsable(ref) || !findMorvaneDcoCalibration(ref, &calibration))
        return 0;
    if (!dcoCalibrationUsable(ref, calibration, value))
        return 0;
    double r = (value - calibration.offset) / calibration.gain * kDcoScale;
    return clampField(r, maskFieldMax(ref->param->mask));
}

double XMOR_DC_OFFRegToVal(const c_ParamRef_t* ref, uint32_t field) {
    DcoCalibration calibration;
    if (!refUsable(ref) || !findMorvaneDcoCalibration(ref, &calibration))
        return 0.0;
    double value = (double)field * 100.0 / 65535.0 * calibration.gain + calibration.offset;
    return roundToIncrement(ref->param, value);
}

uint32_t FTDValToReg(const c_ParamRef_t* ref, double value) {
    if (!refUsable(ref))
        return 0;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* flatTop = c_pfindc(ref->board, (int32_t)channel, DPPL_PARAM_CH_TRAP_TFLAT);
    if (flatTop == NULL) {
        KLOG(ref->board, C_LOG_ERROR, "[%u]: Can't get Flat Top. Can't calculate FTD.", channel);
        return 0;
    }
    double delay = value / 100.0 * flatTop->value;
    if (flatTop->valtoreg == NULL)
        return truncLow32(delay);
    if (flatTop->incr != 0.0 && isfinite(flatTop->incr))
        delay = round(delay / flatTop->incr) * flatTop->incr;
    return flatTop->valtoreg(ref, delay);
}

double FTDRegToVal(const c_ParamRef_t* ref, uint32_t field) {
    if (!refUsable(ref))
        return 0.0;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* flatTop = c_pfindc(ref->board, (int32_t)channel, DPPL_PARAM_CH_TRAP_TFLAT);
    if (flatTop == NULL) {
        KLOG(ref->board, C_LOG_ERROR, "[%u]: Can't get Flat Top. Can't get FTD.", channel);
        return 0.0;
    }
    if (flatTop->value == 0.0 || !isfinite(flatTop->value)) {
        KLOG(ref->board, C_LOG_ERROR, "[%u]: Flat Top is %f. Can't get FTD.", channel, flatTop->value);
        return 0.0;
    }
    double delay = flatTop->regtoval != NULL ? flatTop->regtoval(ref, field) : (double)field;
    return roundToIncrement(ref->param, delay * 100.0 / flatTop->value);
}

uint32_t ScopeRecLenValToReg(const c_ParamRef_t* ref, double value) {
    double period;
    if (!refUsable(ref) || !samplePeriod(ref, &period))
        return 0;
    return truncLow32(value / (RecLenUnitSamples(ref->board) * period));
}

double ScopeRecLenRegToVal(const c_ParamRef_t* ref, uint32_t field) {
    if (!refUsable(ref))
        return 0.0;
    return RecLenUnitSamples(ref->board) * ((double)field * ref->board->descriptor.SamplePeriod);
}

} // extern "C"
