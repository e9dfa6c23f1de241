/*
 * ZarnBoard_Pemb: setup and checks of the Pemb family (its decoders are in
 * ZarnBoard_Pemb_Decode.cpp).
 */
#include "ZarnBoard_Pemb.h"

#include "ZarnFamilyRows.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Pemb_log = {"ZarnBoard_PembLog.txt", "ZarnBoard_Pemb"};

#define BLOG(digitizer, level, ...) c_extendedLogMsg(&ZarnBoard_Pemb_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr GENERIC_MemoryCodes_t kMemoryCodes = {{1, 8}, {1u << 16, 1u << 19}};
constexpr uint32_t kRegShutdownRelease = 0x81C0;

/* Reads a board parameter that a check needs; missing: -26 with the
 * "Can't find" text, unreadable: its code with the "Can't get" text. */
int readBoardParameter(c_Digitizer_t* d, int32_t code, const char* label, double* value) {
    c_Parameter_t* p = c_pfind(d, code);
    if (p == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't find '%s' parameter", label);
        return DPPL_ERR_PARAMETER;
    }
    int r = c_pget(d, p, value);
    if (r != 0)
        BLOG(d, C_LOG_ERROR, "Can't get '%s' parameter value", label);
    return r;
}

int readOverTemperatureMask(c_Digitizer_t* d, uint8_t* mask) {
    double value = 0;
    int code = readBoardParameter(d, DPPL_PARAM_CHOVERTEMP, "Overtemp mask", &value);
    if (code == 0)
        *mask = (uint8_t)(uint64_t)value;
    return code;
}

} // namespace

int PEMB_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_ReadMemorySize(&ZarnBoard_Pemb_log, d, &kMemoryCodes);
    if (code != 0)
        return code;
    const double period = ZarnFamily_Find(d->descriptor.FamilyCode)->samplePeriod;
    if (period == 0.0) {
        BLOG(d, C_LOG_ERROR, "Unsupported family %u.", (unsigned)d->descriptor.FamilyCode);
        return DPPL_ERR_INVALID_FAMILY;
    }
    return GENERIC_InitChannelDescriptor(&ZarnBoard_Pemb_log, d, 128, period);
}

int PEMB_CheckADCShutdown(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    d->failStatus &= (uint8_t) ~(FAILSTATUS_OVER_TEMPERATURE | FAILSTATUS_ADC_SHUTDOWN);
    d->overTempMask = 0;
    double shutdown = 0;
    int code = readBoardParameter(d, DPPL_PARAM_CHSHUTDOWN, "Shutdown status", &shutdown);
    if (code != 0)
        return code;
    if (shutdown != 1.0)
        return 0;
    BLOG(d, C_LOG_ERROR, "ADC automatic shutdown detected");
    d->failStatus |= FAILSTATUS_ADC_SHUTDOWN;
    uint8_t mask = 0;
    if ((code = readOverTemperatureMask(d, &mask)) != 0)
        return code;
    if (mask == 0)
        return DPPL_ERR_ADC_SHUTDOWN;
    d->failStatus |= FAILSTATUS_OVER_TEMPERATURE;
    d->overTempMask = mask;
    BLOG(d, C_LOG_ERROR, "Overtemp detected. Mask = 0x%hhX", mask);
    return DPPL_ERR_TEMPERATURE_FAILURE;
}

int PEMB_RestoreADCShutdown(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    d->failStatus &= (uint8_t)~FAILSTATUS_OVER_TEMPERATURE;
    d->overTempMask = 0;
    uint8_t mask = 0;
    int code = readOverTemperatureMask(d, &mask);
    if (code != 0)
        return code;
    if (mask == 0)
        return c_rwrite(d, kRegShutdownRelease, 0);
    d->failStatus |= FAILSTATUS_OVER_TEMPERATURE;
    d->overTempMask = mask;
    BLOG(d, C_LOG_ERROR, "Cannot restore ADC auto shutdown. Overtemp detected. Mask = 0x%hhX", mask);
    return DPPL_ERR_TEMPERATURE_FAILURE;
}
