/*
 * ZarnReadCache: what the decoders ask of the board layer while
 * they decode one read: the channel's per-read parameter cache (acquisition
 * run, time offset, software gain, software-CFD settings, looked up once per
 * read) and the time base of its time stamps. Below the drivers, so that
 * decoding never calls back up into the read path that dispatches to them.
 * Logs to the board layer's log under its source name
 * "ZarnBoard_GENERIC_ReadCache".
 */
#include "ZarnFamilySupport.h"

#include <math.h>

#include "ZarnParameters.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC_ReadCache"};

#define ALOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

/* ns to ps, truncated; a negative offset wraps so that adding it subtracts. */
uint64_t psFromNs(double ns) {
    double ps = ns * 1000.0;
    if (!(ps > -9.2e18 && ps < 9.2e18))
        return 0;
    return (uint64_t)(int64_t)ps;
}

/* The register value that a parameter's own converter gives its current
 * value (the value itself without a converter). */
uint32_t registerValueOf(c_Digitizer_t* d, c_Parameter_t* p) {
    if (p->valtoreg != NULL) {
        c_ParamRef_t ref = {d, p};
        return p->valtoreg(&ref, p->value);
    }
    double v = p->value;
    return v >= 0.0 && v < 4294967296.0 ? (uint32_t)v : 0;
}

void fillBaseCache(c_Digitizer_t* d, uint32_t ch, c_ReadCache_t* cache) {
    c_Parameter_t* run = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_ACQ_RUN);
    cache->hasAcqRun = run != NULL;
    cache->acqRun = run != NULL ? run->value : 0.0;
    cache->hasGainReg = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_GAINREG) != NULL;
    c_Parameter_t* offset = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TIME_OFFSET);
    double ns = 0.0;
    if (offset == NULL || c_pget(d, offset, &ns) != 0) {
        ALOG(d, C_LOG_WARNING, "Unable to retrieve %s parameter value.",
             offset != NULL ? offset->name : "DPPL_PARAM_CH_TIME_OFFSET");
        ns = 0.0;
    }
    cache->timeOffsetPs = psFromNs(ns);
}

/* Software gain h = (D x R) / (g x 2^n) of a pulse-height channel without a
 * gain register, with D and R the register values of the decay and rise
 * times, n the trapezoid normalisation and g the fine gain (1 without). */
void fillGainCache(c_Digitizer_t* d, uint32_t ch, c_ReadCache_t* cache) {
    cache->gainH = cache->gainL = 1.0;
    c_Parameter_t* norm = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TRAP_NORM);
    c_Parameter_t* decay = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TDECAY);
    c_Parameter_t* rise = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_TRAP_TRISE);
    const char* missing = norm == NULL ? "TRAP_NORM" : decay == NULL ? "TDECAY" : rise == NULL ? "TRAP_TRISE" : NULL;
    if (missing != NULL) {
        ALOG(d, C_LOG_ERROR, "[%u] Can't get %s parameter.", (unsigned)ch, missing);
        cache->gainStatus = DPPL_ERR_PARAMETER;
        return;
    }
    cache->gainStatus = 0;
    uint32_t product = registerValueOf(d, decay) * registerValueOf(d, rise); /* a 32-bit product */
    double n = norm->value >= 0.0 && norm->value < 64.0 ? trunc(norm->value) : 0.0;
    c_Parameter_t* fine = c_pfindc(d, (int32_t)ch, DPPL_PARAM_CH_FGAIN);
    double g = fine != NULL ? fine->value : 1.0;
    double h = (double)product / (g * ldexp(1.0, (int)n));
    if (!(h > 0.0) || !isfinite(h) || !isfinite(1.0 / h)) {
        ALOG(d, C_LOG_WARNING, "[%u] Software gain %f is not usable; energies are not rescaled.", (unsigned)ch, h);
        return;
    }
    cache->gainH = h;
    cache->gainL = 1.0 / h;
}

} // namespace

void GENERIC_FillReadCache(c_Digitizer_t* d, uint32_t channel, uint32_t parts) {
    if (d == NULL || channel >= DPPL_MAX_CHANNELS)
        return;
    c_ReadCache_t* cache = &d->channels[channel].readCache;
    if (cache->serial != d->readSerial) {
        cache->serial = d->readSerial;
        cache->filled = 0;
    }
    uint32_t missing = parts & ~cache->filled;
    if (missing & READCACHE_BASE)
        fillBaseCache(d, channel, cache);
    if (missing & READCACHE_GAIN)
        fillGainCache(d, channel, cache);
    if (missing & READCACHE_CFD)
        cache->cfdStatus = GENERIC_GetSoftwareCFDSettings(d, channel, &cache->cfd);
    cache->filled |= missing;
}

GENERIC_TimeBase_t GENERIC_GetTimeBase(const c_Digitizer_t* d, uint32_t extensionBits) {
    GENERIC_TimeBase_t base;
    uint32_t tagBits = d->descriptor.TimeTagBits;
    base.tagBits = tagBits < 63 ? tagBits : 63;
    uint32_t ext = base.tagBits + (extensionBits < 63 ? extensionBits : 63);
    base.extBits = ext < 63 ? ext : 63;
    double ps = d->descriptor.SamplePeriod * 1000.0;
    base.psPerTick = ps >= 1.0 && ps < 1.8e19 ? (uint64_t)ps : 0;
    return base;
}
