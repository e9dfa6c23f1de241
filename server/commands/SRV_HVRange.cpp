// High-voltage commands: channel and range information, and switching a
// channel on and off through its DPPL_PARAM_HVCH_ON parameter.
#include "SRV_HVRange.h"

#include <cstring>

#include "SRVParameters.h"
#include "SRV_CommandRequest.h"

static const c_LogModule_t LOG_MODULE = {"SRV_HVRange.txt", "SRV_HVRange"};

static const char* const HV_ON_CODENAME = "DPPL_PARAM_HVCH_ON";

// Reply fields of command 37; the optional input of command 45 and its
// output.
static const uint64_t CHANNEL_RANGES = 0x1;
static const uint64_t CHANNEL_POLARITY = 0x2;
static const uint64_t ONOFF_NEW_STATE = 0x1;
static const uint64_t ONOFF_STATE = 0x1;

// Data-mask bits of command 38.
static const int RANGE_BIT_KIND = 21;
static const int RANGE_BIT_CODENAME = 22;
static const int RANGE_BIT_NAME = 23;

#define BLOG(board, level, ...) c_extendedLogMsg(&LOG_MODULE, &(board)->digitizer, (level), __LINE__, __VA_ARGS__)

// Copies a text of the library record (which need not be terminated within
// its size) into a reply text of SRV_HV_RANGE_TEXT bytes: at most 47
// characters, the rest zero.
static void copyText(char destination[SRV_HV_RANGE_TEXT], const char* source, size_t sourceSize) {
    std::memset(destination, 0, SRV_HV_RANGE_TEXT);
    size_t length = strnlen(source, sourceSize);
    if (length > SRV_HV_RANGE_TEXT - 1)
        length = SRV_HV_RANGE_TEXT - 1;
    std::memcpy(destination, source, length);
}

// ------------------------------------------------------------------ on/off

SRVStatus_t SRV_GetSetHVChannelOn(SRVBoard_t* board, int32_t hvChannel, const uint8_t* newState, uint8_t* state) {
    c_Digitizer_t* digitizer = &board->digitizer;
    int32_t code = -1;
    if (c_getParamCodeFromCodeName(HV_ON_CODENAME, &code) != 0) {
        BLOG(board, C_LOG_ERROR, "Parameter code for '%s' not found", HV_ON_CODENAME);
        return SRV_ERR_INVALID_PARAMETER;
    }
    // The library bounds the channel against the board's HV channels.
    c_Parameter_t* parameter = c_pfindhvc(digitizer, hvChannel, code);
    if (parameter == NULL) {
        BLOG(board, C_LOG_ERROR, "Parameter '%s' with code '%i' not found", HV_ON_CODENAME, code);
        return SRV_ERR_INVALID_PARAMETER;
    }
    double value = 0;
    if (c_pget(digitizer, parameter, &value) != 0) {
        BLOG(board, C_LOG_ERROR, "c_pget() failed for '%s'.", parameter->codename);
        return SRV_ERR_INVALID_PARAMETER;
    }
    *state = value != 0 ? 1 : 0;
    if (newState != NULL && c_pset(digitizer, parameter, *newState != 0 ? 1.0 : 0.0) != 0) {
        BLOG(board, C_LOG_ERROR, "c_pset() failed for '%s'.", parameter->codename);
        return SRV_ERR_INVALID_PARAMETER;
    }
    return SRV_SUCCESS;
}

// Commands 43 to 45: switches (or only reads) the channel under the lock and
// answers the state before the command for cmdMaskOut bit 0 when `reportsState`.
static void* switchChannel(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status, bool isOnOff,
                           uint8_t fixedState) {
    bool hasNewState = isOnOff && (request.maskIn & ONOFF_NEW_STATE) != 0;
    uint8_t newState = isOnOff ? static_cast<uint8_t>(request.words[0] != 0) : fixedState;
    bool sets = !isOnOff || hasNewState;
    uint8_t state = 0;
    SRVReply reply(request.command);
    SRVStatus_t result = SRV_GetSetHVChannelOn(request.board, request.channel, sets ? &newState : NULL, &state);
    if (result == SRV_SUCCESS && isOnOff && (request.maskOut & ONOFF_STATE) != 0)
        reply.u32(state);
    return SRV_GiveReply(&reply, result, replySize, status);
}

// Commands 43 and 44: command masks, int32 HV channel; no optional fields.
void* SRV_CmdHVOn(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    return switchChannel(request, replySize, status, false, 1);
}

void* SRV_CmdHVOff(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    return switchChannel(request, replySize, status, false, 0);
}

// Command 45: command masks, int32 HV channel; cmdMaskIn bit 0 u32 new
// state; cmdMaskOut bit 0 u32 the state before the command.
void* SRV_CmdHVOnOff(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    return switchChannel(request, replySize, status, true, 0);
}

// ------------------------------------------------------------ channel info

SRVStatus_t SRV_GetHVChannelInfo(SRVBoard_t* board, int32_t hvChannel, uint32_t* ranges, uint32_t* polarity) {
    if (hvChannel < 0 || static_cast<uint32_t>(hvChannel) >= SRV_HVChannelCount(board)) {
        BLOG(board, C_LOG_ERROR, "HV Channel '%i' not found.", hvChannel);
        return SRV_ERR_UNSUPPORTED;
    }
    int32_t libraryPolarity = board->digitizer.hv[hvChannel].polarity;
    if (libraryPolarity != 0 && libraryPolarity != 1) {
        BLOG(board, C_LOG_ERROR, "Invalid polarity %i of HV channel %i.", libraryPolarity, hvChannel);
        return SRV_ERR_HV_POLARITY;
    }
    *ranges = board->hv[hvChannel].rangeCount;
    *polarity = static_cast<uint32_t>(libraryPolarity);
    return SRV_SUCCESS;
}

// Command 37: data mask, int32 HV channel; bit 0 u32 ranges, bit 1 i32
// polarity.
void* SRV_CmdGetHVChannelInfo(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const uint64_t dataMask = request.dataMask;
    uint32_t ranges = 0, polarity = 0;
    SRVReply reply(request.command);
    SRVStatus_t result = SRV_GetHVChannelInfo(request.board, request.channel, &ranges, &polarity);
    if (result == SRV_SUCCESS && (dataMask & CHANNEL_RANGES) != 0)
        reply.u32(ranges);
    if (result == SRV_SUCCESS && (dataMask & CHANNEL_POLARITY) != 0)
        reply.i32(polarity == 1 ? 1 : 0);
    return SRV_GiveReply(&reply, result, replySize, status);
}

// -------------------------------------------------------------- range info

SRVStatus_t SRV_GetHVRangeInfo(SRVBoard_t* board, const int32_t* path, uint32_t pathLength, SRVHVRangeInfo_t* info) {
    int32_t hvChannel = -1, rangeIndex = -1;
    for (uint32_t k = 0; path != NULL && k + 1 < pathLength; k += 2) {
        if (path[k + 1] == SRV_OBJ_HV_CHANNEL)
            hvChannel = path[k];
        else if (path[k + 1] == SRV_OBJ_HV_RANGE)
            rangeIndex = path[k];
        else
            return SRV_ERR_INVALID_PARAMETER;
    }
    // Both indexes come from the client: each is bounded by what the
    // server's HV-channel record holds before it reaches an array.
    bool found = hvChannel >= 0 && static_cast<uint32_t>(hvChannel) < SRV_HVChannelCount(board) && rangeIndex >= 0 &&
                 static_cast<uint32_t>(rangeIndex) < SRV_HVRangeCount(board, static_cast<uint32_t>(hvChannel)) &&
                 board->hv[hvChannel].ranges[rangeIndex].range != NULL;
    if (!found) {
        BLOG(board, C_LOG_ERROR, "Range '%i' not found on HV channel '%i'.", rangeIndex, hvChannel);
        return SRV_ERR_UNSUPPORTED;
    }
    const c_HVRangeBlock_t* range = board->hv[hvChannel].ranges[rangeIndex].range;
    std::memset(info, 0, sizeof *info);
    copyText(info->codename, range->codename, sizeof range->codename);
    copyText(info->name, range->name, sizeof range->name);
    if (range->rangeCode < 0 || range->rangeCode > 2) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Unknown hv range %s (code %i)", info->codename,
                  range->rangeCode);
        return SRV_ERR_GENERIC;
    }
    info->kind = range->rangeCode;
    // Reply order of the quantities, three limits each.
    static const int CONVERSIONS[] = {HVCONV_VSET, HVCONV_ISET,   HVCONV_VMON,    HVCONV_IMON,
                                      HVCONV_VMAX, HVCONV_RAMPUP, HVCONV_RAMPDOWN};
    for (int q = 0; q < 7; q++) {
        const c_HVConversionBlock_t& conversion = range->conv[CONVERSIONS[q]];
        info->limits[3 * q] = conversion.min;
        info->limits[3 * q + 1] = conversion.max;
        info->limits[3 * q + 2] = conversion.step;
    }
    return SRV_SUCCESS;
}

static void appendRangeFields(SRVReply* reply, uint64_t dataMask, const SRVHVRangeInfo_t& info) {
    for (int bit = 0; bit < SRV_HV_RANGE_LIMITS; bit++) {
        if ((dataMask & (1ull << bit)) != 0)
            reply->f64(info.limits[bit]);
    }
    if ((dataMask & (1ull << RANGE_BIT_KIND)) != 0)
        reply->i32(info.kind);
    if ((dataMask & (1ull << RANGE_BIT_CODENAME)) != 0)
        reply->text(info.codename, SRV_HV_RANGE_TEXT);
    if ((dataMask & (1ull << RANGE_BIT_NAME)) != 0)
        reply->text(info.name, SRV_HV_RANGE_TEXT);
}

// Command 38: data mask, index path; bits 0 to 23 of SRVHVRangeInfo_t.
void* SRV_CmdGetHVRangeInfo(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVHVRangeInfo_t info;
    SRVReply reply(request.command);
    SRVStatus_t result = SRV_GetHVRangeInfo(request.board, request.path, request.pathLength, &info);
    if (result == SRV_SUCCESS)
        appendRangeFields(&reply, request.dataMask, info);
    return SRV_GiveReply(&reply, result, replySize, status);
}
