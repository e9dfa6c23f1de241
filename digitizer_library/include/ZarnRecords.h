/*
 * ZarnRecords: the plain records of the digitizer library and their
 * constants: the digitizer record c_Digitizer_t with everything it holds
 * (board descriptor, channel slots, events and waveforms, high-voltage
 * blocks, readout buffer, raw-data file state), the acquisition statuses,
 * the event flags and the failure status bits.
 *
 * Header only. It sits below every module of the library: it includes the
 * library-wide definitions (ZarnTypes.h, which also gives DRAVIK_API) and the
 * utility layer, and knows the parameter records only by name.
 *
 * The record is the library's whole state for one board or one replayed
 * raw-data file. The caller owns its memory; the library resets it, fills it
 * on open, hangs every buffer, event array and parameter collection off it,
 * and empties it on close. Every pointer inside belongs to the library.
 */
#ifndef ZARN_RECORDS_H
#define ZARN_RECORDS_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "ZarnTypes.h"
#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Parameter records (ZarnParameters.h), held here through pointers only. */
typedef struct c_Parameter_t c_Parameter_t;
typedef struct c_ParamCollection_t c_ParamCollection_t;

/* ------------------------------------------------------------------ sizes */

#define DPPL_MAX_CHANNELS       64
#define DPPL_MAX_GROUPS         8
#define DPPL_CHANNELS_PER_GROUP 8
#define DPPL_MAX_LVDS_GROUPS    4
#define DPPL_MAX_VTRACES        9
#define DPPL_MAX_MONOUTS        1
#define DPPL_MAX_VGAS           4
#define DPPL_MAX_HV_CHANNELS    2
#define DPPL_MAX_HV_RANGES      3
#define DPPL_HV_QUANTITIES      9 /* limit arrays of a high-voltage channel */
#define DPPL_HV_CONVERSIONS     7 /* conversion blocks of a high-voltage range */
#define DPPL_COARSE_DCO_ENTRIES 11
#define DPPL_TRACE_SLOTS        9 /* slots 0-2 analog, 3-8 digital */
#define DPPL_ANALOG_TRACES      3
#define DPPL_HEADER_MAX_WORDS   256
#define DPPL_DUMPER_BASE_SIZE   201 /* 200 characters and the terminator */
#define DPPL_DUMPER_NAME_SIZE   220
#define DPPL_DAMAGED_SHOWN      5   /* damaged data records a reader names by offset */
#define DPPL_BOARD_INFO_SIZE    164 /* head of the descriptor filled by the board-information call */
#define DPPL_DESCRIPTOR_SIZE    872

/* Family code of the device driven at register level (no connection
 * parameters), and its DPP code. */
#define DPPL_FAMILY_MORVANE  8560
#define DPPL_DPPCODE_MORVANE 142

/* ------------------------------------------------- acquisition statuses */

typedef enum c_AcqStatus_t {
    ACQSTATUS_STOPPED = 0,
    ACQSTATUS_STOPPING = 1, /* stop issued; the next successful read completes it */
    ACQSTATUS_RUNNING = 2,
    ACQSTATUS_PAUSED = 3,
    ACQSTATUS_PAUSING = 4, /* pause issued; the next successful read completes it */
    ACQSTATUS_UNDETERMINED = 5
} c_AcqStatus_t;

/* Failure status bits of a record (failStatus): set by the library's checks,
 * read and cleared by the caller. */
#ifndef FAILSTATUS_PLL_UNLOCK
#define FAILSTATUS_PLL_UNLOCK 0x10u
#endif
#ifndef FAILSTATUS_OVER_TEMPERATURE
#define FAILSTATUS_OVER_TEMPERATURE 0x20u
#endif
#ifndef FAILSTATUS_ADC_SHUTDOWN
#define FAILSTATUS_ADC_SHUTDOWN 0x40u
#endif

/* --------------------------------------------------------- event model */

/* Event flag bits (c_DPPEvent_t.flags); bits without a name are family
 * specific. */
#define EVTFLAG_ROLLOVER       0x2u
#define EVTFLAG_PSEUDO         0x8u /* the event carries no pulse */
#define EVTFLAG_SATURATED      0x80u
#define EVTFLAG_END_OF_RUN     0x2000u
#define EVTFLAG_FINE_TIME      (1u << 14)
#define EVTFLAG_PILEUP         0x8000u
#define EVTFLAG_MCS            0x800000u  /* a multichannel-scaling datum (special event) */
#define EVTFLAG_STOP_CRITERION 0x1000000u /* never set by the library */

/* Probe codes that the decoders assign themselves. */
#define DPPL_PROBE_NONE         0
#define DPPL_PROBE_INPUT        1
#define DPPL_PROBE_SOFTWARE_CFD 7

/* One trace of a waveform: analog slots hold int16_t samples, digital slots
 * one byte (0 or 1) per sample. */
typedef struct c_Trace_t {
    int32_t probe;     /* probe code of what the trace shows; 0: nothing this event */
    void* samples;     /* int16_t[capacity] (analog) or uint8_t[capacity] (digital); NULL: slot unused */
    uint32_t capacity; /* samples allocated */
} c_Trace_t;

/* The traces of one event. */
typedef struct c_Waveform_t {
    uint32_t nSamples; /* samples in the traces of the last decoded event */
    c_Trace_t traces[DPPL_TRACE_SLOTS];
} c_Waveform_t;

/* One decoded event. */
typedef struct c_DPPEvent_t {
    uint16_t energy;        /* pulse height, long-gate charge or charge */
    int16_t shortCharge;    /* short-gate charge (PSD) */
    uint64_t timeStamp;     /* picoseconds */
    uint32_t flags;         /* EVTFLAG_* */
    c_Waveform_t* waveform; /* NULL when the channel has no waveforms */
    uint8_t specialFlag;    /* special events of the register-level device only */
    int16_t specialIndex;
    uint32_t specialWord1;
    uint32_t specialWord2;
    uint32_t sizeWords; /* the event's size in aggregate words */
} c_DPPEvent_t;

/* ------------------------------------------- standard waveform firmware */

/* One event header of standard waveform firmware. */
typedef struct c_ScopeEvent_t {
    uint64_t timeTag; /* extended trigger time tag in ticks */
    uint16_t pattern;
    uint8_t flag26;
    uint8_t high5;
    uint32_t counter;
    uint32_t sizeBytes;
    uint32_t rollOverFlag; /* EVTFLAG_ROLLOVER or 0 */
    uint32_t channelMask;
    uint32_t payloadWords;
    uint32_t wordsPerChannel;
    c_Waveform_t* waveforms[DPPL_MAX_CHANNELS]; /* per channel; NULL outside the mask */
} c_ScopeEvent_t;

/* Event buffer of a record with standard waveform firmware. */
typedef struct c_ScopeBuffer_t {
    c_ScopeEvent_t* items;
    uint32_t nEvents;         /* decoded by the last read */
    uint32_t capacity;        /* allocated */
    c_Parameter_t* extrasOpt; /* board parameter looked up at the first walk */
} c_ScopeBuffer_t;

/* ------------------------------------------------------- high voltage */

/* Quantities of a high-voltage channel, index order of every limit array. */
enum {
    HVQ_VSET = 0,
    HVQ_ISET = 1,
    HVQ_RAMPUP = 2,
    HVQ_RAMPDOWN = 3,
    HVQ_VMAX = 4,
    HVQ_VMON = 5,
    HVQ_IMON = 6,
    HVQ_VEXT = 7,
    HVQ_RTMP = 8
};

/* Conversion blocks of a high-voltage range, in this order. */
enum {
    HVCONV_VSET = 0,
    HVCONV_VMAX = 1,
    HVCONV_ISET = 2,
    HVCONV_RAMPUP = 3,
    HVCONV_RAMPDOWN = 4,
    HVCONV_VMON = 5,
    HVCONV_IMON = 6 /* serves the current monitor and its offset */
};

/* The conversion of one quantity in one range: raw = c0 + c1*x + c2*x^2 ... */
typedef struct c_HVConversionBlock_t {
    uint32_t nPoints;    /* at most 5 */
    double points[5][2]; /* {value, raw} pairs */
    int32_t degree;
    double coeff[6];
    double min, max, step;
} c_HVConversionBlock_t;

/* One range of a high-voltage channel. */
typedef struct c_HVRangeBlock_t {
    c_ParamCollection_t* coll; /* category HVRange */
    char codename[100];        /* e.g. "HV_RANGE_PMT" */
    char name[100];
    int32_t rangeCode; /* what the control register reports while this range is active */
    uint32_t hvIndex;  /* high-voltage channel (index of the record's hv array) */
    c_HVConversionBlock_t conv[DPPL_HV_CONVERSIONS];
} c_HVRangeBlock_t;

/* One high-voltage channel of the record. */
typedef struct c_HVChannelBlock_t {
    c_ParamCollection_t* coll; /* category HVChannel */
    c_HVRangeBlock_t ranges[DPPL_MAX_HV_RANGES];
    double limitMax[DPPL_HV_QUANTITIES];
    double limitMin[DPPL_HV_QUANTITIES];
    double lsb[DPPL_HV_QUANTITIES]; /* value per register count */
    uint32_t hwInfo;
    double activeCopy[5]; /* current values of the active range's first parameters */
    int32_t activeRange;  /* index of the active range */
    int32_t polarity;     /* 0 positive, 1 negative */
    int32_t handle;       /* board handle for the channel's registers */
    uint32_t hvIndex;     /* channel number of the supply */
    uint32_t regBase;     /* registers at ((regBase + hvIndex) << 8) | 0x10xx */
    uint32_t rangeCount;  /* ranges in use (1 to 3) */
} c_HVChannelBlock_t;

/* Coarse DC-offset data of one channel of the register-level device, indexed
 * like the list values of the channel's coarse-gain parameter. */
typedef struct c_CoarseDCOEntry_t {
    uint32_t value;
    uint32_t zeroOffset;
} c_CoarseDCOEntry_t;
typedef struct c_CoarseDCOTable_t {
    c_CoarseDCOEntry_t entries[DPPL_COARSE_DCO_ENTRIES];
} c_CoarseDCOTable_t;

/* --------------------------------------------------- board description */

/*
 * The board's description. Stored byte for byte at the head of every
 * raw-data file, so its layout is a file format (little-endian; offsets
 * pinned in ZarnDPPLayer_Record.cpp). The first 164 bytes are the board-information
 * record of the board-access layer; the rest is the library's own.
 */
typedef struct c_BoardDescriptor_t {
    char ModelName[12];          /*   0 */
    uint32_t Model;              /*  12 model number */
    uint32_t Channels;           /*  16 channel count as the board reports it */
    uint32_t FormFactor;         /*  20 0, 1: 4 LVDS groups; 2, 3: none */
    uint32_t FamilyCode;         /*  24 */
    char BoardFirmwareRel[20];   /*  28 */
    char ChannelFirmwareRel[40]; /*  48 "<DPP code>.<minor>" */
    uint32_t SerialNumber;       /*  88 */
    uint8_t Unused1[32];         /*  92 */
    uint32_t InfoWord;           /* 124 reported to clients */
    uint32_t ADC_NBits;          /* 128 ADC resolution as the board reports it */
    uint32_t Unused2;            /* 132 */
    int32_t CommHandle;          /* 136 link handle for register access */
    uint32_t LinkInfo;           /* 140 */
    uint8_t Reserved[20];        /* 144 zero */
    int32_t DPPCode;             /* 164 */
    int32_t DPPMinorRev;         /* 168 */
    char DPPTypeName[12];        /* 172 "DPP-PHA", "DPP-PSD", "DPP-CI", "DPP-QDC", "SCOPE", "DPP-NONE" */
    double SamplePeriod;         /* 184 ns */
    uint32_t TimeTagBits;        /* 192 */
    uint32_t EnergyBits;         /* 196 */
    uint8_t NumGroups;           /* 200 at most 8 */
    uint8_t NumChannels;         /* 201 channels used by the library, at most 64 */
    uint8_t Pad1[2];             /* 202 */
    uint32_t HVChannels;         /* 204 at most 2 */
    uint32_t LVDSGroups;         /* 208 0 or 4 */
    uint32_t AnalogVTraces;      /* 212 */
    uint32_t DigitalVTraces;     /* 216 */
    uint32_t MonOuts;            /* 220 0 or 1 */
    uint32_t VGAs;               /* 224 at most 4 */
    uint32_t MemBlock;           /* 228 32 or 128; 0 on the register-level device */
    uint32_t MemSize;            /* 232 memory size value from the board's memory code */
    uint32_t ADCBits;            /* 236 ADC bits used by the library */
    uint8_t Reserved2[25];       /* 240 zero */
    char ReservedText1[300];     /* 265 zero */
    char ReservedText2[300];     /* 565 zero */
    uint8_t Pad2[7];             /* 865 */
} c_BoardDescriptor_t;

/* How to reach a board; built by the caller. */
typedef struct c_ConnParams_t {
    int32_t linkType; /* 6: the address text is passed to the open instead of the link number */
    int32_t linkNumber;
    int32_t node;      /* daisy-chain node */
    uint32_t vmeBase;  /* VME base address */
    char address[256]; /* NUL-terminated; zeroed when there is none */
} c_ConnParams_t;

/* Who gave the readout buffer (so that it goes back there). */
enum {
    ROBUF_ALLOC_NONE = 0,
    ROBUF_ALLOC_LIBRARY = 1,  /* c_malloc / c_calloc */
    ROBUF_ALLOC_DIGITIZER = 2 /* ZARN_DGTZ_MallocReadoutBuffer */
};

/* The board's readout buffer. */
typedef struct c_ReadoutBuffer_t {
    char* ROBuf;
    uint32_t ROAllocSize; /* bytes allocated */
    uint32_t ROBytes;     /* bytes held by the last read */
    uint8_t allocator;    /* ROBUF_ALLOC_* of ROBuf */
} c_ReadoutBuffer_t;

/* Software CFD settings of one channel, in samples where they are times. */
typedef struct c_CFDSettings_t {
    uint32_t preTrigger;
    uint32_t preGate;
    uint32_t delay;
    int32_t polarity;
    double fraction;
    uint32_t smoothExp;
} c_CFDSettings_t;

/* What the decoders need of a channel's parameters, looked up once per read
 * instead of once per event: valid while serial equals the record's
 * readSerial. `filled` holds the READCACHE_* parts looked up so far. */
#define READCACHE_BASE 0x1u /* run parameter, gain register, time offset */
#define READCACHE_GAIN 0x2u /* software gain (pulse height without gain register) */
#define READCACHE_CFD  0x4u /* software CFD settings */
typedef struct c_ReadCache_t {
    uint32_t serial;
    uint32_t filled;
    uint8_t hasAcqRun;     /* DPPL_PARAM_CH_ACQ_RUN exists */
    uint8_t hasGainReg;    /* DPPL_PARAM_CH_GAINREG exists */
    double acqRun;         /* current value of DPPL_PARAM_CH_ACQ_RUN */
    uint64_t timeOffsetPs; /* DPPL_PARAM_CH_TIME_OFFSET in ps (two's complement when negative) */
    int32_t gainStatus;    /* 0, or the failure of the software gain look-up */
    double gainH, gainL;   /* software gain and its inverse */
    int32_t cfdStatus;     /* 0, or the failure of the CFD settings look-up */
    c_CFDSettings_t cfd;
} c_ReadCache_t;

/* One channel's slot in the record. */
typedef struct c_ChannelRecord_t {
    c_ParamCollection_t* coll;
    c_CoarseDCOTable_t* coarseDCO; /* register-level device only */
    c_DPPEvent_t* events;
    uint32_t nEvents;           /* decoded by the last read */
    uint32_t capacity;          /* allocated */
    uint8_t waveformsAllocated; /* 1: every event carries a c_Waveform_t */
    uint64_t lastRawTimeTag;
    uint64_t rollOver1;
    uint64_t lastExtTimeTag;
    uint64_t rollOver2;
    int32_t acqStatus; /* c_AcqStatus_t */
    uint8_t fineTimeEnabled;
    double* cfdWork;         /* software CFD work area, one waveform long */
    uint32_t cfdCapacity;    /* doubles in cfdWork */
    int32_t endOfRun;        /* 0 none, 1 pending, 2 done */
    c_ReadCache_t readCache; /* decoders' per-read parameter look-ups */
    /* 1 from a stop or pause of the channel until its next start: what the
     * board still delivers for it was acquired before the stop, and every
     * read delivers it, however many reads the drain takes. */
    uint8_t stoppedDraining;
} c_ChannelRecord_t;

/* ----------------------------------------------------- raw-data files */

/* One open raw-data file (written while acquiring or read back in replay). */
typedef struct c_ROBuffDumper_t {
    FILE* file;
    char baseName[DPPL_DUMPER_BASE_SIZE];
    char fileName[DPPL_DUMPER_NAME_SIZE]; /* "%s_%llu.dat" of base and id */
    uint64_t id;                          /* below 10^14; 0 for a file opened for reading */
    uint32_t headerWords[DPPL_HEADER_MAX_WORDS];
    uint32_t headerWordCount; /* word 0 included */
    fpos_t dataStart;         /* first data record after the header */
    uint8_t opened;
    /* The first write, flush or close of the open file that failed: its
     * dumper status (0 none) and the system's error number. Once a write has
     * failed nothing more is written to that file, so it ends with whole
     * records and at most one cut one. Cleared when a file is opened. */
    int32_t writeError;
    int32_t writeErrno;
    /* A reader's data records that its replay could not use (skipped, or
     * the one that ended the replay) since the file was opened, rewound or
     * last read to its end: how many, and the byte offsets of the first. */
    uint64_t damagedRecords;
    int64_t damagedAt[DPPL_DAMAGED_SHOWN];
} c_ROBuffDumper_t;

/* The parsed header of a replayed file. The value blocks (one double per
 * code of the category's collection) belong to the header; NULL when the
 * file lacks them. */
typedef struct c_RawDataHeader_t {
    c_BoardDescriptor_t descriptor;
    uint32_t eventsPerChannel[DPPL_MAX_CHANNELS];
    uint32_t roSize;
    uint32_t waveSamples;
    double* brdparams;
    double* grparams[DPPL_MAX_GROUPS];
    double* chparams[DPPL_MAX_CHANNELS];
    double* lgparams[DPPL_MAX_LVDS_GROUPS];
    double* vtparams[DPPL_MAX_VTRACES];
    double* hvchparams[DPPL_MAX_HV_CHANNELS];
    double* hvrangeparams[DPPL_MAX_HV_CHANNELS]; /* the active range of each channel */
    double* moparams[DPPL_MAX_MONOUTS];
    double* vgaparams[DPPL_MAX_VGAS];
} c_RawDataHeader_t;

/* ----------------------------------------------------- digitizer record */

/* One virtual-trace slot: its collection and the record that owns it. */
typedef struct c_VTraceSlot_t {
    c_ParamCollection_t* coll;
    c_Digitizer_t* owner;
} c_VTraceSlot_t;

/* Record kinds. */
#define DGTZ_KIND_CLOSED      (-1)
#define DGTZ_KIND_OPEN        0
#define DGTZ_KIND_GEN2_REPLAY 1 /* replay of a file from families 6111, 6122, 6133 */

struct c_Digitizer_t {
    int32_t kind;   /* -1 closed; 0 open; 1 replay of a second-generation file */
    int32_t handle; /* board handle, or the device slot; -1 when closed and for a replay */
    c_BoardDescriptor_t descriptor;
    c_ConnParams_t connParams; /* all zero for the register-level device */
    c_ParamCollection_t* boardColl;
    c_ParamCollection_t* groupColl[DPPL_MAX_GROUPS];
    c_ChannelRecord_t channels[DPPL_MAX_CHANNELS];
    c_HVChannelBlock_t hv[DPPL_MAX_HV_CHANNELS];
    c_ParamCollection_t* lvdsColl[DPPL_MAX_LVDS_GROUPS];
    c_VTraceSlot_t vtrace[DPPL_MAX_VTRACES]; /* analog + digital virtual traces */
    c_ParamCollection_t* monOutColl;
    c_ParamCollection_t* vgaColl[DPPL_MAX_VGAS];
    int32_t acqStatus;      /* c_AcqStatus_t of the board */
    uint8_t idleFlush;      /* while set, a silent read sends a flush */
    uint64_t lastDataTime;  /* c_get_time (ms) of the last data, flush or reset */
    uint64_t lastTimeStamp; /* ps, of the last decoded event */
    uint64_t maxTimeStamp;  /* ps, largest since the last start */
    uint32_t bytesTotal;    /* accumulated by the caller */
    c_mutex_t mutex;        /* created by an open, destroyed by c_freeDgtz; never locked by the library */
    uint8_t replay;         /* opened from a raw-data file */
    uint8_t dumpEnabled;    /* while set, every buffer read is appended to writer */
    uint8_t linkFlag;       /* link type 1 with VME base 0 */
    uint8_t irqWait;        /* readout waits for the board interrupt first */
    uint8_t failStatus;     /* FAILSTATUS_* */
    uint8_t overTempMask;   /* channels in over-temperature */
    c_ReadoutBuffer_t roBuffer;
    c_ROBuffDumper_t writer;
    c_ROBuffDumper_t reader;      /* replay records only */
    c_RawDataHeader_t fileHeader; /* replay records only */
    uint64_t evtCount[DPPL_MAX_CHANNELS];
    uint64_t evtCount2[DPPL_MAX_CHANNELS]; /* events flagged EVTFLAG_PSEUDO */
    uint64_t lastChTimeStamp[DPPL_MAX_CHANNELS];
    c_ScopeBuffer_t* scope; /* standard waveform firmware only */
    uint32_t readSerial;    /* number of the current read; the decoders' caches follow it */
};

#ifdef __cplusplus
}
#endif

#endif /* ZARN_RECORDS_H */
