/* ZarnSoftwareCFD: the software constant-fraction discriminator for fine time
 * stamps. Logs to the board layer's log under its source name
 * "ZarnBoard_GENERIC_CFD". */
#include "ZarnFamilySupport.h"

#include <math.h>
#include <string.h>

#include "ZarnParameters.h"
#include "ZarnRecordQueries.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC_CFD"};

#define ALOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

/* A time in ns as whole samples (0 for anything that is not a positive
 * finite number of samples). */
uint32_t samplesFromNs(double ns, double period) {
    double samples = ns / period;
    if (!(samples >= 0.0) || !isfinite(samples))
        return 0;
    return samples >= 4294967295.0 ? 0xFFFFFFFFu : (uint32_t)samples;
}

int16_t clampSample(double value) {
    if (!(value > -32768.0))
        return value != value ? 0 : -32768;
    if (value > 32767.0)
        return 32767;
    return (int16_t)value;
}

} // namespace

/* ---------------------------------------------------------- software CFD */

int64_t GENERIC_CalcSoftwareCFDTime(c_Digitizer_t* d, uint32_t channel, uint32_t delay, double fraction,
                                    uint32_t smoothExp, const int16_t* input, int16_t* output, uint32_t samples,
                                    uint32_t preTrigger, uint32_t preGate, int invert) {
    if (d == NULL || channel >= DPPL_MAX_CHANNELS || input == NULL || output == NULL || samples == 0)
        return -1;
    c_ChannelRecord_t* rec = &d->channels[channel];
    double* cfd = rec->cfdWork;
    if (cfd == NULL || rec->cfdCapacity < samples)
        return -1;
    const uint32_t n = samples;

    /* 1. Moving average of 2^smoothExp samples (fewer at the start). */
    uint32_t shift = smoothExp < 31 ? smoothExp : 31;
    uint64_t window = 1ull << shift;
    int64_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
        sum += input[i];
        if (i < window) {
            output[i] = (int16_t)(sum / (int64_t)(i + 1));
        } else {
            sum -= input[i - window];
            output[i] = (int16_t)(sum >> shift);
        }
    }

    /* 2. The CFD signal f x s(i) - s(i - D), on the inverted signal for
     * negative pulses. */
    uint32_t adcBits = d->descriptor.ADCBits < 16 ? d->descriptor.ADCBits : 16;
    const int32_t fullScale = (int32_t)((1u << adcBits) - 1);
    auto shaped = [&](uint32_t i) -> double {
        return invert ? (double)(int16_t)(fullScale - output[i]) : (double)output[i];
    };
    for (uint32_t i = 0; i < n; ++i)
        cfd[i] = fma(fraction, shaped(i), -shaped(i >= delay ? i - delay : 0));

    /* 3. Baseline over 90 % of the samples before the gate. */
    uint32_t window90 = preTrigger > preGate ? (uint32_t)(0.9 * (double)(preTrigger - preGate)) : 0;
    if (window90 > n)
        window90 = n;
    double baseline = 0.0;
    for (uint32_t i = 0; i < window90; ++i)
        baseline += cfd[i];
    if (window90 > 0)
        baseline /= window90;

    /* 4. The output trace shows the CFD signal about its baseline. */
    for (uint32_t i = 0; i < n; ++i)
        output[i] = clampSample(trunc(cfd[i] - baseline));
    if (window90 == 0)
        return -1; /* no baseline: no crossing */

    /* 5. First upward crossing of the baseline from the pre-trigger on; the
     * fit needs two samples before and one after it. */
    uint32_t crossing = 0;
    bool found = false;
    for (uint32_t i = preTrigger > 2 ? preTrigger : 2; i + 1 < n; ++i) {
        if (cfd[i - 1] < baseline && baseline < cfd[i]) {
            crossing = i;
            found = true;
            break;
        }
    }
    if (!found)
        return -1;

    /* 6. Cubic through the four samples around it (x = 0..3). */
    double y0 = cfd[crossing - 2] - baseline, y1 = cfd[crossing - 1] - baseline;
    double y2 = cfd[crossing] - baseline, y3 = cfd[crossing + 1] - baseline;
    double a3 = (y3 - y0 - 3.0 * (y2 - y1)) / 6.0;
    double a2 = (y2 + y0 - 2.0 * y1 - 6.0 * a3) / 2.0;
    double a1 = y1 - y0 - a3 - a2;
    auto cubic = [&](double x) { return ((a3 * x + a2) * x + a1) * x + y0; };

    /* 7. Its root in [1, 2] by regula falsi, at most 4 steps. */
    double lo = 1.0, hi = 2.0, pLo = cubic(lo), pHi = cubic(hi), x = lo;
    for (int step = 0; step < 4; ++step) {
        if (pHi - pLo == 0.0) {
            x = lo;
            break;
        }
        x = (pHi * lo - pLo * hi) / (pHi - pLo);
        double p = cubic(x);
        if (p == 0.0)
            break;
        if (p < 0.0) {
            lo = x;
            pLo = p;
        } else {
            hi = x;
            pHi = p;
        }
    }

    /* 8. From sample preTrigger - 1, in ps. */
    double ps = (x - 1.0 + (double)crossing - (double)preTrigger) * d->descriptor.SamplePeriod * 1000.0;
    if (!(ps >= 0.0) || !(ps < 9.2e18))
        return -1;
    return (int64_t)ps;
}

int GENERIC_GetSoftwareCFDSettings(c_Digitizer_t* d, uint32_t channel, c_CFDSettings_t* settings) {
    if (d == NULL || settings == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int32_t ch = (int32_t)channel;
    c_Parameter_t* preTrigger = c_pfindc(d, ch, DPPL_PARAM_CH_PRETRG);
    c_Parameter_t* preGate = c_pfindc(d, ch, DPPL_PARAM_CH_GATEPRE);
    c_Parameter_t* polarity = c_pfindc(d, ch, DPPL_PARAM_CH_POLARITY);
    if (preTrigger == NULL || preGate == NULL || polarity == NULL) {
        ALOG(d, C_LOG_ERROR, "[%u] Can't find preTrigger, preGate or polarity parameter.", (unsigned)channel);
        return DPPL_ERR_PARAMETER;
    }
    c_Parameter_t* delay = c_pfindc(d, ch, DPPL_PARAM_CH_CFD_DELAY);
    c_Parameter_t* fraction = c_pfindc(d, ch, DPPL_PARAM_CH_CFD_FRACTION);
    c_Parameter_t* smoothing = c_pfindc(d, ch, DPPL_PARAM_CH_CFD_SMOOTHEXP);
    if (delay == NULL || fraction == NULL || smoothing == NULL) {
        ALOG(d, C_LOG_ERROR, "[%u] Can't find CFD delay, fraction or smoothing parameter.", (unsigned)channel);
        return DPPL_ERR_PARAMETER;
    }
    if (isSecondGenerationReplay(d))
        return DPPL_ERR_NOT_SUPPORTED;
    struct Read {
        c_Parameter_t* param;
        const char* what;
        double value;
    } reads[] = {{preTrigger, "PreTrigger", 0}, {preGate, "PreGate", 0},       {polarity, "Polarity", 0},
                 {delay, "CFD Delay", 0},       {fraction, "CFD Fraction", 0}, {smoothing, "CFD Smoothing exp.", 0}};
    for (Read& r : reads) {
        int code = c_pget(d, r.param, &r.value);
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "[%u] Can't get %s from board (%i).", (unsigned)channel, r.what, code);
            return code;
        }
    }
    double period = d->descriptor.SamplePeriod;
    settings->preTrigger = samplesFromNs(reads[0].value, period);
    settings->preGate = samplesFromNs(reads[1].value, period);
    settings->polarity = isfinite(reads[2].value) && fabs(reads[2].value) < 2e9 ? (int32_t)reads[2].value : 0;
    settings->delay = samplesFromNs(reads[3].value, period);
    settings->fraction = reads[4].value;
    settings->smoothExp = samplesFromNs(reads[5].value, 1.0);
    return 0;
}

bool GENERIC_ApplySoftwareCFD(c_Digitizer_t* d, uint32_t channel, const c_CFDSettings_t* settings, c_DPPEvent_t* event,
                              int64_t* fineTimePs) {
    *fineTimePs = -1;
    c_ChannelRecord_t* rec = &d->channels[channel];
    if (!rec->fineTimeEnabled || settings->preTrigger <= 2 || event->waveform == NULL)
        return false;
    c_Waveform_t* w = event->waveform;
    uint32_t n = w->nSamples;
    c_Trace_t* in = &w->traces[0];
    c_Trace_t* out = &w->traces[1];
    if (in->samples == NULL || out->samples == NULL || in->capacity < n || out->capacity < n)
        return false;
    *fineTimePs = GENERIC_CalcSoftwareCFDTime(d, channel, settings->delay, settings->fraction, settings->smoothExp,
                                              (const int16_t*)in->samples, (int16_t*)out->samples, n,
                                              settings->preTrigger, settings->preGate, settings->polarity == 0);
    if (*fineTimePs < 0)
        ALOG(d, C_LOG_WARNING, "[%u] can't calculate fine TT for this event.", (unsigned)channel);
    return true;
}
