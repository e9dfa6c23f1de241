/*
 * ZarnFamilySupport: the board-layer helpers the family drivers call (the PLL
 * rule, the steps of the family setups), below the drivers so that they do
 * not call up into the layer that dispatches to them. The messages of the
 * PLL rule go to the board layer's log ("ZarnBoard_GENERICLog.txt"); those of
 * the setup steps to the calling family's.
 */
#include "ZarnFamilySupport.h"

#include <stddef.h>
#include <string.h>

#include "ZarnComm.h"
#include "ZarnHighVoltage.h"
#include "ZarnParameters.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC"};

#define BLOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {
constexpr uint32_t kRegMemoryCode = 0x8140;
} // namespace

int GENERIC_CheckPLLLockedParameter(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    d->failStatus &= (uint8_t)~FAILSTATUS_PLL_UNLOCK;
    c_Parameter_t* p = c_pfind(d, DPPL_PARAM_PLLLOCKED);
    if (p == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't find 'PLL locked' parameter");
        return DPPL_ERR_PARAMETER;
    }
    double value = 0;
    int code = c_pget(d, p, &value);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Can't get 'PLL locked' parameter value");
        return code;
    }
    if (value != 0)
        return 0;
    BLOG(d, C_LOG_ERROR, "PLL unlock detected");
    d->failStatus |= FAILSTATUS_PLL_UNLOCK;
    return DPPL_ERR_PLL_LOCK_LOSS;
}

/* ------------------------------------------------ steps of the family setups */

#define FLOG(log, digitizer, level, ...) c_extendedLogMsg((log), (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr size_t kRangeTextMax = 99;

void copyRangeText(char* field, const char* text) {
    size_t length = strnlen(text, kRangeTextMax);
    memcpy(field, text, length);
    field[length] = '\0';
}

/* Range block of a channel from its element of the definitions. */
int fillRangeBlock(const c_LogModule_t* log, c_Digitizer_t* d, c_HVRangeBlock_t* range, xmlNodePtr element,
                   uint32_t hvIndex) {
    const char* codeName = (const char*)element->name;
    const char* name = c_xml_getattributevalue(element, "name", 0);
    if (codeName == NULL || name == NULL) {
        FLOG(log, d, C_LOG_ERROR, "HV Range '%s' doesn't define codename or name.", codeName != NULL ? codeName : "");
        return DPPL_ERR_GENERIC;
    }
    copyRangeText(range->codename, codeName);
    copyRangeText(range->name, name);
    double code = 0;
    if (c_xml_getcodefromnode(element, &code) != 0) {
        FLOG(log, d, C_LOG_ERROR, "Cannot get code for HVRange '%s'.", codeName);
        return DPPL_ERR_GENERIC;
    }
    range->rangeCode = (int32_t)code;
    range->hvIndex = hvIndex;
    return 0;
}

/* Linear conversions of the range from the channel's limits: two points
 * (max, max / lsb) and (min, min / lsb), raw = x / lsb. */
void fillLinearConversions(const c_HVChannelBlock_t* hv, c_HVRangeBlock_t* range) {
    static const int kQuantity[DPPL_HV_CONVERSIONS] = {HVQ_VSET,     HVQ_VMAX, HVQ_ISET, HVQ_RAMPUP,
                                                       HVQ_RAMPDOWN, HVQ_VMON, HVQ_IMON};
    for (int k = 0; k < DPPL_HV_CONVERSIONS; ++k) {
        int q = kQuantity[k];
        double lsb = hv->lsb[q], max = hv->limitMax[q], min = hv->limitMin[q];
        c_HVConversionBlock_t* conv = &range->conv[k];
        memset(conv, 0, sizeof *conv);
        conv->nPoints = 2;
        conv->points[0][0] = max;
        conv->points[0][1] = max / lsb;
        conv->points[1][0] = min;
        conv->points[1][1] = min / lsb;
        conv->degree = 1;
        conv->coeff[0] = 0;
        conv->coeff[1] = 1 / lsb;
        conv->min = min;
        conv->max = max;
        conv->step = lsb;
    }
}

/* Polarity from the model name's last letter: 'M' mixed (channel 0
 * positive, channel 1 negative), 'N' negative, 'P' positive. */
void setPolarityFromModel(const c_Digitizer_t* d, c_HVChannelBlock_t* hv, uint32_t i) {
    size_t length = strnlen(d->descriptor.ModelName, sizeof d->descriptor.ModelName);
    char last = length > 0 ? d->descriptor.ModelName[length - 1] : '\0';
    if (last == 'M')
        hv->polarity = i == 0 ? 0 : 1;
    else if (last == 'N')
        hv->polarity = 1;
    else if (last == 'P')
        hv->polarity = 0;
}

} // namespace

int GENERIC_ReadMemorySize(const c_LogModule_t* log, c_Digitizer_t* d, const GENERIC_MemoryCodes_t* codes) {
    if (d->replay) {
        FLOG(log, d, C_LOG_ERROR, "A replay record has no board to set up.");
        return DPPL_ERR_FILE_DIGITIZER;
    }
    c_BoardDescriptor_t* desc = &d->descriptor;
    uint32_t word = 0;
    int r = ZarnComm_Read32(desc->CommHandle, kRegMemoryCode, &word);
    if (r != 0) {
        FLOG(log, d, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", (int)desc->CommHandle,
             kRegMemoryCode, r);
        return DPPL_ERR_READ_REGISTER;
    }
    uint32_t memoryCode = (word >> 8) & 0xFF;
    if (memoryCode == codes->code[0])
        desc->MemSize = codes->size[0];
    else if (memoryCode == codes->code[1])
        desc->MemSize = codes->size[1];
    else {
        FLOG(log, d, C_LOG_ERROR, "Invalid memory code %u.", (unsigned)memoryCode);
        return DPPL_ERR_INVALID_MEMORY_CODE;
    }
    return 0;
}

int GENERIC_CheckChannelCount(const c_LogModule_t* log, c_Digitizer_t* d) {
    const c_BoardDescriptor_t* desc = &d->descriptor;
    if (desc->Channels <= DPPL_MAX_CHANNELS)
        return 0;
    FLOG(log, d, C_LOG_ERROR, "The board reports %u channels; at most %u are supported.", (unsigned)desc->Channels,
         (unsigned)DPPL_MAX_CHANNELS);
    return DPPL_ERR_GENERIC;
}

int GENERIC_InitChannelDescriptor(const c_LogModule_t* log, c_Digitizer_t* d, uint32_t memBlock, double samplePeriod) {
    int code = GENERIC_CheckChannelCount(log, d);
    if (code != 0)
        return code;
    c_BoardDescriptor_t* desc = &d->descriptor;
    desc->MemBlock = memBlock;
    desc->ADCBits = desc->ADC_NBits;
    desc->SamplePeriod = samplePeriod;
    desc->NumChannels = (uint8_t)desc->Channels;
    desc->NumGroups = 0;
    desc->HVChannels = 0;
    return 0;
}

int GENERIC_ClearChannelZeroEnableBits(const c_LogModule_t* log, c_Digitizer_t* d) {
    c_Parameter_t* p = c_pfindc(d, 0, DPPL_PARAM_CH_ENABLED);
    if (p == NULL) {
        FLOG(log, d, C_LOG_ERROR, "Error. Mandatory 'DPPL_PARAM_CH_ENABLED' parameter not found");
        return DPPL_ERR_PARAMETER;
    }
    const int32_t handle = d->descriptor.CommHandle;
    uint32_t value = 0;
    int r = ZarnComm_Read32(handle, p->regaddr, &value);
    if (r != 0) {
        FLOG(log, d, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", (int)handle,
             (unsigned)p->regaddr, r);
        FLOG(log, d, C_LOG_ERROR, "Error while reading from register %u", (unsigned)p->regaddr);
        return DPPL_ERR_READ_REGISTER;
    }
    if (GENERIC_WriteRegister(d, p->regaddr, value & ~0xCu) != 0) {
        FLOG(log, d, C_LOG_ERROR, "Error while writing to register %u", (unsigned)p->regaddr);
        return DPPL_ERR_WRITE_REGISTER;
    }
    return 0;
}

int GENERIC_FindHVRanges(const c_LogModule_t* log, c_Digitizer_t* d, GENERIC_HVRanges_t* out) {
    xmlNodePtr ranges =
        c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(), "/Definitions/ParameterValues/HV_RANGES");
    if (ranges == NULL) {
        FLOG(log, d, C_LOG_ERROR, "Cannot find HV_RANGES in definitions document.");
        return DPPL_ERR_GENERIC;
    }
    out->hpge = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_HPGE");
    out->pmt = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_PMT");
    out->sd = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_SD");
    const char* missing = out->hpge == NULL ? "HPGe" : out->pmt == NULL ? "PMT" : out->sd == NULL ? "SD" : NULL;
    if (missing != NULL) {
        FLOG(log, d, C_LOG_ERROR, "Definitions document doesn't define %s range.", missing);
        return DPPL_ERR_GENERIC;
    }
    return 0;
}

int GENERIC_InitHVChannel(const c_LogModule_t* log, c_Digitizer_t* d, uint32_t i, xmlNodePtr range,
                          int32_t activeRange) {
    c_HVChannelBlock_t* hv = &d->hv[i];
    hv->regBase = d->descriptor.Channels;
    hv->hvIndex = i;
    hv->handle = d->handle;
    int hvCode = _hvLoadLimits(hv);
    if (hvCode != HV_SUCCESS) {
        c_lprintf(log, C_LOG_ERROR, __LINE__, "From %s: %s", "c_hvloadp", _hvErrorText(hvCode));
        return DPPL_ERR_HV;
    }
    setPolarityFromModel(d, hv, i);
    hv->rangeCount = 1;
    hv->activeRange = activeRange;
    int code = fillRangeBlock(log, d, &hv->ranges[0], range, i);
    if (code != 0)
        return code;
    fillLinearConversions(hv, &hv->ranges[0]);
    return 0;
}
