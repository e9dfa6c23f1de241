/*
 * KelsorFirmwareTable: one row per DPP code with what the plug-in's functions
 * pick by firmware: the SPI wait before a DC-offset write, the branch of
 * SetNewShift, how the DC-offset converters read the calibration polarity.
 * Beside them, one row per board family with the record-length and memory
 * facts the plug-in's functions take from the family. The library keeps its
 * own rows; the plug-in sees it through
 * ZarnPluginSupport.h alone.
 */
#ifndef KELSOR_FIRMWARE_TABLE_H
#define KELSOR_FIRMWARE_TABLE_H

#include <stdbool.h>
#include <stdint.h>

#include "Kelsor.h"

/* How WaitSPIFreeDCOffset waits for a free SPI. */
typedef enum KelsorSpiWait_t {
    KELSOR_SPI_UNSUPPORTED, /* logged, -1 */
    KELSOR_SPI_OWN,         /* every channel has its own */
    KELSOR_SPI_SHARED,      /* 16 channels: channel 4 serves 0-7, channel 15 serves 8-15 */
    KELSOR_SPI_BY_FAMILY,   /* standard waveform firmware: as the board's family says */
    KELSOR_SPI_NO_FAMILY    /* (the family's answer) a family without this firmware: -28 */
} KelsorSpiWait_t;

/* Texts of one branch of SetNewShift. */
typedef struct KelsorShiftTexts_t {
    const char* noCaller; /* no calling parameter */
    const char* noRise;   /* each with the channel as its one argument */
    const char* noDecay;
    const char* noGain; /* NULL: the fine gain is optional (1.0 without it) */
    const char* noNorm;
} KelsorShiftTexts_t;

/* A firmware whose SetNewShift sets the trapezoid shift, logging to a module
 * of its own. */
typedef struct KelsorShiftBranch_t {
    const c_LogModule_t* log;
    KelsorShiftTexts_t texts;
} KelsorShiftBranch_t;

typedef struct KelsorFirmware_t {
    int32_t dppCode;
    KelsorSpiWait_t spiWait;
    /* NULL: SetNewShift sets the channel's fine gain again */
    const KelsorShiftBranch_t* shift = NULL;
    /* the DC-offset converters read the calibration polarity the other way
     * round: 0 mirrors the offset, 1 keeps it (elsewhere 1 mirrors, 0 keeps) */
    bool dcoPolarityReversed = false;
} KelsorFirmware_t;

/* What the plug-in takes from a board family. */
typedef struct KelsorFamily_t {
    uint32_t familyCode;
    /* samples a record length grows by */
    uint32_t recordLengthStep;
    /* a record-length unit is half a step (the memory holds pairs of units) */
    bool halfStepUnits = false;
    /* the board keeps one memory block for itself, and the buffer
     * organisation holds one unit more than the record length */
    bool reservedMemoryBlock = false;
} KelsorFamily_t;

/* The row of the board's family; a family without one gets a step of one
 * sample and none of the rest. */
KELSOR_INTERNAL const KelsorFamily_t* kelsorFamilyOf(const c_Digitizer_t* digitizer);

/* The row of the board's DPP code; a code without one gets a row that
 * offers nothing (no SPI wait, no shift branch, the usual polarity). */
KELSOR_INTERNAL const KelsorFirmware_t* kelsorFirmwareOf(const c_Digitizer_t* digitizer);
/* KELSOR_SPI_BY_FAMILY: the SPI wait of the board's family. */
KELSOR_INTERNAL KelsorSpiWait_t kelsorScopeSpiWait(const c_Digitizer_t* digitizer);

#endif /* KELSOR_FIRMWARE_TABLE_H */
