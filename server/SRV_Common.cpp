// The board lock, the board-open check, the board information, the category
// index levels, the SQLite set-up and the server's version texts and status
// texts. The board open and close are in SRV_BoardLifecycle; the paths that
// clients name in SRV_ClientPaths.
#include "SRV_Common.h"

#include <sqlite3.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const c_LogModule_t LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};
// Failed replies are logged in the command loop's file.
static const c_LogModule_t LOOP_LOG_MODULE = {"MorvaneServerLog.txt", "MorvaneServer"};

SRVGlobals_t* SRV_Globals = NULL;

// ------------------------------------------------------------ status texts

const char* SRV_GetStatusText(SRVStatus_t status) {
    switch (status) {
    case SRV_ERR_SOCKET_INIT: return "Socket Init Error.";
    case SRV_ERR_SOCKET_LISTEN: return "Socket Listen Error.";
    case SRV_ERR_SOCKET_ACCEPT: return "Socket Accept Error.";
    case SRV_ERR_SERIALIZE: return "Serialize Error.";
    case SRV_ERR_DESERIALIZE: return "Deserialize Error.";
    case SRV_ERR_OPEN_DIGITIZER: return "Open Digitizer Error.";
    case SRV_ERR_COMMUNICATION: return "Communication Error.";
    case SRV_ERR_INVALID_COMMAND: return "Invalid Command.";
    case SRV_ERR_INVALID_PARAMETER: return "Invalid Parameter.";
    default: return "Generic Error.";
    }
}

void SRV_LogServerError(SRVStatus_t status) {
    c_lprintf(&LOOP_LOG_MODULE, C_LOG_ERROR, __LINE__, "From %s: %s", "main command loop", SRV_GetStatusText(status));
}

void* SRV_BuildStatusReply(SRVCommand_t command, SRVStatus_t status, uint32_t* replySize) {
    void* reply = c_createheader(0, command, replySize);
    if (reply == NULL)
        return NULL;
    return serialize_i16(&status, 1, reply, replySize);
}

// ------------------------------------------------------------ board lock

SRVStatus_t SRV_LockBoard(SRVBoard_t* board) {
    int result = c_ticket_lock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot lock Mutex (lock ERR %i)",
                         result);
        return SRV_ERR_LOCK;
    }
    return SRV_SUCCESS;
}

SRVStatus_t SRV_UnlockBoard(SRVBoard_t* board) {
    int result = c_ticket_unlock(&board->boardLock);
    if (result != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__, "Cannot unlock Mutex (lock ERR %i)",
                         result);
        return SRV_ERR_UNLOCK;
    }
    return SRV_SUCCESS;
}

SRVStatus_t SRV_UnlockBoardInto(SRVBoard_t* board, SRVStatus_t status) {
    SRVStatus_t unlocked = SRV_UnlockBoard(board);
    return status == SRV_SUCCESS ? unlocked : status;
}

// ------------------------------------------------------ acquisition status

bool SRV_IsAcquiring(int32_t acqStatus) { return acqStatus != 0 && acqStatus != 3 && acqStatus != 5; }

// -------------------------------------------------------------- requests

bool SRV_ReadIndexPath(const int32_t* path, uint32_t length, const SRVPathSlot_t* slots, uint32_t slotCount) {
    for (uint32_t i = 0; path != NULL && i + 1 < length; i += 2) {
        uint32_t k = 0;
        while (k < slotCount && slots[k].type != path[i + 1])
            k++;
        if (k == slotCount)
            return false;
        *slots[k].index = path[i];
    }
    return true;
}

SRVStatus_t SRV_SetQuitFlag(SRVBoard_t* board) {
    SRVStatus_t status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS)
        return status;
    // The board thread reads the flag under the thread-flags lock.
    c_ticket_lock(&board->flagsLock);
    board->quit = 1;
    c_ticket_unlock(&board->flagsLock);
    return SRV_UnlockBoard(board);
}

// ---------------------------------------------------- board open check

bool SRV_CommandNeedsBoard(SRVCommand_t command) {
    switch (command) {
    case SRV_CMD_SET_RUN_FILE:
    case SRV_CMD_LOAD_RUN_FILE:
    case SRV_CMD_LIST_RUN_FILES:
    case SRV_CMD_QUIT:
    case SRV_CMD_GET_SERVER_DEFINITIONS: return false;
    default: return true;
    }
}

SRVStatus_t SRV_CheckBoardOpen(const SRVBoard_t* board, SRVCommand_t command) {
    if (board->open || !SRV_CommandNeedsBoard(command))
        return SRV_SUCCESS;
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
              "No board is open (the last board open failed): command %hu refused. A run file that loads opens "
              "a board again.",
              command);
    return SRV_ERR_OPEN_DIGITIZER;
}

SRVStatus_t SRV_GetBoardDataPath(const SRVBoard_t* board, char dataPath[SRV_FOLDER_SIZE]) {
    if (board == NULL || dataPath == NULL || !board->open || !c_isDgtzOpened(&board->digitizer)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "NULL or invalid digitizer pointer. Can't get board data path");
        return SRV_ERR_RESOURCE;
    }
    const c_BoardDescriptor_t* descriptor = &board->digitizer.descriptor;
    int written = std::snprintf(dataPath, SRV_FOLDER_SIZE, "%.*s_%u", SRV_DESCRIPTOR_TEXT(descriptor->ModelName),
                                descriptor->SerialNumber);
    if (written < 0 || written >= SRV_FOLDER_SIZE) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Can't get board data path because of snprintf error.");
        return SRV_ERR_GENERIC;
    }
    return SRV_SUCCESS;
}

// ------------------------------------------------------ board information

static int32_t mapModelCode(uint32_t model) {
    if (model <= 41)
        return static_cast<int32_t>(model);
    if (model == 42)
        return 43;
    if (model == DPPL_FAMILY_MORVANE)
        return 42;
    return -1;
}

static int32_t mapFamilyCode(uint32_t family) {
    switch (family) {
    case 11: return 10;
    case 12: return 11;
    case 13: return 12;
    case 14: return 13;
    case 16: return 15;
    case DPPL_FAMILY_MORVANE: return 14;
    default: return family <= 9 ? static_cast<int32_t>(family) : -1;
    }
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

SRVStatus_t SRV_FillBoardInfo(SRVBoardInfo_t* info, const c_Digitizer_t* digitizer) {
    const c_BoardDescriptor_t* d = &digitizer->descriptor;
    std::memcpy(info->modelName, d->ModelName, sizeof info->modelName);
    info->modelName[sizeof info->modelName - 1] = '\0';
    info->channelCount = d->Channels;
    info->serialNumber = d->SerialNumber;
    info->modelCode = mapModelCode(d->Model);
    info->familyCode = mapFamilyCode(d->FamilyCode);
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

// ----------------------------------------------------------- index levels

int32_t SRV_GetCategoryIndexLevel(const char* categoryName) {
    char query[1024];
    if (c_xml_snprintf(query, sizeof query, "/ServerDefinitions/ServerParameters/%s", categoryName) < 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't write query to get index level for parameter category '%s'", categoryName);
        return SRV_INVALID_LEVEL;
    }
    xmlDocPtr document = SRV_Globals != NULL ? SRV_Globals->serverDefinitions : NULL;
    xmlNodePtr node = document != NULL ? c_xml_getfirstnodefromxpathquery(document, query) : NULL;
    if (node == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't find node '%s' in server definition file to get index level for parameter category",
                  categoryName);
        return SRV_INVALID_LEVEL;
    }
    const char* text = c_xml_getattributevalue(node, "level", 0);
    if (text == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Can't find index level for parameter category %s",
                  categoryName);
        return SRV_INVALID_LEVEL;
    }
    char* end = NULL;
    long level = std::strtol(text, &end, 0);
    if (end == text) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't parse parameter level from string '%s' for server parameter category '%s'", text,
                  categoryName);
        return SRV_INVALID_LEVEL;
    }
    return static_cast<int32_t>(level);
}

int SRV_GetCategoryIndexLevels(void) {
    // Read in the alphabetical order of the category names.
    static const struct {
        const char* name;
        int slot;
    } CATEGORIES[] = {
        {"SRVBoardParameters", SRV_LEVEL_BOARD},
        {"SRVChannelParameters", SRV_LEVEL_CHANNEL},
        {"SRVDTSpectrumParameters", SRV_LEVEL_DT_SPECTRUM},
        {"SRVEnergySpectrumParameters", SRV_LEVEL_ENERGY_SPECTRUM},
        {"SRVHVChannelParameters", SRV_LEVEL_HV_CHANNEL},
        {"SRVHVRangeParameters", SRV_LEVEL_HV_RANGE},
        {"SRVLVDSGroupParameters", SRV_LEVEL_LVDS_GROUP},
        {"SRVMCSSpectrumParameters", SRV_LEVEL_MCS_SPECTRUM},
        {"SRVMonOutParameters", SRV_LEVEL_MON_OUT},
        {"SRVROIParameters", SRV_LEVEL_ROI},
        {"SRVVirtualTraceParameters", SRV_LEVEL_VIRTUAL_TRACE},
    };
    if (SRV_Globals == NULL)
        return -1;
    for (const auto& category : CATEGORIES) {
        int32_t level = SRV_GetCategoryIndexLevel(category.name);
        if (level == SRV_INVALID_LEVEL) {
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't get index level for category '%s'", category.name);
            return -1;
        }
        SRV_Globals->levels[category.slot] = level;
    }
    return 0;
}

// ---------------------------------------------------------------- versions

// Reads "<key> = <value>" from the system information file.
static bool findSysInfoValue(FILE* file, const char* format, char value[50]) {
    char line[50];
    std::rewind(file);
    while (std::fgets(line, sizeof line, file) != NULL)
        if (std::sscanf(line, format, value) == 1)
            return true;
    return false;
}

const char* SRV_GetServerVersion(void) {
    static char version[128];
    char release[50] = "";
    char build[50] = "";
    bool found = false;
    FILE* file = std::fopen("/fw/etc/SysInfo", "r");
    if (file != NULL) {
        found = findSysInfoValue(file, " sysrel = %49s", release) && findSysInfoValue(file, " build = %49s", build);
        std::fclose(file);
    }
    if (found)
        std::snprintf(version, sizeof version, "%s-Build %s", release, build);
    else
        std::snprintf(version, sizeof version, "%s-Build %s", "1.1.1", "20231113");
    return version;
}

const char* SRV_GetSqliteCompiledVersion(void) { return SQLITE_VERSION; }

const char* SRV_GetSqliteRuntimeVersion(void) { return sqlite3_libversion(); }

const char* SRV_GetCompilerVersion(void) {
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "an unknown compiler";
#endif
}

// ------------------------------------------------------------------ SQLite

static void* SRV_SqliteMalloc(int size) { return c_malloc(static_cast<size_t>(static_cast<int64_t>(size))); }

static void SRV_SqliteFree(void* block) { c_free(block); }

static void* SRV_SqliteRealloc(void* block, int size) {
    return c_realloc(block, static_cast<size_t>(static_cast<int64_t>(size)));
}

static int SRV_SqliteSize(void* block) { return static_cast<int>(c_malloc_size(block)); }

static int SRV_SqliteRoundup(int size) { return size; }

static int SRV_SqliteInit(void*) { return 0; }

static void SRV_SqliteShutdown(void*) {}

static void SRV_SqliteLogCallback(void* argument, int code, const char* message) {
    c_lprintf(static_cast<const c_LogModule_t*>(argument), C_LOG_ERROR, 0, "sqlite3 error %i (%s): %s", code,
              sqlite3_errstr(code), message != NULL ? message : "");
}

SRVStatus_t ConfigureSqlite(void) {
    static const sqlite3_mem_methods METHODS = {SRV_SqliteMalloc,  SRV_SqliteFree, SRV_SqliteRealloc,  SRV_SqliteSize,
                                                SRV_SqliteRoundup, SRV_SqliteInit, SRV_SqliteShutdown, NULL};
    if (sqlite3_config(SQLITE_CONFIG_MALLOC, &METHODS) != SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "sqlite3_config(SQLITE_CONFIG_MALLOC) failed.");
        return SRV_ERR_DATABASE;
    }
    if (sqlite3_config(SQLITE_CONFIG_LOG, SRV_SqliteLogCallback, const_cast<c_LogModule_t*>(&LOG_MODULE)) !=
        SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "sqlite3_config(SQLITE_CONFIG_LOG) failed.");
        return SRV_ERR_DATABASE;
    }
    if (sqlite3_initialize() != SQLITE_OK) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "sqlite3_initialize() failed.");
        return SRV_ERR_DATABASE;
    }
    return SRV_SUCCESS;
}
