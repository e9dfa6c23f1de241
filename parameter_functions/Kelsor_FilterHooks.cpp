/*
 * Kelsor_FilterHooks: the update hooks of the energy filter: trapezoid shift
 * and normalisation, gain register, triangle filters and flat-top delay.
 * Hooks return a library status.
 */
#include <math.h>
#include <string.h>

#include "KelsorFirmwareTable.h"
#include "KelsorShared.h"

namespace {

/* A parameter's own valtoreg applied to its current value with the caller's
 * reference (its value truncated when it has none). */
uint32_t kelsorRegisterValue(const c_ParamRef_t* ref, const c_Parameter_t* param) {
    if (param->valtoreg != NULL)
        return param->valtoreg(ref, param->value);
    return truncLow32(param->value);
}

/* The fine gain the board applies: the channel's fine gain times the gain
 * stabiliser's correction (DPPL_PARAM_CH_FGAIN_TEMP, 1.0 on a channel
 * without one), so that a new correction reaches the gain register. */
double correctedFineGain(c_Digitizer_t* digitizer, int32_t channel, double fineGain) {
    c_Parameter_t* correction = c_pfindc(digitizer, channel, DPPL_PARAM_CH_FGAIN_TEMP);
    return correction != NULL ? fineGain * correction->value : fineGain;
}

/* The trapezoid shift of the calling parameter's channel (its index byte):
 * TRAP_NORM := log2(decay x rise / fine gain), in register units. */
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

} // namespace

extern "C" {

int SetNewShift(const c_ParamRef_t* ref) {
    if (ref == NULL || ref->board == NULL)
        return DPPL_ERR_PARAMETER;
    const KelsorShiftBranch_t* branch = kelsorFirmwareOf(ref->board)->shift;
    if (branch != NULL)
        return kelsorSetTrapShift(ref, branch->log, &branch->texts);
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
        KLOG(digitizer, C_LOG_ERROR,
             "SetGainReg calling parameter (TRAP_NORM) not found. Can't get channel nor shf value.");
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
    double norm =
        (n != 0 && scale != 0.0) ? 65535.0 * ldexp(1.0, shift > 4096 ? 4096 : (int)shift) / ((double)n / scale) : NAN;
    c_Parameter_t* trapNorm = c_pfindc(digitizer, (int32_t)channel, DPPL_PARAM_CH_TRAP_NORM);
    if (trapNorm == NULL) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Can't get TRAP_NORM parameter. Can't set its value.", channel);
        return DPPL_ERR_PARAMETER;
    }
    if (!isfinite(norm)) {
        KLOG(digitizer, C_LOG_ERROR, "[%u]: Invalid filter settings (N %u, enf %f). Can't set TRAP_NORM.", channel, n,
             enf);
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
    return kelsorRefreshChannelParam(ref, DPPL_PARAM_CH_TRAP_FTD, "Flat Top Delay");
}

} // extern "C"
