/*
 * ZarnBoard_Orlu: setup and checks of the Orlu family (its decoder is in
 * ZarnBoard_Orlu_Decode.cpp).
 */
#include "ZarnBoard_Orlu.h"

#include <string.h>

#include "ZarnFamilyRows.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Orlu_log = {"ZarnBoard_OrluLog.txt", "ZarnBoard_Orlu"};

namespace {

constexpr GENERIC_MemoryCodes_t kMemoryCodes = {{1, 8}, {1u << 18, 1u << 21}};

bool modelContains(const c_Digitizer_t* d, const char* part) {
    char model[sizeof d->descriptor.ModelName + 1];
    memcpy(model, d->descriptor.ModelName, sizeof d->descriptor.ModelName);
    model[sizeof model - 1] = '\0';
    return strstr(model, part) != NULL;
}

/* The range of the board's supplies from its model name: PMT ("SC"), SD
 * ("SD") or else HPGe. */
int initHVChannel(c_Digitizer_t* d, uint32_t i, const GENERIC_HVRanges_t& ranges) {
    if (modelContains(d, "SC"))
        return GENERIC_InitHVChannel(&ZarnBoard_Orlu_log, d, i, ranges.pmt, 1);
    if (modelContains(d, "SD"))
        return GENERIC_InitHVChannel(&ZarnBoard_Orlu_log, d, i, ranges.sd, 2);
    return GENERIC_InitHVChannel(&ZarnBoard_Orlu_log, d, i, ranges.hpge, 0);
}

} // namespace

int ORLU_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_ReadMemorySize(&ZarnBoard_Orlu_log, d, &kMemoryCodes);
    if (code == 0)
        code = GENERIC_InitChannelDescriptor(&ZarnBoard_Orlu_log, d, 32, 10.0);
    if (code != 0)
        return code;
    c_BoardDescriptor_t* desc = &d->descriptor;
    const ZarnFamilyRow_t* family = ZarnFamily_Find(desc->FamilyCode);
    desc->HVChannels = family->hvChannels;
    desc->ADCBits = family->adcBits != 0 ? family->adcBits : desc->ADC_NBits;

    GENERIC_HVRanges_t ranges;
    code = GENERIC_FindHVRanges(&ZarnBoard_Orlu_log, d, &ranges);
    for (uint32_t i = 0; code == 0 && i < desc->HVChannels; ++i)
        code = initHVChannel(d, i, ranges);
    return code;
}
