/*
 * Kelsor_Hooks: the update hooks of a channel's input and of the board's
 * state: DC offsets (fine, coarse, the wait for a free SPI), the PLL restore,
 * the single-channel-analyser counters and the ADC inhibit length. The
 * filter, buffer and high-voltage hooks have files of their own. Hooks
 * return a library status.
 */
#include "KelsorFirmwareTable.h"
#include "KelsorShared.h"
#include "ZarnDigitizer.h"

namespace {

const uint32_t kSpiStatusRegister = 0x1088;
const uint32_t kSpiBusyBit = 0x4;
const int kSpiPolls = 16;
const uint32_t kSpiPollMs = 100;
const uint32_t kPllRestoreDelayMs = 500;

} // namespace

extern "C" {

int XMOR_UpdateDCO(const c_ParamRef_t* ref) {
    return kelsorRefreshChannelParam(ref, DPPL_PARAM_CH_FINE_DCOFFSET, "Fine DC Offset");
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
    KelsorSpiWait_t wait = kelsorFirmwareOf(digitizer)->spiWait;
    if (wait == KELSOR_SPI_BY_FAMILY)
        wait = kelsorScopeSpiWait(digitizer);
    switch (wait) {
    case KELSOR_SPI_OWN: return CFD_WaitBITStatus(digitizer, index);
    case KELSOR_SPI_SHARED: return waitSharedSpi(digitizer, index);
    case KELSOR_SPI_NO_FAMILY: return DPPL_ERR_INVALID_DPP_CODE;
    default:
        KLOG(digitizer, C_LOG_ERROR, "function 'WaitSPIFreeDCOffset' still doesn't support this digitizer family.");
        return DPPL_ERR_GENERIC;
    }
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

} // extern "C"
