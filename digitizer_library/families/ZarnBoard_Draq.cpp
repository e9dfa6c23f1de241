/*
 * ZarnBoard_Draq: setup of the Draq family (its decoder is in
 * ZarnBoard_Draq_Decode.cpp).
 */
#include "ZarnBoard_Draq.h"

#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Draq_log = {"ZarnBoard_DraqLog.txt", "ZarnBoard_Draq"};

#define BLOG(digitizer, level, ...) c_extendedLogMsg(&ZarnBoard_Draq_log, (digitizer), (level), __LINE__, __VA_ARGS__)

int DRAQ_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_ReadMemorySize(&ZarnBoard_Draq_log, d, &GENERIC_kMemoryCodes130To135);
    if (code != 0)
        return code;
    c_BoardDescriptor_t* desc = &d->descriptor;
    /* The board information counts the groups of 8 channels. */
    if (desc->Channels > DPPL_MAX_GROUPS) {
        BLOG(d, C_LOG_ERROR, "The board reports %u channel groups; at most %u are supported.", (unsigned)desc->Channels,
             (unsigned)DPPL_MAX_GROUPS);
        return DPPL_ERR_GENERIC;
    }
    desc->MemBlock = 128;
    desc->ADCBits = desc->ADC_NBits;
    desc->SamplePeriod = 16.0;
    desc->NumGroups = (uint8_t)desc->Channels;
    desc->NumChannels = (uint8_t)(DPPL_CHANNELS_PER_GROUP * desc->Channels);
    desc->HVChannels = 0;
    return 0;
}
