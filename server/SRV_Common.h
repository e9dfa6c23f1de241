/*
 * SRV_Common: the server's shared records and helpers.
 *
 * Status codes, object types and command codes of the client protocol; the
 * global record; the board record with its channel frames and the records of
 * the board's objects; the board lock; the board-open check; the board
 * information of command 5; the category index levels; the SQLite set-up;
 * the server's version texts. The board open and close are in
 * SRV_BoardLifecycle.
 */
#ifndef SRV_COMMON_H
#define SRV_COMMON_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "ZarnDPPLayer.h"
#include "ZarnParameters.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------ status codes */

/* Status of every reply, and the process's exit code: 0 success, negative
 * otherwise. */
typedef int16_t SRVStatus_t;

enum {
    SRV_SUCCESS = 0,
    SRV_ERR_GENERIC = -1,
    SRV_ERR_SOCKET_INIT = -2,
    SRV_ERR_SOCKET_LISTEN = -3,
    SRV_ERR_SOCKET_ACCEPT = -4,
    SRV_ERR_SERIALIZE = -5,
    SRV_ERR_DESERIALIZE = -6,
    SRV_ERR_OPEN_DIGITIZER = -7,
    SRV_ERR_COMMUNICATION = -8,
    SRV_ERR_INVALID_COMMAND = -9,
    SRV_ERR_INVALID_PARAMETER = -10,
    SRV_ERR_LOCK = -13,
    SRV_ERR_UNLOCK = -14,
    SRV_ERR_RESOURCE = -17,
    SRV_ERR_LIBRARY = -25,
    SRV_ERR_DUMPER_OPEN = -26,
    SRV_ERR_DUMPER_CLOSE = -27,
    SRV_ERR_FILE_NOT_FOUND = -28,
    SRV_ERR_INVALID_FILE_NAME = -30,
    SRV_ERR_SERVER_PARAMETERS = -31,
    SRV_ERR_UNSUPPORTED = -33,
    SRV_ERR_FILE_READ = -34,
    SRV_ERR_FILE_OPEN = -36,
    SRV_ERR_PARAMETER_VALUE = -37,
    SRV_ERR_NO_WAVEFORM = -40,
    SRV_ERR_BUFFER = -41,
    SRV_ERR_HV_POLARITY = -42,
    SRV_ERR_DATABASE = -43,
    SRV_ERR_LIST_RECORD = -44,
    SRV_ERR_LOW_STATISTICS = -47
};

/* The text of a status in the command loop's log: -10 to -2 have texts of
 * their own, every other value is "Generic Error.". */
const char* SRV_GetStatusText(SRVStatus_t status);
/* Logs a failed reply: "From main command loop: <text>" (error level). */
void SRV_LogServerError(SRVStatus_t status);

/* ------------------------------------------------------------ object types */

/* The type element of an index path, and the parent type of saved
 * configurations. */
typedef enum SRVObjectType_t {
    SRV_OBJ_BOARD = 1,
    SRV_OBJ_CHANNEL = 2,
    SRV_OBJ_HV_CHANNEL = 3,
    SRV_OBJ_HV_RANGE = 4,
    SRV_OBJ_LVDS_GROUP = 5,
    SRV_OBJ_VIRTUAL_TRACE = 6,
    SRV_OBJ_PARAMETER = 7,
    SRV_OBJ_ENERGY_SPECTRUM = 9,
    SRV_OBJ_MCS_SPECTRUM = 10,
    SRV_OBJ_ROI = 11,
    SRV_OBJ_MON_OUT = 15,
    SRV_OBJ_DT_SPECTRUM = 16
} SRVObjectType_t;

/* An index path: pairs (index, object type), at most this many elements. */
#define SRV_INDEX_PATH_MAX 12

/* Where a lookup keeps the index of one object type of an index path. */
typedef struct SRVPathSlot_t {
    int32_t type; /* SRVObjectType_t */
    int32_t* index;
} SRVPathSlot_t;

/* Reads the pairs (index, type) of an index path into the slots of their
 * types: a later pair of a type wins, a lone last element is ignored, a NULL
 * path holds no pair. False for a type that has no slot. */
bool SRV_ReadIndexPath(const int32_t* path, uint32_t length, const SRVPathSlot_t* slots, uint32_t slotCount);

/* ----------------------------------------------------------- command codes */

/* The command code of a packet header. */
typedef uint16_t SRVCommand_t;

enum {
    SRV_CMD_GET_BOARD_INFO = 5,
    SRV_CMD_WRITE_REGISTER = 6,
    SRV_CMD_READ_REGISTER = 7,
    SRV_CMD_START_ACQUISITION = 8,
    SRV_CMD_STOP_ACQUISITION = 9,
    SRV_CMD_SET_PARAMETER = 13,
    SRV_CMD_GET_PARAMETER = 14,
    SRV_CMD_GET_PARAMETER_INFO = 15,
    SRV_CMD_SET_RUN_FILE = 22,
    SRV_CMD_LOAD_RUN_FILE = 23,
    SRV_CMD_LIST_RUN_FILES = 24,
    SRV_CMD_QUIT = 25,
    SRV_CMD_GET_SERVER_DEFINITIONS = 26,
    SRV_CMD_GET_ENERGY_SPECTRUM = 27,
    SRV_CMD_SET_ENERGY_SPECTRUM = 28,
    SRV_CMD_CLEAR_ENERGY_SPECTRUM = 29,
    SRV_CMD_GET_WAVEFORM = 30,
    SRV_CMD_SAVE_CONFIGURATION = 31,
    SRV_CMD_LOAD_CONFIGURATION = 32,
    SRV_CMD_LIST_CONFIGURATIONS = 33,
    SRV_CMD_DELETE_CONFIGURATION = 34,
    SRV_CMD_SET_LIST_PARAMS = 35,
    SRV_CMD_GET_LIST_PARAMS = 36,
    SRV_CMD_GET_HV_CHANNEL_INFO = 37,
    SRV_CMD_GET_HV_RANGE_INFO = 38,
    SRV_CMD_START_AUTOSET = 39,
    SRV_CMD_STOP_AUTOSET = 40,
    SRV_CMD_GET_CHANNEL_SPECTRA_COUNT = 41,
    SRV_CMD_GET_ROI = 42,
    SRV_CMD_HV_ON = 43,
    SRV_CMD_HV_OFF = 44,
    SRV_CMD_HV_ONOFF = 45,
    SRV_CMD_GET_MCS_SPECTRUM = 46,
    SRV_CMD_MCS_SWEEP = 47,
    SRV_CMD_CLEAR_MCS_SPECTRUM = 48,
    SRV_CMD_RESET_GAIN_STABILIZER = 49,
    SRV_CMD_GET_DT_SPECTRUM = 50,
    SRV_CMD_SET_DT_SPECTRUM = 51,
    SRV_CMD_CLEAR_DT_SPECTRUM = 52,
    SRV_CMD_SAMPLE_ADVANCE = 53,
    SRV_CMD_NOTIFY = 54,
    SRV_CMD_DATABASE_PATH = 55,
    SRV_CMD_DATETIME = 56
};

#define SRV_CMD_FIRST SRV_CMD_GET_BOARD_INFO
#define SRV_CMD_LAST  SRV_CMD_DATETIME

/* Paths of the server: the run-file path and the configuration-database path
 * hold 400 characters, the working folder and the data folder 199. */
#define SRV_PATH_SIZE   401
#define SRV_FOLDER_SIZE 200

/* ----------------------------------------------------- connection options */

/* How to reach the board, as the options give it (all 0 by default). */
typedef struct SRVConnParams_t {
    int16_t linkType; /* 0 "usb", 1 "opt" */
    int16_t linkNumber;
    int16_t node;
    uint32_t vmeBase;
} SRVConnParams_t;

/* ------------------------------------------------ records of board objects */

typedef struct SRVChannel_t SRVChannel_t;
typedef struct SRVEnergySpectrum_t SRVEnergySpectrum_t;

/* List-mode output of one channel. */
typedef enum SRVListFileFormat_t {
    SRV_LIST_FORMAT_TEXT = 0,
    SRV_LIST_FORMAT_BINARY = 1,
    SRV_LIST_FORMAT_NONE = 2
} SRVListFileFormat_t;

typedef struct SRVListSave_t {
    uint8_t enabled;
    uint8_t saving;
    uint8_t withTimeTag;
    uint8_t withEnergy;
    uint8_t withFlags;
    uint8_t keepPseudo;
    uint8_t keepFlag400;
    uint8_t stopReached;
    uint8_t allEnergies;
    int32_t format; /* SRVListFileFormat_t */
    char fileName[SRV_PATH_SIZE];
    FILE* file;
    uint32_t bufferSize;
    uint32_t count;
    uint64_t* timeTags;
    uint16_t* energies;
    uint32_t* flags;
    /* The system's error number of a write that failed into the open file,
     * 0 while every write has reached it: the output then ends there until
     * the stop, which reports it. */
    int writeError;
} SRVListSave_t;

/* A file that could not be read or written, for the terminal: its path,
 * what is wrong with it, and the status. status 0: nothing failed. */
#define SRV_FAILURE_TEXT_SIZE 200
typedef struct SRVFileFailure_t {
    SRVStatus_t status;
    char path[SRV_PATH_SIZE];
    char reason[SRV_FAILURE_TEXT_SIZE];
} SRVFileFailure_t;

#define SRV_SPECTRUM_MAX_BINS 32768

/* Multichannel-scaling spectrum of one channel. */
typedef struct SRVMCSSpectrum_t {
    c_ParamCollection_t* collection;
    SRVChannel_t* channel;
    uint32_t channelIndex;
    const double* mcsChannels;
    const double* dwellTime;
    const double* swDwellEnable;
    const double* hwDwellEnable;
    const double* swSweepEnable;
    const double* hwSweepEnable;
    const double* presetPasses;
    const double* mode;
    const double* acqMode;
    uint32_t state; /* 0 idle, 1 running, 2 preset reached, 3 stopped */
    uint32_t pass;
    uint32_t counts[SRV_SPECTRUM_MAX_BINS];
} SRVMCSSpectrum_t;

#define SRV_DT_SPECTRUM_MAX_BINS 4096
#define SRV_MAX_CHANNELS         64

/* Time-interval spectrum of the board. */
typedef struct SRVDTSpectrum_t {
    c_ParamCollection_t* collection;
    const double* nbins;
    const double* step;
    uint8_t enabled;
    uint32_t referenceChannel;
    uint64_t entries;
    uint64_t outOfRange;
    uint64_t counts[SRV_DT_SPECTRUM_MAX_BINS];
    uint32_t leftover[SRV_MAX_CHANNELS];
    uint64_t* pendingReference;
    uint64_t* pendingPartner;
    uint8_t armed;
} SRVDTSpectrum_t;

/* Counters of an energy spectrum (40 bytes). */
typedef struct SRVSpectrumCounters_t {
    uint64_t liveTimeNs;
    uint64_t realTimeNs;
    uint64_t deadTimeNs;
    uint64_t entries;
    uint32_t overflows;
    uint32_t underflows;
} SRVSpectrumCounters_t;

/* Region of interest of an energy spectrum. */
typedef struct SRVROI_t {
    c_ParamCollection_t* collection;
    SRVEnergySpectrum_t* spectrum;
    double* high;
    double* low;
    uint64_t entries;
} SRVROI_t;

#define SRV_GAIN_STABILIZER_SLOTS 5

/* Gain stabiliser of an energy spectrum. */
typedef struct SRVGainStabilizer_t {
    SRVEnergySpectrum_t* spectrum;
    uint8_t referenceSet;
    uint8_t enabled;
    double* roiLow;
    double* roiHigh;
    double* factor;
    double* interval;
    double reference;
    uint32_t periodCount;
    uint32_t slot;
    uint64_t lastUpdate;
    double hist[SRV_GAIN_STABILIZER_SLOTS][SRV_SPECTRUM_MAX_BINS];
    double* mode;
    double* ppmc;
} SRVGainStabilizer_t;

#define SRV_MAX_ROIS 1

/* Energy spectrum of one channel. */
struct SRVEnergySpectrum_t {
    c_ParamCollection_t* collection;
    SRVChannel_t* channel;
    double* nbins;
    double* uld;
    double* lld;
    uint32_t adcBits;
    SRVROI_t rois[SRV_MAX_ROIS];
    uint32_t roiCount;
    SRVSpectrumCounters_t total;
    SRVSpectrumCounters_t cycle;
    uint32_t period;
    uint64_t periodStart;
    char filePath[SRV_PATH_SIZE];
    uint32_t counts[SRV_SPECTRUM_MAX_BINS];
    SRVGainStabilizer_t gainStabilizer;
    char label[100];
    char startTime[20];
    char stopTime[20];
};

/* ------------------------------------------------------------ board record */

#define SRV_MAX_ENERGY_SPECTRA 1
#define SRV_MAX_MCS_SPECTRA    1
#define SRV_MAX_DT_SPECTRA     1
#define SRV_MAX_HV_CHANNELS    2
#define SRV_MAX_HV_RANGES      3
#define SRV_MAX_LVDS_GROUPS    4
#define SRV_MAX_VIRTUAL_TRACES 9
#define SRV_MAX_MON_OUTS       2

/* The server's frame of one channel of the board. */
struct SRVChannel_t {
    c_ParamCollection_t* collection;
    SRVEnergySpectrum_t energySpectra[SRV_MAX_ENERGY_SPECTRA];
    SRVMCSSpectrum_t mcsSpectra[SRV_MAX_MCS_SPECTRA];
    uint32_t energySpectrumCount;
    uint32_t mcsSpectrumCount;
    c_Waveform_t* waveform;
    SRVListSave_t listSave;
    uint64_t lastEventTime;
    uint64_t realTimeSum;
    uint64_t deadTimeSum;
    uint32_t inputCount;
    double icrCounts;
    uint64_t scaTime;
    uint64_t scaPreviousCount;
    uint32_t channelNumber; /* set by the parameter build */
    /* 1 once this run found that the board gives no real and dead time
     * (reported once; cleared by a start of the channel). */
    uint8_t boardTimeMissing;
    /* The spectrum file that the board thread could not write as it ended. */
    SRVFileFailure_t spectrumSaveFailure;
};

/* One range slot of a high-voltage channel: the server collection of the
 * range and the library's range block. */
typedef struct SRVHVRangeSlot_t {
    c_ParamCollection_t* collection;
    c_HVRangeBlock_t* range;
} SRVHVRangeSlot_t;

/* The server's frame of one high-voltage channel. */
typedef struct SRVHVBlock_t {
    c_ParamCollection_t* collection;
    SRVHVRangeSlot_t ranges[SRV_MAX_HV_RANGES];
    uint32_t rangeCount;
} SRVHVBlock_t;

/* Commands handed to the board thread. */
enum { SRV_THREAD_CMD_START = 0, SRV_THREAD_CMD_STOP = 1 };

typedef struct SRVBoard_t {
    c_ticket_t boardLock;
    c_Digitizer_t digitizer;
    c_thread_t* thread;
    c_semaphore_t startedSem;
    c_condition_t idleCondition;
    uint32_t pendingCommand;
    c_semaphore_t doneSem;
    uint32_t channelMask;
    uint8_t pending;
    SRVStatus_t commandResult;
    c_ticket_t flagsLock;
    uint8_t open;
    uint8_t idle;
    uint8_t quit;
    /* 1 while the board thread runs its cycles; cleared by the thread as it
     * ends, so that a hand-over never waits for a thread that is gone. Read
     * and written with atomic access. */
    uint8_t threadRunning;
    uint64_t lastEventTime;
    c_ParamCollection_t* collection;
    c_map_t parameterIndexes;
    SRVChannel_t channels[SRV_MAX_CHANNELS];
    SRVHVBlock_t hv[SRV_MAX_HV_CHANNELS];
    c_ParamCollection_t* lvdsGroups[SRV_MAX_LVDS_GROUPS];
    c_ParamCollection_t* virtualTraces[SRV_MAX_VIRTUAL_TRACES];
    c_ParamCollection_t* monOuts[SRV_MAX_MON_OUTS];
    SRVDTSpectrum_t dtSpectra[SRV_MAX_DT_SPECTRA];
    uint32_t dtSpectrumCount;
} SRVBoard_t;

/* The board information that command 5 sends, field by field. */
typedef struct SRVBoardInfo_t {
    char modelName[12];
    int32_t modelCode;
    uint32_t channelCount;
    uint32_t hvChannelCount;
    uint32_t lvdsGroupCount;
    uint32_t virtualTraceCount;
    uint32_t monOutCount;
    uint32_t dtSpectrumCount;
    uint16_t boardFwMajor;
    uint16_t boardFwMinor;
    uint16_t boardFwBuild;
    uint16_t channelFwMajor;
    uint16_t channelFwMinor;
    uint16_t channelFwBuild;
    char reserved[17];
    uint32_t serialNumber;
    int32_t familyCode;
    int32_t formFactor;
    uint32_t boardInfoWord;
    uint32_t adcBits;
    uint32_t samplePeriodPs;
    uint32_t energyBits;
    char libraryVersion[20];
} SRVBoardInfo_t;

/* ----------------------------------------------------------- global record */

/* Category slots of the index levels. */
enum {
    SRV_LEVEL_BOARD = 0,
    SRV_LEVEL_CHANNEL = 1,
    SRV_LEVEL_LVDS_GROUP = 2,
    SRV_LEVEL_VIRTUAL_TRACE = 3,
    SRV_LEVEL_HV_CHANNEL = 4,
    SRV_LEVEL_HV_RANGE = 5,
    SRV_LEVEL_ENERGY_SPECTRUM = 6,
    SRV_LEVEL_MCS_SPECTRUM = 7,
    SRV_LEVEL_DT_SPECTRUM = 8,
    SRV_LEVEL_ROI = 9,
    SRV_LEVEL_MON_OUT = 10,
    SRV_LEVEL_COUNT = 11
};

/* What SRV_GetCategoryIndexLevel gives when a level can't be read. */
#define SRV_INVALID_LEVEL 0x4FFFFFFF

typedef struct SRVGlobals_t {
    SRVBoard_t board;
    xmlDocPtr serverDefinitions;  /* owned */
    xmlDocPtr libraryDefinitions; /* borrowed from the library */
    char runFilePath[SRV_PATH_SIZE];
    char workingFolder[SRV_FOLDER_SIZE];
    uint8_t noConnection; /* option -h */
    int32_t levels[SRV_LEVEL_COUNT];
} SRVGlobals_t;

/* The one global record of the process (NULL before SRV_InitGlobals). */
extern SRVGlobals_t* SRV_Globals;

/* ------------------------------------------------------- command handlers */

/* A command handler: reads its request from the payload (payloadSize bytes),
 * does its work under the board lock and returns its reply (owned by the
 * caller from then on) with its size, or NULL; it always writes the status.
 * A reply with fields always has status 0; without a reply the command loop
 * sends the header and the status. */
typedef void* (*SRVCommandHandler_t)(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                                     uint32_t* replySize, SRVStatus_t* status);
/* The handlers of the configuration database take its path as well (which
 * command 55 can change). */
typedef void* (*SRVDatabaseCommandHandler_t)(SRVBoard_t* board, SRVCommand_t command, const void* payload,
                                             uint32_t payloadSize, uint32_t* replySize, SRVStatus_t* status,
                                             char databasePath[SRV_PATH_SIZE]);

/* A reply of the header and the status only; NULL when it can't be built. */
void* SRV_BuildStatusReply(SRVCommand_t command, SRVStatus_t status, uint32_t* replySize);

/* ------------------------------------------------------------ board lock */

/* 0, or -13 after "Cannot lock Mutex (lock ERR %i)". */
SRVStatus_t SRV_LockBoard(SRVBoard_t* board);
/* 0, or -14 after "Cannot unlock Mutex (lock ERR %i)". */
SRVStatus_t SRV_UnlockBoard(SRVBoard_t* board);
/* Releases the board lock and returns status, or the release's failure when
 * status is a success. */
SRVStatus_t SRV_UnlockBoardInto(SRVBoard_t* board, SRVStatus_t status);

/* ------------------------------------------------------ acquisition status */

/* False for stopped (0), paused (3) and undetermined (5), true otherwise. */
bool SRV_IsAcquiring(int32_t acqStatus);

/* ------------------------------------------------------------- the board */

/* False for the commands served without an open board: 22 to 26. */
bool SRV_CommandNeedsBoard(SRVCommand_t command);
/* 0 when the board is open or the command needs none; else -7 after "No
 * board is open ..." (a command 23 that failed to open its replay and the
 * previous board again leaves the record closed, its locks destroyed). */
SRVStatus_t SRV_CheckBoardOpen(const SRVBoard_t* board, SRVCommand_t command);
/* Sets the quit flag under the board lock: 0, -13 or -14. */
SRVStatus_t SRV_SetQuitFlag(SRVBoard_t* board);

/* The length of a text field of the board descriptor, which need not hold a
 * terminator; SRV_DESCRIPTOR_TEXT(field) gives the pair a "%.*s" takes. */
static inline int SRV_DescriptorTextLength(const char* field, size_t size) {
    return static_cast<int>(strnlen(field, size));
}
#define SRV_DESCRIPTOR_TEXT(field) SRV_DescriptorTextLength((field), sizeof(field)), (field)

/* The board information of command 5 (the caller passes a zeroed record). */
SRVStatus_t SRV_FillBoardInfo(SRVBoardInfo_t* info, const c_Digitizer_t* digitizer);

/* "<model name>_<serial number>" of the open board into dataPath: 0, -1 or
 * -17. */
SRVStatus_t SRV_GetBoardDataPath(const SRVBoard_t* board, char dataPath[SRV_FOLDER_SIZE]);

/* ------------------------------------------------------ index levels */

/* Fills the level slots of the global record from the ServerDefinitions
 * document: 0 or -1. */
int SRV_GetCategoryIndexLevels(void);
/* The "level" of the category element, or SRV_INVALID_LEVEL. */
int32_t SRV_GetCategoryIndexLevel(const char* categoryName);

/* ------------------------------------------------------------ versions */

/* The server version "<sysrel>-Build <build>" from "/fw/etc/SysInfo", or the
 * built-in one. A static text. */
const char* SRV_GetServerVersion(void);
/* The library version the server reports. */
#define SRV_LIBRARY_VERSION "0.99.10"
const char* SRV_GetSqliteCompiledVersion(void);
const char* SRV_GetSqliteRuntimeVersion(void);
const char* SRV_GetCompilerVersion(void);

/* ------------------------------------------------------------- SQLite */

/* Installs the utility layer's allocator and the log callback into SQLite and
 * initialises it: 0 or -43. */
SRVStatus_t ConfigureSqlite(void);

#ifdef __cplusplus
}

/* Looks up the object of an index path with find, then takes the board lock:
 * the object, or NULL with the status of the failure. */
template <class Object>
Object* SRV_FindAndLockBoard(SRVStatus_t (*find)(SRVBoard_t*, const int32_t*, uint32_t, Object**), SRVBoard_t* board,
                             const int32_t* path, uint32_t length, SRVStatus_t* status) {
    Object* object = nullptr;
    SRVStatus_t result = find(board, path, length, &object);
    if (result == SRV_SUCCESS)
        result = SRV_LockBoard(board);
    *status = result;
    return result == SRV_SUCCESS ? object : nullptr;
}
#endif

#endif /* SRV_COMMON_H */
