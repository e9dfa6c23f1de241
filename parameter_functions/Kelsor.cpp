/*
 * Kelsor: value/register converters, update hooks and definition functions
 * that the parameter definitions name by code name.
 *
 * Converters never fail: a missing parameter or an unusable input (a zero
 * sample period, a zero calibration gain, NaN) is logged and gives 0, which
 * the library writes or reports like any other value. Hooks return a library
 * status.
 */
#include "Kelsor.h"

#include <math.h>
#include <string.h>

#include "Orlu.h"
#include "Pemb.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnDigitizer.h"

static const c_LogModule_t Kelsor_log = {"KelsorLog.txt", "Kelsor"};

/* Message about the board of the call ("<model>_<serial>: " prefix). */
#define KLOG(digitizer, level, ...) c_extendedLogMsg(&Kelsor_log, (digitizer), (level), __LINE__, __VA_ARGS__)
/* Message without a board at hand. */
#define KPLAIN(level, ...) c_lprintf(&Kelsor_log, (level), __LINE__, __VA_ARGS__)

namespace {

const double kDcoScale = 655.35; /* DAC codes per percent of full scale */
const double kReliabilityPercent = 14.285714285714286; /* 100 / 7 */
const int32_t kMorvaneDppCode = DPPL_DPPCODE_MORVANE;
const uint32_t kSpiStatusRegister = 0x1088;
const uint32_t kSpiBusyBit = 0x4;
const int kSpiPolls = 16;
const uint32_t kSpiPollMs = 100;
const uint32_t kPllRestoreDelayMs = 500;
const int kMaxBufferOrganisation = 10;
const uint32_t kDefaultBufferOrganisationMinimum = 4;

/* ------------------------------------------------------ conversions */

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

bool refUsable(const c_ParamRef_t* ref) {
    return ref != NULL && ref->board != NULL && ref->param != NULL;
}

/* The sample period in ns, or false after logging when it cannot divide. */
bool samplePeriod(const c_ParamRef_t* ref, double* period) {
    *period = ref->board->descriptor.SamplePeriod;
    if (isfinite(*period) && *period > 0.0)
        return true;
    KLOG(ref->board, C_LOG_ERROR, "Invalid sample period %f. Can't convert parameter '%s'.", *period,
         ref->param->name);
    return false;
}

int32_t boundedCount(uint32_t count, int32_t slots) {
    return count < (uint32_t)slots ? (int32_t)count : slots;
}

int32_t channelsOf(const c_Digitizer_t* digitizer) {
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

/* round(value / increment) * increment for a range parameter with a step. */
double roundToIncrement(const c_Parameter_t* param, double value) {
    if (param->type != C_PARAM_TYPE_RANGE || param->incr == 0.0 || !isfinite(param->incr))
        return value;
    return round(value / param->incr) * param->incr;
}

/* Largest field value of a mask (0 for a mask of 0). */
uint32_t maskFieldMax(uint32_t mask) {
    if (mask == 0)
        return 0;
    return mask >> __builtin_ctz(mask);
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

/* A code variable that the definitions filled (a missing one is -1 and must
 * not match a parameter of code -1). */
bool codeIs(int32_t code, int32_t variable) {
    return variable != DPPL_INVALID_PARAMETER && code == variable;
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

/* ----------------------------------------------------- high voltage */

const c_HVConversionBlock_t* conversionOf(const c_Parameter_t* param) {
    return (const c_HVConversionBlock_t*)param->auxiliary;
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

/* ------------------------------------------------ buffer organisation */

/* Lowest allowed BUFFORG. */
uint32_t bufferOrganisationMinimum(const c_Digitizer_t* digitizer, const c_Parameter_t* bufferOrganisation) {
    if (bufferOrganisation->type == C_PARAM_TYPE_LIST && bufferOrganisation->count > 0) {
        uint32_t lowest = UINT32_MAX;
        uint16_t count = bufferOrganisation->count < C_PARAM_MAX_VALUES ? bufferOrganisation->count : C_PARAM_MAX_VALUES;
        for (uint16_t i = 0; i < count; i++)
            if (bufferOrganisation->values[i].regvalue < lowest)
                lowest = bufferOrganisation->values[i].regvalue;
        return lowest;
    }
    if (bufferOrganisation->type == C_PARAM_TYPE_RANGE)
        return truncClamped32(bufferOrganisation->min);
    KLOG(digitizer, C_LOG_WARNING, "Unsupporter parameter type for parameter %s. Using default value %u for its minimum.",
         bufferOrganisation->name, kDefaultBufferOrganisationMinimum);
    return kDefaultBufferOrganisationMinimum;
}

/* M >> n for any n (0 beyond the word). */
uint32_t shiftedMemory(uint32_t memory, uint32_t n) {
    return n < 32 ? memory >> n : 0;
}

bool nonZero(const c_Parameter_t* param) {
    return param != NULL && truncInt(param->value) != 0;
}

} // namespace

extern "C" {

/* ================================================================ converters */

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
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Invalid energy normalization factor %f. Can't calculate ENF.", channel, enf);
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
    bool morvane = ref->board->descriptor.DPPCode == kMorvaneDppCode;
    bool mirrored = morvane ? calibration.polarity == 0.0 : calibration.polarity == 1.0;
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
    bool morvane = ref->board->descriptor.DPPCode == kMorvaneDppCode;
    bool direct = morvane ? calibration.polarity == 1.0 : calibration.polarity == 0.0;
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

uint32_t RecLenStepSamples(const c_Digitizer_t* digitizer) {
    switch (digitizer->descriptor.FamilyCode) {
    case 0:
    case 3: return 2;
    case 4: return 3;
    case 5: return 7;
    case 11:
    case 14: return 10;
    default: return 1;
    }
}

double RecLenUnitSamples(const c_Digitizer_t* digitizer) {
    double step = RecLenStepSamples(digitizer);
    return digitizer->descriptor.FamilyCode == 4 ? step / 2.0 : step;
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

/* ============================================================ update hooks */

uint32_t kelsorRegisterValue(const c_ParamRef_t* ref, const c_Parameter_t* param) {
    if (param->valtoreg != NULL)
        return param->valtoreg(ref, param->value);
    return truncLow32(param->value);
}

/* The fine gain the board applies: the channel's fine gain times the gain
 * stabiliser's correction (DPPL_PARAM_CH_FGAIN_TEMP, 1.0 on a channel
 * without one), so that a new correction reaches the gain register. */
static double correctedFineGain(c_Digitizer_t* digitizer, int32_t channel, double fineGain) {
    c_Parameter_t* correction = c_pfindc(digitizer, channel, DPPL_PARAM_CH_FGAIN_TEMP);
    return correction != NULL ? fineGain * correction->value : fineGain;
}

int kelsorSetTrapShift(const c_ParamRef_t* ref, const c_LogModule_t* log, const KelsorShiftTexts_t* texts) {
    c_Digitizer_t* digitizer = ref->board;
    if (ref->param == NULL) {
        c_extendedLogMsg(log, digitizer, C_LOG_ERROR, __LINE__, "%s", texts->noCaller);
        return DPPL_ERR_PARAMETER;
    }
    int32_t channel = ref->param->index;
    c_Parameter_t* rise = c_pfindc(digitizer, channel, DPPL_PARAM_CH_TRAP_TRISE);
    if (rise == NULL) {
        c_extendedLogMsg(log, digitizer, C_LOG_ERROR, __LINE__, texts->noRise, channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* decay = c_pfindc(digitizer, channel, DPPL_PARAM_CH_TDECAY);
    if (decay == NULL) {
        c_extendedLogMsg(log, digitizer, C_LOG_ERROR, __LINE__, texts->noDecay, channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* fineGain = c_pfindc(digitizer, channel, DPPL_PARAM_CH_FGAIN);
    if (fineGain == NULL && texts->noGain != NULL) {
        c_extendedLogMsg(log, digitizer, C_LOG_ERROR, __LINE__, texts->noGain, channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* trapNorm = c_pfindc(digitizer, channel, DPPL_PARAM_CH_TRAP_NORM);
    if (trapNorm == NULL) {
        c_extendedLogMsg(log, digitizer, C_LOG_ERROR, __LINE__, texts->noNorm, channel);
        return DPPL_ERR_PARAMETER;
    }
    uint32_t product = kelsorRegisterValue(ref, decay) * kelsorRegisterValue(ref, rise);
    double gain = correctedFineGain(digitizer, channel, fineGain != NULL ? fineGain->value : 1.0);
    double shift = ::log((double)product / gain) / ::log(2.0);
    /* ln(0) or the logarithm of a negative gain has no shift. */
    if (!isfinite(shift)) {
        c_extendedLogMsg(log, digitizer, C_LOG_ERROR, __LINE__,
                         "[%d]: Invalid filter settings (rise x decay %u, fine gain %f). Can't compute SHF.", channel,
                         product, gain);
        return DPPL_ERR_PARAMETER;
    }
    /* A quotient below 1 (negative shift) gives shift 0, not a wrapped one. */
    return c_pset_nopref(digitizer, trapNorm, (double)truncClamped32(shift));
}

int SetNewShift(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_PARAMETER;
    switch (ref->board->descriptor.DPPCode) {
    case 128: return ORLU_SetNewShift(ref);
    case 139: return PEMB_SetNewShift(ref);
    default: break;
    }
    if (ref->param == NULL)
        return DPPL_ERR_PARAMETER;
    c_Parameter_t* fineGain = c_pfindc(ref->board, (int32_t)channelOf(ref), DPPL_PARAM_CH_FGAIN);
    if (fineGain == NULL)
        return DPPL_ERR_PARAMETER;
    return c_pset_nopref(ref->board, fineGain, fineGain->value);
}

int SetGainReg(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_PARAMETER;
    c_Digitizer_t* digitizer = ref->board;
    if (ref->param == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "SetGainReg calling parameter (TRAP_NORM) not found. Can't get channel nor shf value.");
        return DPPL_ERR_PARAMETER;
    }
    uint32_t channel = channelOf(ref);
    int64_t shift = truncInt(ref->param->value);
    c_Parameter_t* rise = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TRAP_TRISE);
    if (rise == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Trap Rise Time.", channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* decay = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TDECAY);
    if (decay == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Input Decay Time.", channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* fineGain = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_FGAIN);
    if (fineGain == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Fine Gain.", channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* gainReg = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_GAINREG);
    if (gainReg == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get GAINREG parameter. Can't set its value.", channel);
        return DPPL_ERR_PARAMETER;
    }
    double samples = (double)kelsorRegisterValue(ref, decay) * (double)kelsorRegisterValue(ref, rise);
    int exponent = shift > 4096 ? 4096 : shift < -4096 ? -4096 : (int)shift;
    double fine = correctedFineGain(digitizer, (int32_t)channel, fineGain->value);
    double gain = samples != 0.0 ? ldexp(fine, exponent) * gainReg->max / samples : NAN;
    if (!isfinite(gain)) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Invalid filter settings (rise x decay %.0f, shift %d). Can't set GAINREG.",
             channel, samples, exponent);
        return DPPL_ERR_PARAMETER;
    }
    return c_pset_nopref(digitizer, gainReg, (double)truncClamped32(gain));
}

int SetNewTrapNorm(const c_ParamRef_t* ref) {
    double period;
    if (!refUsable(ref))
        return DPPL_ERR_PARAMETER;
    c_Digitizer_t* digitizer = ref->board;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* rise = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TRAP_TRISE);
    if (rise == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Trap Rise Time. Can't calculate ENF.", channel);
        return DPPL_OK;
    }
    c_Parameter_t* decay = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TDECAY);
    if (decay == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get Input Decay Time. Can't calculate ENF.", channel);
        return DPPL_OK;
    }
    c_Parameter_t* gainTemp = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_FGAIN_TEMP);
    if (gainTemp == NULL) {
        KLOG(digitizer, C_LOG_WARNING, "[%u]: Can't get Fine Gain Temp. Assuming it is not supported", channel);
        return DPPL_OK;
    }
    if (!samplePeriod(ref, &period))
        return DPPL_ERR_PARAMETER;
    double enf = ref->param->value;
    uint32_t shift = EnfToShf(ref, enf);
    KLOG(digitizer, C_LOG_DETAIL, "[%u]: Current enf %.5f, fgain_temp %.5f", channel, enf, gainTemp->value);
    uint32_t n = truncLow32(decay->value / period) * truncLow32(rise->value / period);
    double scale = gainTemp->value * enf;
    double norm = (n != 0 && scale != 0.0)
                      ? 65535.0 * ldexp(1.0, shift > 4096 ? 4096 : (int)shift) / ((double)n / scale)
                      : NAN;
    c_Parameter_t* trapNorm = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TRAP_NORM);
    if (trapNorm == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get TRAP_NORM parameter. Can't set its value.", channel);
        return DPPL_ERR_PARAMETER;
    }
    if (!isfinite(norm)) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Invalid filter settings (N %u, enf %f). Can't set TRAP_NORM.", channel, n, enf);
        return DPPL_ERR_PARAMETER;
    }
    return c_pset_nopref(digitizer, trapNorm, norm);
}

int RecalcTriangParams(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Digitizer_t* digitizer = ref->board;
    if (ref->param != NULL && strcmp(ref->param->codename, "DPPL_PARAM_CH_TDECAY") == 0) {
        int result = SetNewShift(ref);
        if (result != 0) {
            KLOG(digitizer, C_LOG_ERROR, "Error (%i) in SetNewShift.", result);
            return result;
        }
    }
    uint32_t channel = channelOf(ref);
    KLOG(digitizer, C_LOG_INFO, "Will now recalculate triangle parameters for ch %u.", channel);
    int32_t slowNorm = 0, fastNorm = 0, slowShift = 0, fastShift = 0;
    int result = c_calcTriangParams(digitizer, (int32_t)channel, &slowNorm, &fastNorm, &slowShift, &fastShift);
    if (result != 0) {
        KLOG(digitizer, C_LOG_ERROR, "Error (%i) in triang params calculation.", result);
        return result;
    }
    const struct {
        int32_t code;
        int32_t value;
        const char* missing;
    } targets[] = {
        {DPPL_PARAM_CH_FAST_TRIANG_NORM, fastNorm, "Can't get fast triang norm param."},
        {DPPL_PARAM_CH_FAST_TRIANG_SHIFT, fastShift, "Can't get fast triang shift param."},
        {DPPL_PARAM_CH_SLOW_TRIANG_NORM, slowNorm, "Can't get slow triang norm param."},
        {DPPL_PARAM_CH_SLOW_TRIANG_SHIFT, slowShift, "Can't get slow triang shift param."},
    };
    for (const auto& target : targets) {
        c_Parameter_t* param = c_pfindc(digitizer, (int32_t)channel, target.code);
        if (param == NULL) {
            KLOG(digitizer, C_LOG_ERROR, "%s", target.missing);
            return DPPL_ERR_NULL_ARGUMENT;
        }
        result = c_pset_nopref(digitizer, param, (double)target.value);
        if (result != 0)
            return result;
    }
    return DPPL_OK;
}

int UpdateFTD(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_PARAMETER;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* delay = c_pfindc(ref->board, (int32_t)channel, DPPL_PARAM_CH_TRAP_FTD);
    if (delay == NULL) {
        KLOG(ref->board, C_LOG_ERROR, "[%u]: Can't get Flat Top Delay.", channel);
        return DPPL_ERR_PARAMETER;
    }
    return c_pset_nopref(ref->board, delay, delay->value);
}

int XMOR_UpdateDCO(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_PARAMETER;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* fine = c_pfindc(ref->board, (int32_t)channel, DPPL_PARAM_CH_FINE_DCOFFSET);
    if (fine == NULL) {
        KLOG(ref->board, C_LOG_ERROR, "[%u]: Can't get Fine DC Offset.", channel);
        return DPPL_ERR_PARAMETER;
    }
    return c_pset_nopref(ref->board, fine, fine->value);
}

int SetZeroCoarseDCO(const c_ParamRef_t* ref) {
    if (!refUsable(ref))
        return DPPL_ERR_PARAMETER;
    c_Digitizer_t* digitizer = ref->board;
    uint32_t channel = channelOf(ref);
    c_Parameter_t* coarseGain = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_CGAIN);
    c_Parameter_t* coarseOffset = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_COARSE_DCOFFSET);
    if (coarseGain == NULL || coarseOffset == NULL)
        return DPPL_ERR_PARAMETER;
    const c_CoarseDCOTable_t* table = digitizer->channels[channel].coarseDCO;
    if (table == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: No coarse DC offset data for this channel.", channel);
        return DPPL_ERR_PARAMETER;
    }
    uint16_t entries = coarseGain->count < DPPL_COARSE_DCO_ENTRIES ? coarseGain->count : DPPL_COARSE_DCO_ENTRIES;
    for (uint16_t i = 0; i < entries; i++)
        if (coarseGain->values[i].value == coarseGain->value)
            return c_pset_nopref(digitizer, coarseOffset, (double)table->entries[i].zeroOffset);
    return DPPL_ERR_PARAMETER;
}

/* Waits until the SPI of channel c is free: up to 16 reads 100 ms apart. */
static int CFD_WaitBITStatus(c_Digitizer_t* digitizer, uint32_t channel) {
    uint32_t address = (channel << 8) | kSpiStatusRegister;
    for (int poll = 0; poll < kSpiPolls; poll++) {
        uint32_t value = 0;
        if (ZARN_DGTZ_ReadRegister(digitizer->handle, address, &value) != 0) {
            KLOG(digitizer, C_LOG_ERROR, "Can't read register %u", address);
            return DPPL_ERR_DIGITIZER_API;
        }
        KLOG(digitizer, C_LOG_DETAIL, "CFD_WaitBITStatus: read %u from %u", value, address);
        if ((value & kSpiBusyBit) == 0)
            return DPPL_OK;
        c_sleep(kSpiPollMs);
    }
    return DPPL_ERR_TIMEOUT;
}

/* The SPI of a 16-channel board is shared: channel 4 serves 0-7, 15 serves 8-15. */
static int waitSharedSpi(c_Digitizer_t* digitizer, uint32_t index) {
    if (index < 8)
        return CFD_WaitBITStatus(digitizer, 4);
    if (index <= 15)
        return CFD_WaitBITStatus(digitizer, 15);
    return DPPL_ERR_INVALID_CHANNEL;
}

int WaitSPIFreeDCOffset(const c_ParamRef_t* ref) {
    if (!refUsable(ref))
        return DPPL_ERR_PARAMETER;
    c_Digitizer_t* digitizer = ref->board;
    KLOG(digitizer, C_LOG_DETAIL, "Waiting SPI free.");
    uint32_t index = ref->param->index;
    switch (digitizer->descriptor.DPPCode) {
    case 0:
        switch (digitizer->descriptor.FamilyCode) {
        case 0:
        case 5: return CFD_WaitBITStatus(digitizer, index);
        case 11:
        case 14: return waitSharedSpi(digitizer, index);
        default: return DPPL_ERR_INVALID_DPP_CODE;
        }
    case 128:
    case 130:
    case 131:
    case 132: return CFD_WaitBITStatus(digitizer, index);
    case 136:
    case 139: return waitSharedSpi(digitizer, index);
    default:
        KLOG(digitizer, C_LOG_ERROR, "function 'WaitSPIFreeDCOffset' still doesn't support this digitizer family.");
        return DPPL_ERR_GENERIC;
    }
}

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
    uint64_t eventWords = (nonZero(timeTag) ? 1 : 0) + (nonZero(format) ? 1 : 0) +
                          ((nonZero(energy) || nonZero(extras)) ? 1 : 0);
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
    uint32_t family = digitizer->descriptor.FamilyCode;
    uint64_t samples = truncClamped32(period > 0.0 ? length / period : 0.0);
    if (family == 11 || family == 14)
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

int RestorePLLUnlock(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_sleep(kPllRestoreDelayMs);
    return c_restorePLLUnlock(ref->board);
}

int UpdateSCAParams(const c_ParamRef_t* ref) {
    if (!refUsable(ref))
        return DPPL_ERR_NULL_ARGUMENT;
    if (truncInt(ref->param->value) == 0)
        return DPPL_OK;
    c_Digitizer_t* digitizer = ref->board;
    int32_t channel = (int32_t)channelOf(ref);
    c_Parameter_t* counts = c_pfindc(digitizer, channel, DPPL_PARAM_CH_SCA_COUNTS);
    if (counts == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Cannot find SCA Counts parameter. Can't update it.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    counts->value = 0.0;
    c_Parameter_t* start = c_pfindc(digitizer, channel, DPPL_PARAM_CH_SCA_START_TIME);
    if (start == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Cannot find SCA Start Time parameter. Can't update it.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    start->value = (double)c_get_time();
    c_Parameter_t* rate = c_pfindc(digitizer, channel, DPPL_PARAM_CH_SCA_RATE);
    if (rate == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Cannot find SCA Rate parameter. Can't update it.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    rate->value = 0.0;
    return DPPL_OK;
}

int UpdateADCInhibitLen(const c_ParamRef_t* ref) {
    if (!refUsable(ref))
        return DPPL_ERR_PARAMETER;
    c_Digitizer_t* digitizer = ref->board;
    int32_t channel = ref->param->index;
    c_Parameter_t* automatic = c_pfindc(digitizer, channel, DPPL_PARAM_CH_ADC_INHIBIT_LEN_AUTO);
    if (automatic == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get ADC inhibit length mode param.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    if (truncInt(automatic->value) == 0) {
        KLOG(digitizer, C_LOG_WARNING, "Not updating ADC inhibit length automatically: option not enabled.");
        return DPPL_OK;
    }
    c_Parameter_t* length = c_pfindc(digitizer, channel, DPPL_PARAM_CH_ADC_INHIBIT_LEN);
    if (length == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "Can't get ADC inhibit length param.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    return c_pset_nopref(digitizer, length, ref->param->value * 3.0 * digitizer->descriptor.SamplePeriod);
}

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
        {DPPL_PARAM_HVCH_VSET, "VSET", false},     {DPPL_PARAM_HVCH_RAMPUP, "RAMPUP", false},
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

int ScopeRecLenRangeLimitsDefinition(c_Parameter_t* param) {
    if (param == NULL || param->owner == NULL) {
        KPLAIN(C_LOG_ERROR, "ScopeRecLenRangeLimitsDefinition: NULL param or digitizer.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    const c_Digitizer_t* digitizer = (const c_Digitizer_t*)param->owner;
    uint32_t family = digitizer->descriptor.FamilyCode;
    double period = digitizer->descriptor.SamplePeriod;
    uint32_t step = RecLenStepSamples(digitizer);
    uint32_t factor = family == 4 ? 2 : 1;
    double unit = family == 4 ? step / 2.0 : (double)step;
    uint32_t reserved = (family == 11 || family == 14) ? 1 : 0;
    uint32_t memory = digitizer->descriptor.MemSize;
    uint32_t usable = memory > reserved ? memory - reserved : 0;
    param->min = param->incr = step * period;
    param->value = param->preferred = 16.0 * step * period;
    param->max = (double)(usable / factor) * factor * unit * period;
    return DPPL_OK;
}

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

/* ====================================== functions the board does not offer */

int Vexil_DefineVirtualProbeParameterValues(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_DefineWaveDownsamplingParameterValues(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_RecordLengthLimitsDefinition(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetChannelsTriggerMask(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetChannelsTriggerMaskHL(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetCoincMode(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetRecordLengthParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetTriggerGeneric(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetVirtualProbeParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetWaveDownsamplingParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }
int Vexil_SetWaveformsParameter(const c_ParamRef_t*, double) { return DPPL_ERR_NOT_SUPPORTED; }

int Vexil_UpdateRecordLengthParameter(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    return c_pfind(ref->board, DPPL_PARAM_RECLEN) != NULL ? DPPL_ERR_NOT_SUPPORTED : DPPL_ERR_NULL_ARGUMENT;
}

} // extern "C"
