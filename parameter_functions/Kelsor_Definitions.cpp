/*
 * Kelsor_Definitions: the definition function of the scope record length,
 * which sets its limits from the board's family, memory and sample period.
 * The high-voltage definition functions are in Kelsor_HighVoltage.cpp.
 */
#include "KelsorFirmwareTable.h"
#include "KelsorShared.h"

extern "C" {

int ScopeRecLenRangeLimitsDefinition(c_Parameter_t* param) {
    if (param == NULL || param->owner == NULL) {
        KPLAIN(C_LOG_ERROR, "ScopeRecLenRangeLimitsDefinition: NULL param or digitizer.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    const c_Digitizer_t* digitizer = (const c_Digitizer_t*)param->owner;
    const KelsorFamily_t* family = kelsorFamilyOf(digitizer);
    double period = digitizer->descriptor.SamplePeriod;
    uint32_t step = RecLenStepSamples(digitizer);
    uint32_t factor = family->halfStepUnits ? 2 : 1;
    double unit = family->halfStepUnits ? step / 2.0 : (double)step;
    uint32_t reserved = family->reservedMemoryBlock ? 1 : 0;
    uint32_t memory = digitizer->descriptor.MemSize;
    uint32_t usable = memory > reserved ? memory - reserved : 0;
    param->min = param->incr = step * period;
    param->value = param->preferred = 16.0 * step * period;
    param->max = (double)(usable / factor) * factor * unit * period;
    return DPPL_OK;
}

} // extern "C"
