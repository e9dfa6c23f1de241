// Board information and system commands: the board description (command 5),
// the spectra count of a channel (41), the server's date and time (56), the
// server definitions document (26).
#include "SRV_BoardInfo.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "SRVParameters.h"
#include "SRV_CommandRequest.h"
#include "SRV_Globals.h"
#include "SRV_Versions.h"

// These commands keep the log of the configuration module they came from.
static const c_LogModule_t LOG_MODULE = {"SRV_ConfigurationManagementLog.txt", "SRV_ConfigurationManagement"};

// Fields of command 5: bits 0 to 22.
static const int BOARD_INFO_FIELDS = 23;
// Command 56: cmdMaskIn bit 0 sets the time, cmdMaskOut bit 0 reads it.
static const uint64_t DATETIME_FIELD = 0x1;
// Command 26 reads the definitions file in blocks of this size.
static const size_t DEFINITIONS_BLOCK_SIZE = 65536;

// ------------------------------------------------------ board information

// The model number of the register-level device QN8560, which the client
// numbers 42.
static const uint32_t DEVICE_MODEL_NUMBER = 8560;

// The model code in the client's numbering: the library's up to 41, 42 as 43.
static int32_t mapModelCode(uint32_t model) {
    if (model <= 41)
        return static_cast<int32_t>(model);
    if (model == 42)
        return 43;
    if (model == DEVICE_MODEL_NUMBER)
        return 42;
    return -1;
}

// A 16-bit number at the start of text, in the given base; 0 when there is
// none. A longer number keeps its low 16 bits.
static uint16_t leadingNumber(const char* text, int base) {
    char* end = NULL;
    unsigned long value = std::strtoul(text, &end, base);
    return end == text ? 0 : static_cast<uint16_t>(value);
}

// Major, minor and build of a firmware release text such as
// "1.5 Build 2A": the number at the start, the one after the first '.', and
// the hexadecimal one after the first "Build ".
static void parseFirmwareRelease(const char* field, size_t size, uint16_t* major, uint16_t* minor, uint16_t* build) {
    char text[64];
    size_t length = strnlen(field, size < sizeof text ? size : sizeof text - 1);
    std::memcpy(text, field, length);
    text[length] = '\0';
    *major = leadingNumber(text, 10);
    const char* point = std::strchr(text, '.');
    if (point != NULL)
        *minor = leadingNumber(point + 1, 10);
    const char* buildWord = std::strstr(text, "Build ");
    if (buildWord != NULL)
        *build = leadingNumber(buildWord + 6, 16);
}

static uint32_t samplePeriodPs(double periodNs) {
    double ps = periodNs * 1000.0;
    if (!(ps >= 0.0))
        return 0;
    if (ps >= 4294967295.0)
        return 0xFFFFFFFFu;
    return static_cast<uint32_t>(ps);
}

SRVStatus_t SRV_FillBoardInfo(SRVBoardInfo_t* info, const c_Digitizer_t* digitizer, const SRVBoardAccess_t* access) {
    const c_BoardDescriptor_t* d = &digitizer->descriptor;
    std::memcpy(info->modelName, d->ModelName, sizeof info->modelName);
    info->modelName[sizeof info->modelName - 1] = '\0';
    info->channelCount = d->Channels;
    info->serialNumber = d->SerialNumber;
    info->modelCode = mapModelCode(d->Model);
    info->familyCode = access->familyCode(d->FamilyCode);
    info->formFactor = d->FormFactor <= 3 ? static_cast<int32_t>(d->FormFactor) : -1;
    parseFirmwareRelease(d->BoardFirmwareRel, sizeof d->BoardFirmwareRel, &info->boardFwMajor, &info->boardFwMinor,
                         &info->boardFwBuild);
    parseFirmwareRelease(d->ChannelFirmwareRel, sizeof d->ChannelFirmwareRel, &info->channelFwMajor,
                         &info->channelFwMinor, &info->channelFwBuild);
    info->hvChannelCount = d->HVChannels;
    info->lvdsGroupCount = d->LVDSGroups;
    info->monOutCount = d->MonOuts;
    info->energyBits = d->EnergyBits;
    info->adcBits = d->ADC_NBits;
    info->boardInfoWord = d->InfoWord;
    info->virtualTraceCount = d->AnalogVTraces + d->DigitalVTraces;
    info->samplePeriodPs = samplePeriodPs(d->SamplePeriod);
    std::snprintf(info->libraryVersion, sizeof info->libraryVersion, "%s", SRV_LIBRARY_VERSION);
    return SRV_SUCCESS;
}

// ------------------------------------------------------------ commands

SRVStatus_t SRV_GetChannel(SRVBoard_t* board, int32_t channel, SRVChannel_t** out) {
    if (!SRV_IsValidChannel(board, channel)) {
        c_extendedLogMsg(&LOG_MODULE, board != NULL ? &board->digitizer : NULL, C_LOG_ERROR, __LINE__,
                         "Channel '%i' not found.", channel);
        return SRV_ERR_UNSUPPORTED;
    }
    if (out != NULL)
        *out = &board->channels[channel];
    return SRV_SUCCESS;
}

SRVStatus_t SRV_SetDateTime(const char* text) {
    const c_Digitizer_t* digitizer = SRV_Globals != NULL ? &SRV_Globals->board.digitizer : NULL;
    c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_ERROR, __LINE__, "Error setting datetime %s",
                     text != NULL ? text : "");
    return SRV_ERR_GENERIC;
}

// Appends the field of one bit of command 5.
static void appendBoardInfoField(SRVReply* reply, int bit, const SRVBoardInfo_t& info) {
    switch (bit) {
    case 0: return reply->text(info.modelName, sizeof info.modelName);
    case 1: return reply->i32(info.modelCode);
    case 2: return reply->u32(info.channelCount);
    case 3: return reply->u16(info.boardFwMajor);
    case 4: return reply->u16(info.boardFwMinor);
    case 5: return reply->u16(info.boardFwBuild);
    case 6: return reply->u16(info.channelFwMajor);
    case 7: return reply->u16(info.channelFwMinor);
    case 8: return reply->u16(info.channelFwBuild);
    case 9: return reply->text(info.reserved, sizeof info.reserved);
    case 10: return reply->u32(info.serialNumber);
    case 11: return reply->i32(info.familyCode);
    case 12: return reply->u32(info.hvChannelCount);
    case 13: return reply->i32(info.formFactor);
    case 14: return reply->u32(info.boardInfoWord);
    case 15: return reply->u32(info.adcBits);
    case 16: return reply->u32(info.samplePeriodPs);
    case 17: return reply->u32(info.lvdsGroupCount);
    case 18: return reply->u32(info.virtualTraceCount);
    case 19: return reply->u32(info.monOutCount);
    case 20: return reply->u32(info.energyBits);
    case 21: return reply->text(info.libraryVersion, sizeof info.libraryVersion);
    case 22: return reply->u32(info.dtSpectrumCount);
    default: return;
    }
}

// Command 5: request u64 dataMask; one field per set bit 0 to 22.
void* SRV_CmdGetBoardInfo(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    const uint64_t dataMask = request.dataMask;
    SRVBoardInfo_t info;
    std::memset(&info, 0, sizeof info);
    SRV_FillBoardInfo(&info, &board->digitizer, board->access);
    info.dtSpectrumCount = board->dtSpectrumCount;

    SRVReply reply(request.command);
    for (int bit = 0; bit < BOARD_INFO_FIELDS; bit++) {
        if ((dataMask & (1ull << bit)) != 0)
            appendBoardInfoField(&reply, bit, info);
    }
    // This command has always answered a reply it could not build with -1.
    SRVStatus_t result = reply.ok() ? SRV_SUCCESS : SRV_ERR_GENERIC;
    return SRV_GiveReply(&reply, result, replySize, status);
}

// Command 41: request u64 dataMask and int32 channel; bit 0 the number of
// energy spectra, bit 1 the number of MCS spectra (u32 each).
void* SRV_CmdGetChannelSpectraCount(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const uint64_t dataMask = request.dataMask;
    SRVChannel_t* channel = NULL;
    SRVStatus_t result = SRV_GetChannel(request.board, request.channel, &channel);
    SRVReply reply(request.command);
    if (result == SRV_SUCCESS && (dataMask & 0x1) != 0)
        reply.u32(channel->energySpectrumCount);
    if (result == SRV_SUCCESS && (dataMask & 0x2) != 0)
        reply.u32(channel->mcsSpectrumCount);
    return SRV_GiveReply(&reply, result, replySize, status);
}

// The local date and time as "YYYY-MM-DDThh:mm:ss" into a new text of
// SRV_DATETIME_SIZE bytes (freed by the caller), or NULL.
static char* currentDateTime(void) {
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

// Command 56: cmdMaskIn bit 0 a char[20] text to set (always refused, -1);
// cmdMaskOut bit 0 the local date and time as char[20]. Its input bits are
// looked at under the board lock: with bit 0 the others are not.
void* SRV_CmdDateTime(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    SRVReply reply(request.command);
    SRVStatus_t result = SRV_SUCCESS;
    if ((request.maskIn & DATETIME_FIELD) != 0) {
        char text[SRV_DATETIME_SIZE];
        *status = request.fields.text(text, sizeof text) ? SRV_SetDateTime(text) : request.fields.status();
        return NULL;
    }
    *status = SRV_RefuseUnknownIn(request);
    if (*status != SRV_SUCCESS)
        return NULL;
    if (reply.ok() && (request.maskOut & DATETIME_FIELD) != 0) {
        char* text = currentDateTime();
        if (text == NULL) {
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Can't allocate tmpBuf.");
            result = SRV_ERR_GENERIC;
        } else {
            reply.text(text, SRV_DATETIME_SIZE);
            c_free(text);
        }
    }
    // A reply that could not be built is answered with -1 here.
    if (!reply.ok())
        result = SRV_ERR_GENERIC;
    return SRV_GiveReply(&reply, result, replySize, status);
}

// ------------------------------------------------------- command 26

// Sends the server definitions document: header, status 0, the file's bytes.
void* SRV_CmdGetServerDefinitions(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    const char* path = SRV_Globals != NULL ? c_xml_getpath(SRV_Globals->serverDefinitions) : NULL;
    FILE* file = path != NULL ? std::fopen(path, "r") : NULL;
    if (file == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't read definitions file from '%s'.",
                  path != NULL ? path : "");
        *status = SRV_ERR_GENERIC;
        return NULL;
    }
    uint8_t* block = static_cast<uint8_t*>(c_malloc(DEFINITIONS_BLOCK_SIZE));
    if (block == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't allocate tmpBuf.");
        std::fclose(file);
        *status = SRV_ERR_GENERIC;
        return NULL;
    }
    SRVReply reply(request.command);
    SRVStatus_t result = reply.ok() ? SRV_SUCCESS : SRV_ERR_SERIALIZE;
    while (reply.ok()) {
        size_t count = std::fread(block, 1, DEFINITIONS_BLOCK_SIZE, file);
        if (count > 0)
            reply.u8(block, static_cast<uint32_t>(count));
        if (!reply.ok()) {
            result = SRV_ERR_SERIALIZE;
            break;
        }
        if (count < DEFINITIONS_BLOCK_SIZE) {
            if (!std::feof(file))
                result = SRV_ERR_FILE_READ;
            break;
        }
    }
    std::fclose(file);
    c_free(block);
    *status = result;
    return result == SRV_SUCCESS ? reply.release(replySize) : NULL;
}
