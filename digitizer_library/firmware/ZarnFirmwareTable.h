/*
 * ZarnFirmwareTable: one row per DPP code with everything the library picks
 * by firmware (type name, descriptor bits, setup, PLL check, shutdown check
 * and restore, walker, decoder, aggregate size mask, trace slots, real- and
 * dead-time counters, waveform step). The standard waveform firmware runs on several
 * families; what differs by family there is the scope driver's family table
 * (SCOPE_FindFamily in CBoard_Scope.h).
 */
#ifndef ZARN_FIRMWARE_TABLE_H
#define ZARN_FIRMWARE_TABLE_H

#include <stdint.h>

#include "ZarnFamilySupport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How a read buffer of the firmware is walked. */
typedef enum ZarnWalkerKind_t {
    ZARN_WALKER_SCOPE,   /* standard waveform events */
    ZARN_WALKER_CHANNEL, /* one aggregate per channel */
    ZARN_WALKER_COUPLE,  /* one aggregate per channel couple */
    ZARN_WALKER_GROUP,   /* one aggregate per group of eight channels */
    ZARN_WALKER_XMOR     /* the register-level device's aggregates */
} ZarnWalkerKind_t;

/* Where a firmware keeps a channel's real time and dead time. */
typedef enum ZarnTimeCountersKind_t {
    ZARN_TIME_COUNTERS_NONE,      /* not offered (-42) */
    ZARN_TIME_COUNTERS_REGISTERS, /* two channel registers, counted in sample periods */
    ZARN_TIME_COUNTERS_DEVICE     /* the register-level device's sums, taken on every read */
} ZarnTimeCountersKind_t;

typedef struct ZarnTimeCounters_t {
    ZarnTimeCountersKind_t kind = ZARN_TIME_COUNTERS_NONE;
    /* registers: only minor revisions above this one have them (-42 below) */
    int32_t aboveMinorRev = 0;
    /* registers: channel c's counters at (c << 8) | register */
    uint32_t realTimeRegister = 0;
    uint32_t deadTimeRegister = 0;
} ZarnTimeCounters_t;

/* Descriptor fields of the firmware's data, written before its setup runs
 * (timeTagBits 0: the setup writes them itself). */
typedef struct ZarnTraceBits_t {
    uint32_t timeTagBits = 0;
    uint32_t energyBits = 0;
    uint32_t analogTraces = 0;
    uint32_t digitalTraces = 0;
} ZarnTraceBits_t;

typedef struct ZarnFirmware_t {
    int32_t dppCode;
    const char* typeName = NULL; /* written to the descriptor before setup; NULL: the setup names it */
    ZarnTraceBits_t traceBits = {};
    int (*setup)(c_Digitizer_t* digitizer) = NULL;
    /* Each check answers 0 when its board has nothing to check or restore
     * (NULL: nothing to check or restore). */
    int (*checkPLL)(c_Digitizer_t* digitizer) = NULL;
    int (*checkShutdown)(c_Digitizer_t* digitizer) = NULL;
    int (*restoreShutdown)(c_Digitizer_t* digitizer) = NULL;
    ZarnWalkerKind_t walker = ZARN_WALKER_SCOPE;
    GENERIC_ChannelDecoder_t channelDecoder = NULL;
    GENERIC_CoupleDecoder_t coupleDecoder = NULL;
    GENERIC_GroupDecoder_t groupDecoder = NULL;
    uint32_t sizeMask = 0;   /* size bits of the board aggregate header */
    uint32_t traceSlots = 0; /* bit k: trace slot k is supported */
    ZarnTimeCounters_t timeCounters = {};
    /* samples of one waveform unit: waveforms come in whole units (0: by
     * family, the standard waveform firmware's family table) */
    uint32_t waveformStep = 0;
} ZarnFirmware_t;

/* The row of a DPP code, or NULL for a code the library does not know. */
const ZarnFirmware_t* ZarnFirmware_Find(int32_t dppCode);
/* Writes the row's type name and descriptor bits, then runs its setup. */
int ZarnFirmware_Setup(const ZarnFirmware_t* firmware, c_Digitizer_t* digitizer);
/* The trace slots of the record's firmware (standard waveform firmware on
 * the families that run it only). */
uint32_t ZarnFirmware_TraceSlots(const c_Digitizer_t* digitizer);
/* The samples by which the firmware's waveforms grow: its events carry whole
 * units of this many samples, so a record length between two steps comes as
 * the next whole unit (1 for a firmware without such units). */
uint32_t ZarnFirmware_WaveformStep(const c_Digitizer_t* digitizer);
/* Whether the firmware of the record fills trace slot 0..8. */
bool GENERIC_IsTraceSupported(const c_Digitizer_t* digitizer, int32_t slot);

#ifdef __cplusplus
}
#endif

#endif
