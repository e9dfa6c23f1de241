/* ZarnParameters_Values: the value engine (c_pset, c_pget, registers, free-value paths, look-ups). */
#include "ZarnParameters.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ZarnComm.h"
#include "ZarnDigitizer.h"
#include "ZarnRecords.h"

static const c_LogModule_t ZarnParameters_log = {"ZarnParametersLog.txt", "ZarnParameters_Values"};

/* Plain message of this module. */
#define PLOG(level, ...) c_lprintf(&ZarnParameters_log, (level), __LINE__, __VA_ARGS__)

#include "ZarnFamilyRows.h"
#include "ZarnParametersShared.h"
#include "ZarnRecordQueries.h"

namespace {

constexpr size_t kFreeValuePathSize = 256;

/* A hexadecimal number of at most 32 bits, read to its end (an optional "0x"
 * prefix, no sign, no blanks). */
bool parseHex32(const char* text, uint32_t* value) {
    if (text == NULL)
        return false;
    const char* digits = text;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    if (*digits == '\0')
        return false;
    uint64_t parsed = 0;
    for (const char* c = digits; *c != '\0'; ++c) {
        int digit;
        if (*c >= '0' && *c <= '9')
            digit = *c - '0';
        else if (*c >= 'a' && *c <= 'f')
            digit = *c - 'a' + 10;
        else if (*c >= 'A' && *c <= 'F')
            digit = *c - 'A' + 10;
        else
            return false;
        parsed = parsed * 16 + (uint64_t)digit;
        if (parsed > 0xFFFFFFFFull)
            return false;
    }
    *value = (uint32_t)parsed;
    return true;
}

/* A decimal number without sign, read to its end. */
bool parseUnsignedDecimal(const char* text, uint32_t* value) {
    if (text == NULL || *text == '\0')
        return false;
    uint64_t parsed = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        parsed = parsed * 10 + (uint64_t)(*c - '0');
        if (parsed > 0xFFFFFFFFull)
            return false;
    }
    *value = (uint32_t)parsed;
    return true;
}

uint8_t writeOnlyCode() {
    static const uint8_t code = c_getAccessTypeCode("WRITEONLY");
    return code;
}

/* Round a value to the step incr from base, halves away from zero. */
double roundToStep(double value, double base, double incr) { return round((value - base) / incr) * incr + base; }

bool hasUsableStep(const c_Parameter_t* param) { return param->incr != 0 && isfinite(param->incr); }

/* Register field of a value without valtoreg: truncated toward zero to a
 * 64-bit integer (saturated at its limits), low 32 bits. */
uint32_t truncatedField(double value) {
    if (value >= 9223372036854775807.0)
        return (uint32_t)INT64_MAX;
    if (value <= -9223372036854775808.0)
        return (uint32_t)INT64_MIN;
    return (uint32_t)(int64_t)value;
}

} // namespace

/* ==========================================================================
 * Value engine
 * ========================================================================== */

namespace {

bool isSoftwareOnly(const c_ParamRef_t* ref) {
    if (ref->param->swcheck != NULL)
        return ref->param->swcheck(ref);
    return ref->param->regaddr == 0;
}

/* Broadcast addresses 0x80nn (nn above 0x01) are written there but read at
 * 0x10nn. */
uint32_t readAddressOf(const c_Digitizer_t* digitizer, const c_Parameter_t* param) {
    uint32_t address = param->regaddr;
    uint32_t low = address & 0xFF;
    if (((address >> 8) & 0xFF) == 0x80 && low != 0x00 && low != 0x01) {
        uint32_t readAddress = low | 0x1000;
        BLOG(
            digitizer, C_LOG_DETAIL,
            "Addr 0x%04X of parameter '%s' seems to be a broadcast address, will instead use 0x%04X to read the value.",
            address, param->name, readAddress);
        return readAddress;
    }
    return address;
}

uint32_t registerChannel(const c_Parameter_t* param) { return (param->regaddr >> 8) & 0xF; }

/* Whether a high-voltage channel of the board is on: only a board that
 * reports its state says so; any other board's is off. */
bool hvChannelIsOn(c_Digitizer_t* digitizer, uint32_t hvChannel) {
    if (!ZarnFamily_Find(digitizer->descriptor.FamilyCode)->reportsItsState)
        return false;
    c_Parameter_t* on = c_pfindhvc(digitizer, (int32_t)hvChannel, DPPL_PARAM_HVCH_ON);
    double value = 0;
    if (on == NULL || c_pget(digitizer, on, &value) != 0) {
        BLOG(digitizer, C_LOG_WARNING, "Unable to retrieve %s parameter value.", on != NULL ? on->name : "HVCH_ON");
        return false;
    }
    return (int64_t)value != 0;
}

/* Acquisition status that decides whether param may be set now. */
int32_t acquisitionStatusFor(c_Digitizer_t* digitizer, const c_Parameter_t* param, int32_t* category) {
    if (ZarnFamily_Find(digitizer->descriptor.FamilyCode)->channelAcquisition) {
        *category = c_getParamCategory(digitizer, param->code);
        if (*category == PARAM_CATEGORY_CHANNEL)
            return digitizer->channels[registerChannel(param)].acqStatus;
    }
    return digitizer->acqStatus;
}

/* Field shift of a mask (trailing zero bits); the mask must not be 0. */
uint32_t fieldShift(uint32_t mask) { return (uint32_t)__builtin_ctz(mask); }

/* A value that no bound of the parameter made finite: nothing is set. */
int refuseValue(c_Digitizer_t* digitizer, const c_Parameter_t* param, double value) {
    BLOG(digitizer, C_LOG_ERROR, "Value %f is not a valid number for parameter '%s'", value, param->name);
    return DPPL_ERR_PARAMETER;
}

/* Category of a parameter not looked up yet. */
constexpr int32_t kCategoryNotAsked = INT32_MIN;

} // namespace

extern "C" {

int c_pset(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    if (param != NULL) {
        if (isnan(value)) {
            /* Never stored, never converted: a preferred value must stay usable. */
            BLOG(digitizer, C_LOG_ERROR, "Value %f is not a valid number for parameter '%s'", value, param->name);
            return DPPL_ERR_PARAMETER;
        }
        param->preferred = value;
    }
    return GENERIC_SetParam(digitizer, param, value, 0);
}

int c_pset_nopref(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    return GENERIC_SetParam(digitizer, param, value, 0);
}

int c_pget(c_Digitizer_t* digitizer, c_Parameter_t* param, double* value) {
    if (isSecondGenerationReplay(digitizer))
        return DPPL_ERR_NOT_SUPPORTED;
    return GENERIC_GetParam(digitizer, param, value);
}

int GENERIC_SetParam(c_Digitizer_t* digitizer, c_Parameter_t* param, double value, uint32_t flags) {
    if (param == NULL)
        return DPPL_ERR_NULL_ARGUMENT;

    if ((flags & C_SETPARAM_SKIP_ACCESS) == 0 && param->accesstype == readOnlyCode()) {
        BLOG(digitizer, C_LOG_DETAIL, "Read-only register 0x%04X corresponding to parameter %s.", param->regaddr,
             param->name);
        if (isSecondGenerationReplay(digitizer))
            return DPPL_ERR_NOT_SUPPORTED;
        double current = 0;
        return GENERIC_GetParam(digitizer, param, &current);
    }

    /* Without a record there is no acquisition and no high voltage to guard. */
    int32_t category = kCategoryNotAsked;
    if (digitizer != NULL && (flags & C_SETPARAM_SKIP_ACQUISITION) == 0 && param->acqon != 1) {
        int32_t status = acquisitionStatusFor(digitizer, param, &category);
        if (status != ACQSTATUS_STOPPED && status != ACQSTATUS_PAUSED)
            return DPPL_ERR_INVALID_ACQ_STATUS;
    }
    if (digitizer != NULL && (flags & C_SETPARAM_SKIP_HV) == 0 && param->hvon != 1) {
        if (category == kCategoryNotAsked)
            category = c_getParamCategory(digitizer, param->code);
        if (category == PARAM_CATEGORY_HVCHANNEL && hvChannelIsOn(digitizer, registerChannel(param)))
            return DPPL_ERR_HV;
    }
    if (isSecondGenerationReplay(digitizer))
        return DPPL_ERR_NOT_SUPPORTED;
    return GENERIC_SetParamValue(digitizer, param, value);
}

int GENERIC_SetParamValue(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    if (param == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    /* Not a number passes every comparison and clamp; it must never reach a
     * converter, a set function or a register. */
    if (isnan(value))
        return refuseValue(digitizer, param, value);
    c_ParamRef_t ref = {digitizer, param};

    if (param->type == C_PARAM_TYPE_LIST) {
        uint32_t entries = param->count < C_PARAM_MAX_VALUES ? param->count : C_PARAM_MAX_VALUES;
        bool allowed = false;
        for (uint32_t i = 0; i < entries && !allowed; ++i)
            allowed = param->values[i].value == value;
        if (!allowed) {
            BLOG(digitizer, C_LOG_ERROR, "Value %.3f is not allowed for parameter '%s'", value, param->name);
            return DPPL_ERR_PARAMETER;
        }
    }

    if (param->preset != NULL) {
        int result = param->preset(&ref);
        if (result != 0) {
            BLOG(digitizer, C_LOG_ERROR, "Error from preset function while setting '%s=%.3f'", param->name, value);
            return result;
        }
    }

    if (isSoftwareOnly(&ref)) {
        if (param->type == C_PARAM_TYPE_RANGE) {
            if (hasUsableStep(param))
                value = roundToStep(value, isfinite(param->min) ? param->min : 0.0, param->incr);
            value = GENERIC_ClampParamValue(digitizer, param, value);
            if (!isfinite(value)) /* an infinite value beyond an infinite bound */
                return refuseValue(digitizer, param, value);
        }
        if (param->setfcn != NULL) {
            int result = param->setfcn(&ref, value);
            if (result != 0)
                return result;
        } else {
            param->value = value;
        }
    } else {
        if (param->regaddr == C_PARAM_UNREACHABLE_ADDRESS) {
            BLOG(digitizer, C_LOG_ERROR, "Parameter '%s' has no register the board can reach.", param->name);
            return DPPL_ERR_PARAMETER;
        }
        if (param->type == C_PARAM_TYPE_RANGE)
            value = GENERIC_ClampParamValue(digitizer, param, value);
        if (!isfinite(value))
            return refuseValue(digitizer, param, value);
        uint32_t field = param->valtoreg != NULL ? param->valtoreg(&ref, value) : truncatedField(value);
        uint32_t word = field;
        if (param->mask != C_PARAM_FULL_MASK) {
            if (param->mask == 0) {
                BLOG(digitizer, C_LOG_ERROR, "Parameter '%s' has an empty register mask.", param->name);
                return DPPL_ERR_PARAMETER;
            }
            uint32_t current = 0;
            int result = GENERIC_ReadRegister(digitizer, readAddressOf(digitizer, param), &current);
            if (result != 0)
                return result;
            word = (param->mask & (field << fieldShift(param->mask))) | (~param->mask & current);
        }
        BLOG(digitizer, C_LOG_DETAIL, "Setting '%s=%.3f' writing 0x%08X to 0x%X.", param->name, value, word,
             param->regaddr);
        int result = GENERIC_WriteRegister(digitizer, param->regaddr, word);
        if (result != 0)
            return result;
        param->value = value;
    }

    if (param->postset != NULL) {
        int result = param->postset(&ref);
        if (result != 0) {
            BLOG(digitizer, C_LOG_ERROR, "Error from postset function while setting '%s=%.3f'", param->name, value);
            return result;
        }
    }
    double readBack = 0;
    return GENERIC_GetParam(digitizer, param, &readBack);
}

int GENERIC_GetParam(c_Digitizer_t* digitizer, c_Parameter_t* param, double* value) {
    if (param == NULL || value == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (param->regaddr == C_PARAM_UNREACHABLE_ADDRESS)
        return DPPL_ERR_PARAMETER;
    c_ParamRef_t ref = {digitizer, param};
    if (isSoftwareOnly(&ref)) {
        *value = param->value;
        return 0;
    }
    if (param->accesstype == writeOnlyCode()) {
        BLOG(digitizer, C_LOG_DETAIL,
             "Read from write-only register 0x%04X, using last written value which equals to '%s'=%.3f.",
             param->regaddr, param->name, param->value);
        *value = param->value;
        return 0;
    }
    uint32_t readAddress = readAddressOf(digitizer, param);
    uint32_t word = 0;
    int result = GENERIC_ReadRegister(digitizer, readAddress, &word);
    if (result != 0)
        return result;
    if (param->mask == 0)
        return DPPL_ERR_PARAMETER; /* no field to take from the word */
    uint32_t field = param->mask == C_PARAM_FULL_MASK ? word : (word & param->mask) >> fieldShift(param->mask);
    double converted = param->regtoval != NULL ? param->regtoval(&ref, field) : (double)field;
    if (param->type == C_PARAM_TYPE_RANGE && hasUsableStep(param) && isfinite(converted))
        converted = roundToStep(converted, isfinite(param->min) ? param->min : 0.0, param->incr);
    param->value = converted;
    *value = converted;
    BLOG(digitizer, C_LOG_DETAIL, "Read 0x%08X from 0x%04X, which equals to '%s'=%.3f.", word, readAddress, param->name,
         converted);
    return 0;
}

double GENERIC_ClampParamValue(c_Digitizer_t* digitizer, c_Parameter_t* param, double value) {
    if (param == NULL)
        return value;
    if (value > param->max) {
        BLOG(digitizer, C_LOG_WARNING, "'%s'=%.3f is a too big value. Using max=%.3f instead.", param->name, value,
             param->max);
        value = param->max;
    }
    if (value < param->min) {
        BLOG(digitizer, C_LOG_WARNING, "'%s'=%.3f is a too small value. Using min=%.3f instead.", param->name, value,
             param->min);
        value = param->min;
    }
    return value;
}

uint32_t GENERIC_ListValToReg(const c_ParamRef_t* ref, double value) {
    if (ref == NULL || ref->param == NULL)
        return 0;
    const c_Parameter_t* param = ref->param;
    uint32_t entries = param->count < C_PARAM_MAX_VALUES ? param->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < entries; ++i) {
        if (param->values[i].value == value)
            return param->values[i].regvalue;
    }
    BLOG(ref->board, C_LOG_WARNING, "Can't find the given value (%f) in list. Will be used %f instead.", value,
         param->values[0].value);
    return param->values[0].regvalue;
}

double GENERIC_ListRegToVal(const c_ParamRef_t* ref, uint32_t field) {
    if (ref == NULL || ref->param == NULL)
        return 0;
    const c_Parameter_t* param = ref->param;
    uint32_t entries = param->count < C_PARAM_MAX_VALUES ? param->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < entries; ++i) {
        if (param->values[i].regvalue == field)
            return param->values[i].value;
    }
    BLOG(ref->board, C_LOG_WARNING,
         "Can't find a value for register value %u. This should never happen. Will return default %f.", field,
         param->values[0].value);
    return param->values[0].value;
}

/* ------------------------------------------------------------- registers */

int GENERIC_WriteRegister(c_Digitizer_t* digitizer, uint32_t address, uint32_t value) {
    if (digitizer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (digitizer->replay)
        return DPPL_ERR_FILE_DIGITIZER;
    int32_t handle = digitizer->descriptor.CommHandle;
    int result = ZarnComm_Write32(handle, address, value);
    if (result != 0) {
        BLOG(digitizer, C_LOG_ERROR, "ZarnComm_Write32(%d, 0x%X, 0x%X) failed with error %i.", handle, address, value,
             result);
        return DPPL_ERR_WRITE_REGISTER;
    }
    return 0;
}

int GENERIC_ReadRegister(c_Digitizer_t* digitizer, uint32_t address, uint32_t* value) {
    if (digitizer == NULL || value == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (digitizer->replay)
        return DPPL_ERR_FILE_DIGITIZER;
    int32_t handle = digitizer->descriptor.CommHandle;
    int result = ZarnComm_Read32(handle, address, value);
    if (result != 0) {
        BLOG(digitizer, C_LOG_ERROR, "ZarnComm_Read32(%d, 0x%X, &data) failed with error %i.", handle, address, result);
        return DPPL_ERR_READ_REGISTER;
    }
    return 0;
}

int c_rwrite(c_Digitizer_t* digitizer, uint32_t address, uint32_t value) {
    return GENERIC_WriteRegister(digitizer, address, value);
}

int c_rread(c_Digitizer_t* digitizer, uint32_t address, uint32_t* value) {
    return GENERIC_ReadRegister(digitizer, address, value);
}

/* ------------------------------------------------------ free-value paths */

int GENERIC_ParseFreeValuePath(const char* path, uint32_t* address, uint32_t* mask, uint8_t* shift) {
    if (path == NULL || address == NULL || mask == NULL || shift == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    char buffer[kFreeValuePathSize];
    snprintf(buffer, sizeof buffer, "%s", path);

    /* Tokens: the first ends at '/', the others are split at '-'; empty
     * tokens are skipped; at most three count. */
    char* tokens[3] = {NULL, NULL, NULL};
    int count = 0;
    char* save = NULL;
    for (char* token = strtok_r(buffer, "/", &save); token != NULL && count < 3; token = strtok_r(NULL, "-", &save))
        tokens[count++] = token;

    if (count == 0) {
        PLOG(C_LOG_ERROR, "Empty free value path.");
        return DPPL_ERR_GENERIC;
    }
    if (!parseHex32(tokens[0], address)) {
        PLOG(C_LOG_ERROR, "Unable to parse registry address '%s'.", tokens[0]);
        return DPPL_ERR_GENERIC;
    }
    if (count == 1) {
        *mask = C_PARAM_FULL_MASK;
        *shift = 0;
        return 0;
    }
    if (count == 2) {
        if (!parseHex32(tokens[1], mask)) {
            PLOG(C_LOG_ERROR, "Unable to parse mask '%s'.", tokens[1]);
            return DPPL_ERR_GENERIC;
        }
        *shift = 0; /* the value stands in register position */
        return 0;
    }
    uint32_t start = 0, end = 0;
    if (!parseUnsignedDecimal(tokens[1], &start)) {
        PLOG(C_LOG_ERROR, "Unable to parse start bit '%s'.", tokens[1]);
        return DPPL_ERR_GENERIC;
    }
    if (!parseUnsignedDecimal(tokens[2], &end)) {
        PLOG(C_LOG_ERROR, "Unable to parse end bit '%s'.", tokens[2]);
        return DPPL_ERR_GENERIC;
    }
    if (start >= 32) {
        PLOG(C_LOG_ERROR, "Out of range start bit '%s'.", tokens[1]);
        return DPPL_ERR_GENERIC;
    }
    if (end >= 32 || end < start) { /* a field runs upwards from its start bit */
        PLOG(C_LOG_ERROR, "Out of range end bit '%s'.", tokens[2]);
        return DPPL_ERR_GENERIC;
    }
    uint64_t upTo = (2ull << end) - 1;    /* bits 0..end */
    uint64_t below = (1ull << start) - 1; /* bits 0..start-1 */
    *mask = (uint32_t)(upTo & ~below);
    *shift = (uint8_t)start;
    return 0;
}

} // extern "C"

namespace {

/* The register field a free-value path names. */
struct FreeValueField {
    uint32_t address = 0, mask = 0;
    uint8_t shift = 0;
};

/* The field of a free-value path, on a record that has registers behind it;
 * 0 or the refusal. */
int freeValueField(const c_Digitizer_t* digitizer, const char* path, FreeValueField* field) {
    if (isSecondGenerationReplay(digitizer))
        return DPPL_ERR_NOT_SUPPORTED;
    return GENERIC_ParseFreeValuePath(path, &field->address, &field->mask, &field->shift);
}

} // namespace

extern "C" {

int c_fvset(c_Digitizer_t* digitizer, const char* path, const char* hexValue) {
    if (digitizer == NULL || path == NULL || hexValue == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    FreeValueField field;
    int result = freeValueField(digitizer, path, &field);
    if (result != 0)
        return result;
    uint32_t value = 0;
    if (!parseHex32(hexValue, &value)) {
        PLOG(C_LOG_ERROR, "Unable to parse value '%s'.", hexValue);
        return DPPL_ERR_GENERIC;
    }
    uint32_t word = value << field.shift;
    if (field.mask != C_PARAM_FULL_MASK) {
        uint32_t current = 0;
        result = GENERIC_ReadRegister(digitizer, field.address, &current);
        if (result != 0)
            return result;
        word = (field.mask & word) | (~field.mask & current);
    }
    return GENERIC_WriteRegister(digitizer, field.address, word);
}

int c_fvget(c_Digitizer_t* digitizer, const char* path, char* hexOut) {
    if (digitizer == NULL || path == NULL || hexOut == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    FreeValueField field;
    int result = freeValueField(digitizer, path, &field);
    if (result != 0)
        return result;
    uint32_t word = 0;
    result = GENERIC_ReadRegister(digitizer, field.address, &word);
    if (result != 0)
        return result;
    snprintf(hexOut, 9, "%x", (word & field.mask) >> field.shift);
    return 0;
}

/* ---------------------------------------------------------------- lookups */

} // extern "C"

namespace {

bool lookupAllowed(const c_Digitizer_t* digitizer) { return isOpenRecord(digitizer); }

bool indexWithin(c_Digitizer_t* digitizer, int32_t index, uint64_t bound, const char* format) {
    if (index >= 0 && (uint64_t)index < bound)
        return true;
    c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, format, index);
    return false;
}

/* Bounds of the record's slot arrays, within which every count is kept. */
uint64_t boundOf(uint64_t count, uint64_t slots) { return count < slots ? count : slots; }

} // namespace

extern "C" {

c_Parameter_t* c_pfind(c_Digitizer_t* digitizer, int32_t code) {
    if (!lookupAllowed(digitizer))
        return NULL;
    return _pretrieve(digitizer->boardColl, code);
}

c_Parameter_t* c_pfindg(c_Digitizer_t* digitizer, int32_t group, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, group, boundOf(digitizer->descriptor.NumGroups, DPPL_MAX_GROUPS), "Invalid Group %i"))
        return NULL;
    return _pretrieve(digitizer->groupColl[group], code);
}

c_Parameter_t* c_pfindc(c_Digitizer_t* digitizer, int32_t channel, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, channel, boundOf(digitizer->descriptor.NumChannels, DPPL_MAX_CHANNELS),
                     "Invalid Channel %i"))
        return NULL;
    return _pretrieve(digitizer->channels[channel].coll, code);
}

c_Parameter_t* c_pfindlg(c_Digitizer_t* digitizer, int32_t lvdsGroup, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, lvdsGroup, boundOf(digitizer->descriptor.LVDSGroups, DPPL_MAX_LVDS_GROUPS),
                     "Invalid LVDS Group %i"))
        return NULL;
    return _pretrieve(digitizer->lvdsColl[lvdsGroup], code);
}

c_Parameter_t* c_pfindvt(c_Digitizer_t* digitizer, int32_t trace, int32_t code) {
    if (!lookupAllowed(digitizer))
        return NULL;
    uint64_t traces = (uint64_t)digitizer->descriptor.AnalogVTraces + digitizer->descriptor.DigitalVTraces;
    if (!indexWithin(digitizer, trace, boundOf(traces, DPPL_MAX_VTRACES), "Invalid Trace %i"))
        return NULL;
    return _pretrieve(digitizer->vtrace[trace].coll, code);
}

c_Parameter_t* c_pfindhvc(c_Digitizer_t* digitizer, int32_t hvChannel, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, hvChannel, boundOf(digitizer->descriptor.HVChannels, DPPL_MAX_HV_CHANNELS),
                     "Invalid HV Channel %i"))
        return NULL;
    return _pretrieve(digitizer->hv[hvChannel].coll, code);
}

c_Parameter_t* c_pfindhvr(c_Digitizer_t* digitizer, int32_t hvChannel, int32_t range, int32_t code) {
    if (!lookupAllowed(digitizer))
        return NULL;
    uint64_t channels = boundOf(digitizer->descriptor.HVChannels, DPPL_MAX_HV_CHANNELS);
    bool channelOk = hvChannel >= 0 && (uint64_t)hvChannel < channels;
    uint64_t ranges = channelOk ? boundOf(digitizer->hv[hvChannel].rangeCount, DPPL_MAX_HV_RANGES) : 0;
    if (!channelOk || range < 0 || (uint64_t)range >= ranges) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, "Invalid HV Range %i for HV channel %i",
                         range, hvChannel);
        return NULL;
    }
    return _pretrieve(digitizer->hv[hvChannel].ranges[range].coll, code);
}

c_Parameter_t* c_pfindmo(c_Digitizer_t* digitizer, int32_t monOut, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, monOut, boundOf(digitizer->descriptor.MonOuts, DPPL_MAX_MONOUTS),
                     "Invalid Output Monitor %i"))
        return NULL;
    return _pretrieve(digitizer->monOutColl, code);
}

c_Parameter_t* c_pfindvga(c_Digitizer_t* digitizer, int32_t vga, int32_t code) {
    if (!lookupAllowed(digitizer) ||
        !indexWithin(digitizer, vga, boundOf(digitizer->descriptor.VGAs, DPPL_MAX_VGAS), "Invalid VGA index %i"))
        return NULL;
    return _pretrieve(digitizer->vgaColl[vga], code);
}

int32_t c_getParamCategory(c_Digitizer_t* digitizer, int32_t code) {
    if (digitizer == NULL)
        return PARAM_CATEGORY_UNSUPPORTED;
    if (digitizer->boardColl == NULL)
        PLOG(C_LOG_ERROR, "Coll cannot be NULL. Can't check if category has code.");
    else if (holdsCode(digitizer->boardColl, code))
        return PARAM_CATEGORY_BOARD;
    const struct {
        const c_ParamCollection_t* collection;
        int32_t category;
    } firsts[] = {
        {digitizer->groupColl[0], PARAM_CATEGORY_GROUP},    {digitizer->channels[0].coll, PARAM_CATEGORY_CHANNEL},
        {digitizer->lvdsColl[0], PARAM_CATEGORY_LVDSGROUP}, {digitizer->vtrace[0].coll, PARAM_CATEGORY_VIRTUALTRACE},
        {digitizer->hv[0].coll, PARAM_CATEGORY_HVCHANNEL},  {digitizer->hv[0].ranges[0].coll, PARAM_CATEGORY_HVRANGE},
        {digitizer->monOutColl, PARAM_CATEGORY_MONOUT},     {digitizer->vgaColl[0], PARAM_CATEGORY_VGA},
    };
    for (const auto& first : firsts) {
        if (first.collection != NULL && holdsCode(first.collection, code))
            return first.category;
    }
    return PARAM_CATEGORY_UNSUPPORTED;
}

/* ------------------------------------------------------------ services */

} // extern "C"

namespace {

/* Shift and normalisation of one triangular filter: the index of the
 * highest set bit of the product's integer part, and 65535 * 2^shift over
 * the product. false for a product whose integer part is 0 or does not fit
 * 32 bits. */
bool triangFactors(double product, int32_t* norm, int32_t* shift) {
    if (!(product >= 1.0) || !(product < 4294967296.0))
        return false;
    uint32_t integerPart = (uint32_t)product;
    int32_t highestBit = 31 - __builtin_clz(integerPart);
    *shift = highestBit;
    *norm = (int32_t)(65535.0 * ldexp(1.0, highestBit) / product);
    return true;
}

} // namespace

extern "C" {

int c_calcTriangParams(c_Digitizer_t* digitizer, int32_t channel, int32_t* slowNorm, int32_t* fastNorm,
                       int32_t* slowShift, int32_t* fastShift) {
    if (digitizer == NULL || slowNorm == NULL || fastNorm == NULL || slowShift == NULL || fastShift == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Parameter_t* decay = c_pfindc(digitizer, channel, DPPL_PARAM_CH_TDECAY);
    if (decay == NULL) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, "Can't get decay time param.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    c_Parameter_t* rise = c_pfindc(digitizer, channel, DPPL_PARAM_CH_RCCR2_RISE);
    if (rise == NULL) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__, "Can't get rise time param.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    double period = digitizer->descriptor.SamplePeriod;
    double d = decay->value / period;
    double r = rise->value / period;
    int32_t fast[2], slow[2];
    if (!(period > 0) || !triangFactors(r * d, &fast[0], &fast[1]) || !triangFactors(3.0 * r * d, &slow[0], &slow[1])) {
        c_extendedLogMsg(&ZarnParameters_log, digitizer, C_LOG_ERROR, __LINE__,
                         "Can't compute triangular filter factors of channel %i from decay %f ns, rise %f ns and "
                         "sample period %f ns.",
                         channel, decay->value, rise->value, period);
        return DPPL_ERR_PARAMETER;
    }
    *fastNorm = fast[0];
    *fastShift = fast[1];
    *slowNorm = slow[0];
    *slowShift = slow[1];
    return 0;
}

c_Trace_t* c_atfind(const c_DPPEvent_t* event, int32_t trace) {
    if (event == NULL || event->waveform == NULL || trace < 0 || trace >= DPPL_ANALOG_TRACES)
        return NULL;
    return &event->waveform->traces[trace];
}

c_Trace_t* c_dtfind(const c_DPPEvent_t* event, int32_t trace) {
    if (event == NULL || event->waveform == NULL || trace < DPPL_ANALOG_TRACES || trace >= DPPL_TRACE_SLOTS)
        return NULL;
    return &event->waveform->traces[trace];
}

int c_pgetn(int32_t probe, char* name) {
    if (name == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int32_t boardProbe;
    if (probe == 0)
        boardProbe = 9;
    else if (probe >= 1 && probe <= 4)
        boardProbe = probe - 1;
    else if (probe >= 5 && probe <= 7)
        boardProbe = probe;
    else if (probe == 8)
        boardProbe = 4;
    else if (probe >= 9 && probe <= 26)
        boardProbe = probe + 1;
    else
        boardProbe = -1;
    if (ZARN_DGTZ_GetDPP_VirtualProbeName(boardProbe, name) != 0)
        PLOG(C_LOG_WARNING, "Can't get name of Probe %d", probe);
    return 0;
}

} // extern "C"
