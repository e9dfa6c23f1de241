/*
 * SRV_BoardRecord: the board record, with its lock and thread hand-over
 * fields, the server's frames of the board's channels and high-voltage
 * channels, and the records of the board's objects (list mode, spectra,
 * ROIs, gain stabilisers, MCS and time-interval spectra). The board open and
 * close are in SRV_BoardLifecycle, the board lock in SRV_BoardLock.
 */
#ifndef SRV_BOARD_RECORD_H
#define SRV_BOARD_RECORD_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "SRV_BoardAccess.h"
#include "SRV_Status.h"
#include "ZarnDPPLayer.h"
#include "ZarnParameters.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Paths of the server: the run-file path and the configuration-database path
 * hold 400 characters, the working folder and the data folder 199. */
#define SRV_PATH_SIZE   401
#define SRV_FOLDER_SIZE 200

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
    /* Events accepted for the file since a write into it failed that the
     * buffer could not take: with the events still buffered, what the file
     * misses since it was cut. */
    uint64_t missedEvents;
} SRVListSave_t;

/* A file that could not be read or written, for the terminal: its path,
 * what is wrong with it, and the status. status 0: nothing failed. */
#define SRV_FAILURE_TEXT_SIZE 200
typedef struct SRVFileFailure_t {
    SRVStatus_t status;
    char path[SRV_PATH_SIZE];
    char reason[SRV_FAILURE_TEXT_SIZE];
} SRVFileFailure_t;

/* What a failure of a run cost, which says how the server's end reports it. */
typedef enum SRVRunFailureKind_t {
    SRV_RUN_FAILURE_LIST_FILE = 0, /* a list file misses events */
    SRV_RUN_FAILURE_RECORDING = 1, /* the raw-data recording is incomplete */
    SRV_RUN_FAILURE_STOP = 2,      /* the board's stop failed: its last events may be missing */
    SRV_RUN_FAILURE_REPLAY = 3     /* a replayed file is damaged: the server lost nothing */
} SRVRunFailureKind_t;

typedef struct SRVRunFailure_t {
    int32_t kind; /* SRVRunFailureKind_t */
    SRVFileFailure_t failure;
} SRVRunFailure_t;

/* The failures of the board's runs that no reply has carried, in the order
 * they happened (SRV_RunFailures). The client's next command 8 or 9 answers
 * the first of kept[answerFrom..count); the rest, and those before
 * answerFrom, are told when the server ends. */
#define SRV_RUN_FAILURES_MAX 64
typedef struct SRVRunFailures_t {
    SRVRunFailure_t kept[SRV_RUN_FAILURES_MAX];
    uint32_t count;
    uint32_t answerFrom;
    /* Failures past the room: counted only (their lines are in the logs). */
    uint32_t uncounted;
    /* The failures that the last command the board thread ran made:
     * kept[commandFrom..commandTo). */
    uint32_t commandFrom;
    uint32_t commandTo;
} SRVRunFailures_t;

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
    /* How the server reaches the board: the row the open chose from the
     * digitizer's descriptor (SRV_BoardAccessOf). */
    const SRVBoardAccess_t* access;
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
    /* c_get_time (ms) before the start that set the board's clock going,
     * no later than its time stamps' zero; 0 while the board is stopped. */
    uint64_t clockStartTime;
    c_ParamCollection_t* collection;
    c_map_t parameterIndexes;
    SRVChannel_t channels[SRV_MAX_CHANNELS];
    SRVHVBlock_t hv[SRV_MAX_HV_CHANNELS];
    c_ParamCollection_t* lvdsGroups[SRV_MAX_LVDS_GROUPS];
    c_ParamCollection_t* virtualTraces[SRV_MAX_VIRTUAL_TRACES];
    c_ParamCollection_t* monOuts[SRV_MAX_MON_OUTS];
    SRVDTSpectrum_t dtSpectra[SRV_MAX_DT_SPECTRA];
    uint32_t dtSpectrumCount;
    /* What the board's runs could not save or stop, under the board lock;
     * it outlives a replay opened in the board's place, so that the server's
     * end still tells it. */
    SRVRunFailures_t runFailures;
    /* Set when a replay run has kept the failure of its damaged records,
     * so that it is kept once a run; cleared by the board start. */
    uint8_t replayDamageKept;
} SRVBoard_t;

/* False for stopped (0), paused (3) and undetermined (5), true otherwise. */
static inline bool SRV_IsAcquiring(int32_t acqStatus) { return acqStatus != 0 && acqStatus != 3 && acqStatus != 5; }

#ifdef __cplusplus
}
#endif

#endif /* SRV_BOARD_RECORD_H */
