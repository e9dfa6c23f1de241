/*
 * SRV_ParameterCommands: the lookup of a parameter from the index path of a
 * request, the value table of a parameter (values, value code names and
 * descriptions), its information record, and the handlers of commands 13,
 * 14, 15 (set, get, describe), 39, 40 (channel auto-set) and 53 (sample
 * advance).
 */
#include "SRV_ParameterCommands.h"

#include <cstdio>
#include <cstring>

#include "SRVParameters.h"
#include "SRV_BoardLock.h"
#include "SRV_CommandRequest.h"

namespace {

const c_LogModule_t kCommandLog = {"SRVParametersLog.txt", "SRVParameters"};

const char kComplexCodename[] = "NOT DEFINED";
const char kComplexDescription[] = "Not defined.";
const char kRangeCodename[] = "Range parameter.";
/* A range parameter describes its value as "%.3f" in at most this many
 * characters. */
constexpr size_t kRangeDescriptionMax = 46;

/* Data-mask bits of commands 13 and 14. */
constexpr uint64_t kSetValue = 0x1;
constexpr uint64_t kSetCodename = 0x2;
constexpr uint64_t kSetKnown = kSetValue | kSetCodename;
constexpr uint64_t kGetValue = 0x1;
constexpr uint64_t kGetCodename = 0x2;
constexpr uint64_t kGetDescription = 0x4;
/* Data-mask bits 0 to 13 of command 15. */
constexpr int kInfoBits = 14;
/* cmdMaskIn bits 0 to 2 of commands 39 and 40: one option word each, giving
 * the library's mode bits 0x2, 0x4 and 0x8. */
constexpr int kAutoSetOptions = 3;

/* The object indexes of an index path; every type keeps the last index
 * given, -1 when none was. */
struct ObjectAddress {
    int32_t channel = -1;
    int32_t hvChannel = -1;
    int32_t hvRange = -1;
    int32_t lvdsGroup = -1;
    int32_t virtualTrace = -1;
    int32_t code = -1;
    int32_t energySpectrum = -1;
    int32_t mcsSpectrum = -1;
    int32_t roi = -1;
    int32_t monOut = -1;
    int32_t dtSpectrum = -1;
};

/* Reads the (index, type) pairs; a trailing lone element is ignored. False
 * for a type that addresses no parameter's owner. */
bool readAddress(const int32_t* path, uint32_t length, ObjectAddress* address) {
    const SRVPathSlot_t slots[] = {
        {SRV_OBJ_CHANNEL, &address->channel},
        {SRV_OBJ_HV_CHANNEL, &address->hvChannel},
        {SRV_OBJ_HV_RANGE, &address->hvRange},
        {SRV_OBJ_LVDS_GROUP, &address->lvdsGroup},
        {SRV_OBJ_VIRTUAL_TRACE, &address->virtualTrace},
        {SRV_OBJ_PARAMETER, &address->code},
        {SRV_OBJ_ENERGY_SPECTRUM, &address->energySpectrum},
        {SRV_OBJ_MCS_SPECTRUM, &address->mcsSpectrum},
        {SRV_OBJ_ROI, &address->roi},
        {SRV_OBJ_MON_OUT, &address->monOut},
        {SRV_OBJ_DT_SPECTRUM, &address->dtSpectrum},
    };
    return SRV_ReadIndexPath(path, length, slots, sizeof slots / sizeof slots[0]);
}

/* The collection of the first object of each category, in the order in
 * which a code is looked for, with the object type of the category. */
struct CategoryProbe {
    int32_t objectType;
    const c_ParamCollection_t* collection;
};

constexpr int kCategoryCount = 11;

void categoryProbes(const SRVBoard_t* board, CategoryProbe probes[kCategoryCount]) {
    const SRVChannel_t& channel = board->channels[0];
    const SRVEnergySpectrum_t& spectrum = channel.energySpectra[0];
    const CategoryProbe table[kCategoryCount] = {
        {SRV_OBJ_BOARD, board->collection},
        {SRV_OBJ_CHANNEL, channel.collection},
        {SRV_OBJ_HV_CHANNEL, board->hv[0].collection},
        {SRV_OBJ_HV_RANGE, board->hv[0].ranges[0].collection},
        {SRV_OBJ_ENERGY_SPECTRUM, spectrum.collection},
        {SRV_OBJ_ROI, spectrum.rois[0].collection},
        {SRV_OBJ_MCS_SPECTRUM, channel.mcsSpectra[0].collection},
        {SRV_OBJ_LVDS_GROUP, board->lvdsGroups[0]},
        {SRV_OBJ_VIRTUAL_TRACE, board->virtualTraces[0]},
        {SRV_OBJ_MON_OUT, board->monOuts[0]},
        {SRV_OBJ_DT_SPECTRUM, board->dtSpectra[0].collection},
    };
    for (int i = 0; i < kCategoryCount; ++i)
        probes[i] = table[i];
}

SRVParameter_t* parameterOf(SRVBoard_t* board, int32_t objectType, const ObjectAddress& a) {
    switch (objectType) {
    case SRV_OBJ_BOARD: return SRV_GetBoardParameter(board, a.code);
    case SRV_OBJ_CHANNEL: return SRV_GetChannelParameter(board, a.channel, a.code);
    case SRV_OBJ_HV_CHANNEL: return SRV_GetHVChannelParameter(board, a.hvChannel, a.code);
    case SRV_OBJ_HV_RANGE: return SRV_GetHVRangeParameter(board, a.hvChannel, a.hvRange, a.code);
    case SRV_OBJ_ENERGY_SPECTRUM: return SRV_GetEnergySpectrumParameter(board, a.channel, a.energySpectrum, a.code);
    case SRV_OBJ_ROI: return SRV_GetROIParameter(board, a.channel, a.energySpectrum, a.roi, a.code);
    case SRV_OBJ_MCS_SPECTRUM: return SRV_GetMCSSpectrumParameter(board, a.channel, a.mcsSpectrum, a.code);
    case SRV_OBJ_LVDS_GROUP: return SRV_GetLVDSGroupParameter(board, a.lvdsGroup, a.code);
    case SRV_OBJ_VIRTUAL_TRACE: return SRV_GetVirtualTraceParameter(board, a.virtualTrace, a.code);
    case SRV_OBJ_MON_OUT: return SRV_GetMonOutParameter(board, a.monOut, a.code);
    case SRV_OBJ_DT_SPECTRUM: return SRV_GetDTSpectrumParameter(board, a.dtSpectrum, a.code);
    default: return nullptr;
    }
}

/* ------------------------------------------------------ value table */

/* One entry of a parameter's value table. */
struct ValueEntry {
    double value;
    const char* codename;
    const char* description;
};

/* Calls visit(entry) for each entry of the value table in order, until it
 * returns true; the number of entries visited. A range parameter has no
 * table. */
template <class Visit>
uint32_t visitValues(const SRVParameter_t* param, Visit visit) {
    uint32_t visited = 0;
    int32_t kind = SRVParameters_GetKind(param);
    if (kind != C_PARAM_TYPE_LIST)
        return 0;
    if (param->type == SRV_PARAM_TYPE_COMPLEX) {
        const List_t* list = param->paramValueList;
        for (const List_t* node = list != nullptr ? list->first : nullptr; node != nullptr; node = node->next) {
            const SRVParamValue_t* value = (const SRVParamValue_t*)node->data;
            if (value == nullptr)
                continue;
            ++visited;
            if (visit(ValueEntry{value->code, kComplexCodename, kComplexDescription}))
                break;
        }
        return visited;
    }
    const c_Parameter_t* p = param->utilParam;
    uint32_t count = p->count < C_PARAM_MAX_VALUES ? p->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < count; ++i) {
        ++visited;
        if (visit(ValueEntry{p->values[i].value, p->values[i].codename, p->values[i].name}))
            break;
    }
    return visited;
}

/* Copies text behind what out already holds, within its 48 bytes. */
void appendText(char out[SRV_PARAM_TEXT_SIZE], const char* text, size_t limit = SRV_PARAM_TEXT_SIZE - 1) {
    size_t used = strnlen(out, SRV_PARAM_TEXT_SIZE - 1);
    size_t room = limit > used ? limit - used : 0;
    std::snprintf(out + used, room + 1, "%.*s", (int)room, text);
}

/* The table entry whose value equals value exactly; false when none. */
bool findEntry(const SRVParameter_t* param, double value, ValueEntry* found) {
    bool matched = false;
    visitValues(param, [&](const ValueEntry& entry) {
        if (entry.value != value)
            return false;
        *found = entry;
        matched = true;
        return true;
    });
    return matched;
}

/* ----------------------------------------------------- request helpers */

/* The channel of a channel signal, checked against the board before it
 * reaches the library; -33 after "Channel '%i' not found.". */
SRVStatus_t checkSignalChannel(const SRVBoard_t* board, int32_t channel) {
    if (SRV_IsValidChannel(board, channel))
        return SRV_SUCCESS;
    c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Channel '%i' not found.", channel);
    return SRV_ERR_UNSUPPORTED;
}

/* ------------------------------------------------------- command 15 */

/* Appends the command-15 fields of the set bits, in bit order. */
void appendInfoFields(SRVReply* reply, uint64_t dataMask, const SRVParameterInfo_t& info) {
    for (int bit = 0; bit < kInfoBits; ++bit) {
        if ((dataMask & (1ull << bit)) == 0)
            continue;
        switch (bit) {
        case 0: reply->text(info.name, SRV_PARAM_TEXT_SIZE); break;
        case 1: reply->text(info.codename, SRV_PARAM_TEXT_SIZE); break;
        case 2: reply->u32(info.flags); break;
        case 3: reply->text(info.unitSymbol, SRV_PARAM_TEXT_SIZE); break;
        case 4: reply->text(info.unitBase, SRV_PARAM_TEXT_SIZE); break;
        case 5: reply->i32(info.unitPower); break;
        case 6: reply->i32(info.kind); break;
        case 7: reply->f64(info.min); break;
        case 8: reply->f64(info.max); break;
        case 9: reply->f64(info.step); break;
        case 10: reply->u32(info.count); break;
        case 11: reply->f64(info.values, info.count); break;
        case 12:
            reply->u32(info.count);
            reply->text(&info.valueCodenames[0][0], info.count * SRV_PARAM_TEXT_SIZE);
            break;
        case 13:
            reply->u32(info.count);
            reply->text(&info.valueDescriptions[0][0], info.count * SRV_PARAM_TEXT_SIZE);
            break;
        }
    }
}

/* The end of the signal commands 39, 40 and 53: the header and status. */
void* finishSignal(const SRVCommandRequest& request, SRVStatus_t result, uint32_t* replySize, SRVStatus_t* status) {
    SRVReply reply(request.command);
    return SRV_GiveReply(&reply, result, replySize, status);
}

/* ------------------------------------------------ commands 39 and 40 */

enum class AutoSet { Start, Stop };

void* autoSet(AutoSet action, const SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    const int32_t channel = request.channel;
    uint32_t mode = 0;
    for (int option = 0; option < kAutoSetOptions; ++option)
        if ((request.maskIn & (1ull << option)) != 0 && request.words[option] != 0)
            mode |= 0x2u << option;
    SRVStatus_t result = checkSignalChannel(board, channel);
    if (result == SRV_SUCCESS) {
        bool starting = action == AutoSet::Start;
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_INFO, __LINE__,
                         starting ? "Starting parameter auto-set for channel %u."
                                  : "Stopping parameter auto-set for channel %u.",
                         (unsigned)channel);
        int signalled = starting ? c_cautosetstart(&board->digitizer, channel, mode)
                                 : c_cautosetstop(&board->digitizer, (uint32_t)channel, mode);
        if (signalled != 0) {
            c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__,
                             starting ? "DPPLayer error (%i) starting auto-set."
                                      : "DPPLayer error (%i) stopping auto-set.",
                             signalled);
            result = SRV_ERR_LIBRARY;
        }
    }
    return finishSignal(request, result, replySize, status);
}

} // namespace

/* --------------------------------------------------------------- lookup */

int32_t SRVParameters_GetParameterType(SRVBoard_t* board, int32_t code) {
    if (board != nullptr) {
        CategoryProbe probes[kCategoryCount];
        categoryProbes(board, probes);
        for (const CategoryProbe& probe : probes) {
            const c_ParamCollection_t* c = probe.collection;
            if (c != nullptr && code >= c->firstCode && code <= c->lastCode)
                return probe.objectType;
        }
    }
    c_lprintf(&kCommandLog, C_LOG_ERROR, __LINE__, "Parameter type for id '%i' not found.", code);
    return SRV_OBJ_PARAMETER;
}

int SRVParameters_FindByCode(SRVBoard_t* board, const int32_t* path, uint32_t length, SRVParameter_t** out) {
    if (out != nullptr)
        *out = nullptr;
    if (board == nullptr || out == nullptr || (path == nullptr && length != 0))
        return SRV_ERR_INVALID_PARAMETER;
    ObjectAddress address;
    if (!readAddress(path, length, &address))
        return SRV_ERR_INVALID_PARAMETER;
    int32_t objectType = SRVParameters_GetParameterType(board, address.code);
    SRVParameter_t* param = objectType != SRV_OBJ_PARAMETER ? parameterOf(board, objectType, address) : nullptr;
    if (param == nullptr) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_WARNING, __LINE__,
                         "Can't find parameter with code '%i'.", address.code);
        return SRV_ERR_INVALID_PARAMETER;
    }
    *out = param;
    return SRV_SUCCESS;
}

/* ---------------------------------------------------- values and kinds */

int32_t SRVParameters_GetKind(const SRVParameter_t* param) {
    if (param == nullptr)
        return -1;
    switch (param->type) {
    case SRV_PARAM_TYPE_COMPLEX: return C_PARAM_TYPE_LIST;
    case SRV_PARAM_TYPE_SIMPLE:
    case SRV_PARAM_TYPE_SERVER_ONLY: {
        const c_Parameter_t* p = param->utilParam;
        if (p == nullptr || (p->type != C_PARAM_TYPE_RANGE && p->type != C_PARAM_TYPE_LIST))
            return -1;
        return p->type;
    }
    default: return -1;
    }
}

uint32_t SRVParameters_GetValuesList(const SRVParameter_t* param, double* values,
                                     char (*codenames)[SRV_PARAM_TEXT_SIZE], char (*descriptions)[SRV_PARAM_TEXT_SIZE],
                                     uint32_t capacity) {
    uint32_t filled = 0;
    uint32_t total = visitValues(param, [&](const ValueEntry& entry) {
        if (filled < capacity) {
            if (values != nullptr)
                values[filled] = entry.value;
            if (codenames != nullptr)
                std::snprintf(codenames[filled], SRV_PARAM_TEXT_SIZE, "%s", entry.codename);
            if (descriptions != nullptr)
                std::snprintf(descriptions[filled], SRV_PARAM_TEXT_SIZE, "%s", entry.description);
            ++filled;
        }
        return false;
    });
    return total;
}

int SRVParameters_GetValueFromCodename(const SRVParameter_t* param, const char* codename, double* value) {
    if (param == nullptr || codename == nullptr || value == nullptr)
        return SRV_ERR_RESOURCE;
    if (SRVParameters_GetKind(param) != C_PARAM_TYPE_LIST)
        return SRV_ERR_PARAMETER_VALUE;
    bool matched = false;
    visitValues(param, [&](const ValueEntry& entry) {
        if (std::strncmp(entry.codename, codename, SRV_PARAM_TEXT_SIZE) != 0)
            return false;
        *value = entry.value;
        matched = true;
        return true;
    });
    if (!matched) {
        c_lprintf(&kCommandLog, C_LOG_ERROR, __LINE__, "Value codename '%.*s' not found for parameter '%s'.",
                  (int)(SRV_PARAM_TEXT_SIZE - 1), codename, param->name);
        return SRV_ERR_INVALID_PARAMETER;
    }
    return SRV_SUCCESS;
}

int SRVParameters_GetValueCodename(const SRVParameter_t* param, double value, char codename[SRV_PARAM_TEXT_SIZE]) {
    if (param == nullptr || codename == nullptr)
        return SRV_ERR_RESOURCE;
    if (SRVParameters_GetKind(param) == C_PARAM_TYPE_RANGE) {
        appendText(codename, kRangeCodename);
        return SRV_SUCCESS;
    }
    ValueEntry entry;
    if (!findEntry(param, value, &entry))
        return SRV_ERR_PARAMETER_VALUE;
    appendText(codename, entry.codename);
    return SRV_SUCCESS;
}

int SRVParameters_GetValueDescription(const SRVParameter_t* param, double value,
                                      char description[SRV_PARAM_TEXT_SIZE]) {
    if (param == nullptr || description == nullptr)
        return SRV_ERR_RESOURCE;
    if (SRVParameters_GetKind(param) == C_PARAM_TYPE_RANGE) {
        char number[SRV_PARAM_TEXT_SIZE];
        std::snprintf(number, sizeof number, "%.3f", value);
        appendText(description, number, kRangeDescriptionMax);
        return SRV_SUCCESS;
    }
    ValueEntry entry;
    if (!findEntry(param, value, &entry))
        return SRV_ERR_PARAMETER_VALUE;
    appendText(description, entry.description);
    return SRV_SUCCESS;
}

/* ------------------------------------------------------- information */

int SRVParameters_GetInfo(c_Digitizer_t* dig, const SRVParameter_t* param, SRVParameterInfo_t* info) {
    if (param == nullptr || info == nullptr)
        return SRV_ERR_GENERIC;
    std::memset(info, 0, sizeof *info);
    info->kind = SRVParameters_GetKind(param);
    if (info->kind == -1) {
        c_extendedLogMsg(&kCommandLog, dig, C_LOG_ERROR, __LINE__,
                         "Can't get infos for parameter %s. Invalid parameter format.", param->name);
        return SRV_ERR_GENERIC;
    }
    const c_Parameter_t* p = param->utilParam;
    if (param->type != SRV_PARAM_TYPE_COMPLEX && p != nullptr) {
        std::snprintf(info->unitSymbol, sizeof info->unitSymbol, "%s", p->unitSymbol);
        std::snprintf(info->unitBase, sizeof info->unitBase, "%s", p->unitBase);
        std::snprintf(info->unitName, sizeof info->unitName, "%s", p->unitName);
        info->unitPower = p->unitPower;
        uint8_t readOnly = c_getAccessTypeCode("READONLY");
        uint8_t readWrite = c_getAccessTypeCode("READWRITE");
        uint8_t writeOnly = c_getAccessTypeCode("WRITEONLY");
        auto is = [&](uint8_t code) { return code != 0xFF && p->accesstype == code; };
        if (p->acqon)
            info->flags |= 0x1;
        if (p->hvconfig)
            info->flags |= 0x2;
        if (p->hvon)
            info->flags |= 0x4;
        if (is(readOnly) || is(readWrite))
            info->flags |= 0x8;
        if (is(writeOnly) || is(readWrite))
            info->flags |= 0x10;
    }
    if (info->kind == C_PARAM_TYPE_LIST) {
        info->valueCategory = param->valueCategory;
        uint32_t total = SRVParameters_GetValuesList(param, info->values, info->valueCodenames, info->valueDescriptions,
                                                     SRV_PARAM_INFO_MAX_VALUES);
        info->count = total < SRV_PARAM_INFO_MAX_VALUES ? total : SRV_PARAM_INFO_MAX_VALUES;
        if (total > SRV_PARAM_INFO_MAX_VALUES) {
            c_extendedLogMsg(&kCommandLog, dig, C_LOG_WARNING, __LINE__,
                             "Parameter '%s' has %u values; only the first %u are described.", param->name, total,
                             (unsigned)SRV_PARAM_INFO_MAX_VALUES);
        }
    } else if (p != nullptr) {
        info->min = p->min;
        info->max = p->max;
        info->step = p->incr;
    }
    std::snprintf(info->name, sizeof info->name, "%s", param->name);
    std::snprintf(info->codename, sizeof info->codename, "%s", param->codename);
    return SRV_SUCCESS;
}

/* ---------------------------------------------------- command handlers */

// A simple or server-only parameter whose library parameter the library's
// set path refuses to write (the same access test).
static bool isReadOnly(const SRVParameter_t* param) {
    return param->type != SRV_PARAM_TYPE_COMPLEX && param->utilParam != nullptr &&
           param->utilParam->accesstype == c_getAccessTypeCode("READONLY");
}

// Command 13: u64 dataMask, index path, then bit 0 the value (f64), bit 1
// a value code name (char[48]).
void* SRV_CmdSetParameter(SRVCommandRequest& command, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = command.board;
    const uint64_t dataMask = command.dataMask;
    SRVParameter_t* param = command.objectAs<SRVParameter_t>();
    SRVRequest& request = command.fields;
    double value = 0;
    bool complete = (dataMask & kSetValue) == 0 || request.f64(&value);
    if (complete && (dataMask & kSetCodename) != 0) {
        char codename[SRV_PARAM_TEXT_SIZE];
        // A codename the parameter does not know is refused like a missing field.
        complete =
            request.text(codename, sizeof codename) && SRVParameters_GetValueFromCodename(param, codename, &value) == 0;
    }
    if (!complete) {
        *status = SRV_ERR_DESERIALIZE;
        return nullptr;
    }
    // Unknown bits are refused once the fields were read.
    *status = SRV_RefuseUnknownIn(command);
    if (*status != SRV_SUCCESS)
        return nullptr;
    if ((dataMask & kSetKnown) == 0) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_WARNING, __LINE__, "No value provided.");
        *status = SRV_ERR_UNSUPPORTED;
        return nullptr;
    }
    // The library's set of a read-only parameter writes nothing and only
    // reads the board back; a client asking for a value is told it was not
    // taken. (A configuration load keeps going over read-only values.)
    if (isReadOnly(param)) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Parameter '%s' is read-only: it can't be set.", param->name);
        *status = SRV_ERR_PARAMETER_VALUE;
        return nullptr;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return nullptr;
    SRVReply reply(command.command);
    SRVStatus_t result = SRV_SUCCESS;
    if (SRVParameter_SetValue(&board->digitizer, param, value) != 0) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Error setting parameter '%s'.",
                         param->name);
        result = SRV_ERR_PARAMETER_VALUE;
    } else if (!reply.ok()) {
        result = SRV_ERR_SERIALIZE;
    }
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

void* SRV_CmdGetParameter(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    const uint64_t dataMask = request.dataMask;
    SRVParameter_t* param = request.objectAs<SRVParameter_t>();
    double value = 0;
    if (SRVParameter_GetValue(&board->digitizer, param, &value) != 0) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__, "Error getting parameter '%s'.",
                         param->name);
        *status = SRV_ERR_PARAMETER_VALUE;
        return nullptr;
    }
    SRVReply reply(request.command);
    if ((dataMask & kGetValue) != 0)
        reply.f64(value);
    for (uint64_t bit : {kGetCodename, kGetDescription}) {
        if (!reply.ok() || (dataMask & bit) == 0)
            continue;
        char text[SRV_PARAM_TEXT_SIZE] = {};
        int found = bit == kGetCodename ? SRVParameters_GetValueCodename(param, value, text)
                                        : SRVParameters_GetValueDescription(param, value, text);
        if (found != 0) {
            c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_WARNING, __LINE__,
                             "Value '%f' not found for parameter '%s'.", value, param->name);
            *status = SRV_ERR_PARAMETER_VALUE;
            return nullptr;
        }
        reply.text(text, sizeof text);
    }
    return SRV_GiveReply(&reply, SRV_SUCCESS, replySize, status);
}

void* SRV_CmdGetParameterInfo(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    /* The record is large (two tables of 20 texts): keep it off the stack. */
    SRVParameterInfo_t* info = (SRVParameterInfo_t*)c_malloc(sizeof(SRVParameterInfo_t));
    if (info == nullptr) {
        *status = SRV_ERR_RESOURCE;
        return nullptr;
    }
    SRVReply reply(request.command);
    SRVStatus_t result =
        (SRVStatus_t)SRVParameters_GetInfo(&request.board->digitizer, request.objectAs<SRVParameter_t>(), info);
    if (result == SRV_SUCCESS)
        appendInfoFields(&reply, request.dataMask, *info);
    c_free(info);
    return SRV_GiveReply(&reply, result, replySize, status);
}

void* SRV_CmdStartAutoSet(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    return autoSet(AutoSet::Start, request, replySize, status);
}

void* SRV_CmdStopAutoSet(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    return autoSet(AutoSet::Stop, request, replySize, status);
}

void* SRV_CmdSampleAdvance(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    const int32_t channel = request.channel;
    SRVStatus_t result = checkSignalChannel(board, channel);
    if (result == SRV_SUCCESS) {
        c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_INFO, __LINE__,
                         "Generating Sample Advance signal for channel %u.", (unsigned)channel);
        int signalled = c_csampleadvance(&board->digitizer, channel);
        if (signalled != 0) {
            c_extendedLogMsg(&kCommandLog, &board->digitizer, C_LOG_ERROR, __LINE__,
                             "DPPLayer error (%i) generating sample advance signal.", signalled);
            result = SRV_ERR_LIBRARY;
        }
    }
    return finishSignal(request, result, replySize, status);
}
