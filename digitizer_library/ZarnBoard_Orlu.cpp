/*
 * ZarnBoard_Orlu: setup and checks of the Orlu family.
 */
#include "ZarnBoard_Orlu.h"

#include <stdio.h>
#include <string.h>

#include "ZarnBoard_GENERIC.h"
#include "ZarnComm.h"
#include "ZarnDPPLayer.h"

static const c_LogModule_t ZarnBoard_Orlu_log = {"ZarnBoard_OrluLog.txt", "ZarnBoard_Orlu"};

#define PLOG(level, ...) c_lprintf(&ZarnBoard_Orlu_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) c_extendedLogMsg(&ZarnBoard_Orlu_log, (digitizer), (level), __LINE__, __VA_ARGS__)

/* The high-voltage module loads a channel's limits from its supply. It is
 * built on its own; while it is not part of the library the reference stays
 * NULL and a board with high-voltage channels cannot be set up. */
extern "C" int _hvLoadLimits(c_HVChannelBlock_t* channel) __attribute__((weak));

namespace {

constexpr uint32_t kRegMemoryCode = 0x8140;
constexpr size_t kRangeTextMax = 99;

/* The high-voltage ranges a board may have, as the definitions name them. */
struct RangeElements {
    xmlNodePtr hpge, pmt, sd;
};

/* Texts of the high-voltage codes. */
const char* hvErrorText(int code) {
    static const char* const kTexts[] = {"Invalid Channel",     "Error Calling ZarnDigitizer API", "Invalid VSet Value",
                                         "Invalid ISet Value",  "Invalid RampDown Value",          "Invalid RampUp Value",
                                         "Invalid VMax Value",  "Invalid VMon Value",              "Invalid IMon Value",
                                         "Invalid VExt Value",  "Invalid RTMP Value",              "Invalid HV Family"};
    if (code <= -2 && code >= -13)
        return kTexts[-code - 2];
    return "Generic Error";
}

int findRangeElements(c_Digitizer_t* d, RangeElements* out) {
    xmlNodePtr ranges = c_xml_getfirstnodefromxpathquery(c_getLibraryDefinitions(), "/Definitions/ParameterValues/HV_RANGES");
    if (ranges == NULL) {
        BLOG(d, C_LOG_ERROR, "Cannot find HV_RANGES in definitions document.");
        return DPPL_ERR_GENERIC;
    }
    out->hpge = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_HPGE");
    out->pmt = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_PMT");
    out->sd = c_xml_getfirstchildrenelementfromname(ranges, "HV_RANGE_SD");
    const char* missing = out->hpge == NULL ? "HPGe" : out->pmt == NULL ? "PMT" : out->sd == NULL ? "SD" : NULL;
    if (missing != NULL) {
        BLOG(d, C_LOG_ERROR, "Definitions document doesn't define %s range.", missing);
        return DPPL_ERR_GENERIC;
    }
    return 0;
}

void copyRangeText(char* field, const char* text) {
    size_t length = strnlen(text, kRangeTextMax);
    memcpy(field, text, length);
    field[length] = '\0';
}

/* Range block 0 of a channel from its element of the definitions. */
int fillRangeBlock(c_Digitizer_t* d, c_HVRangeBlock_t* range, xmlNodePtr element, uint32_t hvIndex) {
    const char* codeName = (const char*)element->name;
    const char* name = c_xml_getattributevalue(element, "name", 0);
    if (codeName == NULL || name == NULL) {
        BLOG(d, C_LOG_ERROR, "HV Range '%s' doesn't define codename or name.", codeName != NULL ? codeName : "");
        return DPPL_ERR_GENERIC;
    }
    copyRangeText(range->codename, codeName);
    copyRangeText(range->name, name);
    double code = 0;
    if (c_xml_getcodefromnode(element, &code) != 0) {
        BLOG(d, C_LOG_ERROR, "Cannot get code for HVRange '%s'.", codeName);
        return DPPL_ERR_GENERIC;
    }
    range->rangeCode = (int32_t)code;
    range->hvIndex = hvIndex;
    return 0;
}

/* Linear conversions of the range from the channel's limits: two points
 * (max, max / lsb) and (min, min / lsb), raw = x / lsb. */
void fillLinearConversions(const c_HVChannelBlock_t* hv, c_HVRangeBlock_t* range) {
    static const int kQuantity[DPPL_HV_CONVERSIONS] = {HVQ_VSET,   HVQ_VMAX,     HVQ_ISET, HVQ_RAMPUP,
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
void setPolarityFromModel(c_Digitizer_t* d, c_HVChannelBlock_t* hv, uint32_t i) {
    size_t length = strnlen(d->descriptor.ModelName, sizeof d->descriptor.ModelName);
    char last = length > 0 ? d->descriptor.ModelName[length - 1] : '\0';
    if (last == 'M')
        hv->polarity = i == 0 ? 0 : 1;
    else if (last == 'N')
        hv->polarity = 1;
    else if (last == 'P')
        hv->polarity = 0;
}

bool modelContains(const c_Digitizer_t* d, const char* part) {
    char model[sizeof d->descriptor.ModelName + 1];
    memcpy(model, d->descriptor.ModelName, sizeof d->descriptor.ModelName);
    model[sizeof model - 1] = '\0';
    return strstr(model, part) != NULL;
}

int initHVChannel(c_Digitizer_t* d, uint32_t i, const RangeElements& elements) {
    c_HVChannelBlock_t* hv = &d->hv[i];
    hv->regBase = d->descriptor.Channels;
    hv->hvIndex = i;
    hv->handle = d->handle;
    int hvCode = _hvLoadLimits != NULL ? _hvLoadLimits(hv) : -1;
    if (hvCode != 0) {
        PLOG(C_LOG_ERROR, "From %s: %s", "c_hvloadp", hvErrorText(hvCode));
        return DPPL_ERR_HV;
    }
    setPolarityFromModel(d, hv, i);
    hv->rangeCount = 1;
    xmlNodePtr element = elements.hpge;
    hv->activeRange = 0;
    if (modelContains(d, "SC")) {
        element = elements.pmt;
        hv->activeRange = 1;
    } else if (modelContains(d, "SD")) {
        element = elements.sd;
        hv->activeRange = 2;
    }
    int code = fillRangeBlock(d, &hv->ranges[0], element, i);
    if (code != 0)
        return code;
    fillLinearConversions(hv, &hv->ranges[0]);
    return 0;
}

} // namespace

int ORLU_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (d->replay) {
        BLOG(d, C_LOG_ERROR, "A replay record has no board to set up.");
        return DPPL_ERR_FILE_DIGITIZER;
    }
    c_BoardDescriptor_t* desc = &d->descriptor;
    uint32_t word = 0;
    int r = ZarnComm_Read32(desc->CommHandle, kRegMemoryCode, &word);
    if (r != 0) {
        BLOG(d, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", (int)desc->CommHandle,
             kRegMemoryCode, r);
        return DPPL_ERR_READ_REGISTER;
    }
    uint32_t memoryCode = (word >> 8) & 0xFF;
    if (memoryCode == 1)
        desc->MemSize = 1u << 18;
    else if (memoryCode == 8)
        desc->MemSize = 1u << 21;
    else {
        BLOG(d, C_LOG_ERROR, "Invalid memory code %u.", (unsigned)memoryCode);
        return DPPL_ERR_INVALID_MEMORY_CODE;
    }
    if (desc->Channels > DPPL_MAX_CHANNELS) {
        BLOG(d, C_LOG_ERROR, "The board reports %u channels; at most %u are supported.", (unsigned)desc->Channels,
             (unsigned)DPPL_MAX_CHANNELS);
        return DPPL_ERR_GENERIC;
    }
    desc->MemBlock = 32;
    desc->SamplePeriod = 10.0;
    desc->NumChannels = (uint8_t)desc->Channels;
    desc->NumGroups = 0;
    desc->HVChannels = desc->FamilyCode == 7 ? 2 : 0;
    desc->ADCBits = desc->FamilyCode == 16 ? 14 : desc->ADC_NBits;

    RangeElements elements;
    int code = findRangeElements(d, &elements);
    for (uint32_t i = 0; code == 0 && i < desc->HVChannels; ++i)
        code = initHVChannel(d, i, elements);
    return code;
}

int ORLU_CheckPLLLock(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    return GENERIC_CheckPLLLockedParameter(d);
}
