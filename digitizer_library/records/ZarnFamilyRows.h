/*
 * ZarnFamilyRows: what the library knows of a board family, one row per
 * family code, instead of family codes compared in the code: how the family
 * is reached (the register-level device, or a second-generation family whose
 * files the library reads but whose boards it has no layer for), how many of
 * a channel's events carry a waveform, and the descriptor and high-voltage
 * facts the drivers take from the family. A family without a row has the
 * default row (reached through the digitizer-access layer, no such facts).
 */
#ifndef ZARN_FAMILY_ROWS_H
#define ZARN_FAMILY_ROWS_H

#include <stdbool.h>
#include <stdint.h>

#include "ZarnRecords.h"

/* How a board of the family is reached. */
typedef enum ZarnFamilyReach_t {
    ZARN_REACH_DIGITIZER_ACCESS, /* the digitizer-access layer (ZarnDigitizer) */
    ZARN_REACH_REGISTER_LEVEL,   /* the device's own register-level layer (CBoard_Morvane*) */
    ZARN_REACH_NONE              /* second generation: no board layer, its files are refused */
} ZarnFamilyReach_t;

/* Limits of a high-voltage supply that cannot report its own (firmware level
 * 1 or less): full scale in V, current full scale in uA and its step. */
typedef struct ZarnHVSupplyDefaults_t {
    double voltage;
    double current;
    double currentStep;
} ZarnHVSupplyDefaults_t;

typedef struct ZarnFamilyRow_t {
    uint32_t familyCode;
    ZarnFamilyReach_t reach = ZARN_REACH_DIGITIZER_ACCESS;
    /* events of a channel that carry a waveform in the record (0: every event) */
    uint32_t waveformEvents = 0;
    /* a channel parameter is set under the channel's own acquisition status
     * (the board's status for the other families) */
    bool channelAcquisition = false;
    /* ADC bits written to the descriptor (0: the board's own count) */
    uint32_t adcBits = 0;
    /* energy bits the pulse-height firmware writes (0: its row's bits) */
    uint32_t pulseHeightEnergyBits = 0;
    /* high-voltage channels of the family's board, the built-in supply the
     * family inits set up */
    uint32_t hvChannels = 0;
    /* sample period in ns of the coupled-channel driver's boards (0: not one of them) */
    double samplePeriod = 0.0;
    /* the supply's defaults (voltage 0: the family has none) */
    ZarnHVSupplyDefaults_t hvSupply = {0, 0, 0};
    /* the board reports whether its configuration is done and whether each
     * high-voltage channel is on, so that setting the defaults leaves a
     * configured board and a live supply as they are */
    bool reportsItsState = false;
    /* the DAC calibration in the board flash holds one entry per channel
     * group, not per channel */
    bool dacCalibrationPerGroup = false;
    /* the family's boards power up with the enable bits of channel 0's
     * register set: the pulse-height and pulse-shape setups clear them */
    bool clearsChannelZeroEnables = false;
} ZarnFamilyRow_t;

/* The row of a family code; a family without one gets the default row. */
static inline const ZarnFamilyRow_t* ZarnFamily_Find(uint32_t familyCode) {
    static const ZarnFamilyRow_t kFamilies[] = {
        {.familyCode = 4, .dacCalibrationPerGroup = true},
        {.familyCode = 7, .hvChannels = 2, .hvSupply = {5100, 315, 0.01}, .clearsChannelZeroEnables = true},
        {.familyCode = 11, .samplePeriod = 2.0},
        {.familyCode = 12, .hvChannels = 2, .hvSupply = {4100, 3100, 0.05}, .clearsChannelZeroEnables = true},
        {.familyCode = 14, .samplePeriod = 4.0},
        {.familyCode = 16, .adcBits = 14, .pulseHeightEnergyBits = 15},
        {.familyCode = 6111, .reach = ZARN_REACH_NONE},
        {.familyCode = 6122, .reach = ZARN_REACH_NONE},
        {.familyCode = 6133, .reach = ZARN_REACH_NONE},
        /* the device's record holds one waveform per channel (its open allocates no more) */
        {.familyCode = DPPL_FAMILY_MORVANE,
         .reach = ZARN_REACH_REGISTER_LEVEL,
         .waveformEvents = 1,
         .channelAcquisition = true,
         .reportsItsState = true},
    };
    static const ZarnFamilyRow_t kDefault = {.familyCode = 0};
    for (const ZarnFamilyRow_t& row : kFamilies)
        if (row.familyCode == familyCode)
            return &row;
    return &kDefault;
}

#endif
