// The server's configuration module.
#include "SRV_ConfigurationManagement.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "SRVParameters.h"

static const c_LogModule_t LOG_MODULE = {"SRV_ConfigurationManagementLog.txt", "SRV_ConfigurationManagement"};

// ====================================== board information and system commands

// Fields of command 5: bits 0 to 22.
static const int BOARD_INFO_FIELDS = 23;
static const uint64_t BOARD_INFO_KNOWN = (1ull << BOARD_INFO_FIELDS) - 1;
// Fields of command 41: bit 0 energy spectra, bit 1 MCS spectra.
static const uint64_t SPECTRA_COUNT_KNOWN = 0x3;
// Command 56: cmdMaskIn bit 0 sets the time, cmdMaskOut bit 0 reads it.
static const uint64_t DATETIME_FIELD = 0x1;

static const void* payloadEnd(const void* payload, uint32_t size)
{
    return payload != NULL ? static_cast<const uint8_t*>(payload) + size : NULL;
}

static void logUnknownMask(const SRVBoard_t* board, const char* which, uint64_t mask, uint64_t unknown)
{
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Unsupported %s 0x%llx (0x%llx unknown)",
                     which, static_cast<unsigned long long>(mask), static_cast<unsigned long long>(unknown));
}

// Releases the board lock; a failure to release it replaces a success. The
// reply is kept only when the whole request succeeded.
static void* finishLocked(SRVBoard_t* board, void* reply, SRVStatus_t* status)
{
    SRVStatus_t unlocked = SRV_UnlockBoard(board);
    if (*status == SRV_SUCCESS)
        *status = unlocked;
    if (*status != SRV_SUCCESS) {
        c_free(reply);
        return NULL;
    }
    return reply;
}

SRVStatus_t SRV_GetChannel(SRVBoard_t* board, int32_t channel, SRVChannel_t** out)
{
    if (!SRV_IsValidChannel(board, channel)) {
        c_extendedLogMsg(&LOG_MODULE, board != NULL ? &board->digitizer : NULL, C_LOG_ERROR, __LINE__,
                         "Channel '%i' not found.", channel);
        return SRV_ERR_UNSUPPORTED;
    }
    if (out != NULL)
        *out = &board->channels[channel];
    return SRV_SUCCESS;
}

SRVStatus_t SRV_SetDateTime(const char* text)
{
    const c_Digitizer_t* digitizer = SRV_Globals != NULL ? &SRV_Globals->board.digitizer : NULL;
    c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error setting datetime %s",
                     text != NULL ? text : "");
    return SRV_ERR_GENERIC;
}

// Appends the field of one bit of command 5; NULL when it could not be
// appended (the buffer is then freed).
static void* appendBoardInfoField(void* reply, uint32_t* size, int bit, const SRVBoardInfo_t& info)
{
    switch (bit) {
    case 0: return serialize_char(info.modelName, sizeof info.modelName, reply, size);
    case 1: return serialize_i32(&info.modelCode, 1, reply, size);
    case 2: return serialize_u32(&info.channelCount, 1, reply, size);
    case 3: return serialize_u16(&info.boardFwMajor, 1, reply, size);
    case 4: return serialize_u16(&info.boardFwMinor, 1, reply, size);
    case 5: return serialize_u16(&info.boardFwBuild, 1, reply, size);
    case 6: return serialize_u16(&info.channelFwMajor, 1, reply, size);
    case 7: return serialize_u16(&info.channelFwMinor, 1, reply, size);
    case 8: return serialize_u16(&info.channelFwBuild, 1, reply, size);
    case 9: return serialize_char(info.reserved, sizeof info.reserved, reply, size);
    case 10: return serialize_u32(&info.serialNumber, 1, reply, size);
    case 11: return serialize_i32(&info.familyCode, 1, reply, size);
    case 12: return serialize_u32(&info.hvChannelCount, 1, reply, size);
    case 13: return serialize_i32(&info.formFactor, 1, reply, size);
    case 14: return serialize_u32(&info.boardInfoWord, 1, reply, size);
    case 15: return serialize_u32(&info.adcBits, 1, reply, size);
    case 16: return serialize_u32(&info.samplePeriodPs, 1, reply, size);
    case 17: return serialize_u32(&info.lvdsGroupCount, 1, reply, size);
    case 18: return serialize_u32(&info.virtualTraceCount, 1, reply, size);
    case 19: return serialize_u32(&info.monOutCount, 1, reply, size);
    case 20: return serialize_u32(&info.energyBits, 1, reply, size);
    case 21: return serialize_char(info.libraryVersion, sizeof info.libraryVersion, reply, size);
    case 22: return serialize_u32(&info.dtSpectrumCount, 1, reply, size);
    default: return reply;
    }
}

void* SRV_CmdGetBoardInfo(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                          uint32_t* replySize, SRVStatus_t* status)
{
    uint64_t dataMask = 0;
    if (deserialize_u64(&dataMask, 1, payload, payloadEnd(payload, payloadSize)) == NULL) {
        *status = SRV_ERR_DESERIALIZE;
        return NULL;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    SRVBoardInfo_t info;
    std::memset(&info, 0, sizeof info);
    SRV_FillBoardInfo(&info, &board->digitizer);
    info.dtSpectrumCount = board->dtSpectrumCount;

    void* reply = SRV_BuildStatusReply(command, SRV_SUCCESS, replySize);
    for (int bit = 0; bit < BOARD_INFO_FIELDS && reply != NULL; bit++) {
        if ((dataMask & (1ull << bit)) != 0)
            reply = appendBoardInfoField(reply, replySize, bit, info);
    }
    if (reply == NULL) {
        *status = SRV_ERR_GENERIC;
    } else if ((dataMask & ~BOARD_INFO_KNOWN) != 0) {
        logUnknownMask(board, "dataMask", dataMask, dataMask & ~BOARD_INFO_KNOWN);
        *status = SRV_ERR_UNSUPPORTED;
    }
    return finishLocked(board, reply, status);
}

void* SRV_CmdGetChannelSpectraCount(SRVBoard_t* board, SRVCommand_t command, const void* payload,
                                    uint32_t payloadSize, uint32_t* replySize, SRVStatus_t* status)
{
    const void* end = payloadEnd(payload, payloadSize);
    uint64_t dataMask = 0;
    int32_t channelIndex = 0;
    const void* position = deserialize_u64(&dataMask, 1, payload, end);
    if (deserialize_i32(&channelIndex, 1, position, end) == NULL) {
        *status = SRV_ERR_DESERIALIZE;
        return NULL;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    void* reply = NULL;
    SRVChannel_t* channel = NULL;
    *status = SRV_GetChannel(board, channelIndex, &channel);
    if (*status == SRV_SUCCESS) {
        reply = SRV_BuildStatusReply(command, SRV_SUCCESS, replySize);
        if (reply != NULL && (dataMask & 0x1) != 0)
            reply = serialize_u32(&channel->energySpectrumCount, 1, reply, replySize);
        if (reply != NULL && (dataMask & 0x2) != 0)
            reply = serialize_u32(&channel->mcsSpectrumCount, 1, reply, replySize);
        if (reply == NULL) {
            *status = SRV_ERR_SERIALIZE;
        } else if ((dataMask & ~SPECTRA_COUNT_KNOWN) != 0) {
            logUnknownMask(board, "dataMask", dataMask, dataMask & ~SPECTRA_COUNT_KNOWN);
            *status = SRV_ERR_UNSUPPORTED;
        }
    }
    return finishLocked(board, reply, status);
}

// The local date and time as "YYYY-MM-DDThh:mm:ss" into a new text of
// SRV_DATETIME_SIZE bytes (freed by the caller), or NULL.
static char* currentDateTime(void)
{
    char* text = static_cast<char*>(c_calloc(1, SRV_DATETIME_SIZE));
    if (text == NULL)
        return NULL;
    std::time_t now = std::time(NULL);
    struct tm local;
    std::memset(&local, 0, sizeof local);
    localtime_r(&now, &local);
    // Formatted wide, then cut to the field: a year past 9999 can't overrun it.
    char wide[64] = {};
    std::snprintf(wide, sizeof wide, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::memcpy(text, wide, SRV_DATETIME_SIZE - 1);
    return text;
}

void* SRV_CmdDateTime(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                      uint32_t* replySize, SRVStatus_t* status)
{
    const void* end = payloadEnd(payload, payloadSize);
    uint64_t maskIn = 0;
    uint64_t maskOut = 0;
    const void* position = deserialize_u64(&maskIn, 1, payload, end);
    position = deserialize_u64(&maskOut, 1, position, end);
    if (position == NULL) {
        *status = SRV_ERR_DESERIALIZE;
        return NULL;
    }
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    void* reply = NULL;
    if ((maskIn & DATETIME_FIELD) != 0) {
        char text[SRV_DATETIME_SIZE];
        if (deserialize_text(text, sizeof text, position, end) == NULL)
            *status = SRV_ERR_DESERIALIZE;
        else
            *status = SRV_SetDateTime(text);
        return finishLocked(board, reply, status);
    }
    if (maskIn != 0) {
        logUnknownMask(board, "cmdMaskIn", maskIn, maskIn);
        *status = SRV_ERR_UNSUPPORTED;
        return finishLocked(board, reply, status);
    }
    reply = SRV_BuildStatusReply(command, SRV_SUCCESS, replySize);
    if (reply != NULL && (maskOut & DATETIME_FIELD) != 0) {
        char* text = currentDateTime();
        if (text == NULL) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't allocate tmpBuf.");
            *status = SRV_ERR_GENERIC;
        } else {
            reply = serialize_char(text, SRV_DATETIME_SIZE, reply, replySize);
            c_free(text);
        }
    }
    if (reply == NULL) {
        *status = SRV_ERR_GENERIC;
    } else if (*status == SRV_SUCCESS && (maskOut & ~DATETIME_FIELD) != 0) {
        logUnknownMask(board, "cmdMaskOut", maskOut, maskOut & ~DATETIME_FIELD);
        *status = SRV_ERR_UNSUPPORTED;
    }
    return finishLocked(board, reply, status);
}
