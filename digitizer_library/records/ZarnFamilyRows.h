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
    ZarnFamilyReach_t reach;
    /* events of a channel that carry a waveform in the record (0: every event) */
    uint32_t waveformEvents;
    /* a channel parameter is set under the channel's own acquisition status
     * (the board's status for the other families) */
    bool channelAcquisition;
    /* ADC bits written to the descriptor (0: the board's own count) */
    uint32_t adcBits;
    /* energy bits the pulse-height firmware writes (0: its row's bits) */
    uint32_t pulseHeightEnergyBits;
    /* high-voltage channels of the family's board (Orlu driver) */
    uint32_t hvChannels;
    /* sample period in ns of the coupled-channel driver's boards (0: not one of them) */
    double samplePeriod;
    /* the supply's defaults (voltage 0: the family has none) */
    ZarnHVSupplyDefaults_t hvSupply;
    /* the board reports whether its configuration is done and whether each
     * high-voltage channel is on, so that setting the defaults leaves a
     * configured board and a live supply as they are */
    bool reportsItsState = false;
    /* the DAC calibration in the board flash holds one entry per channel
     * group, not per channel */
    bool dacCalibrationPerGroup = false;
    /* the pulse-height setup clears the enable bits of channel 0's register,
     * which the family's boards power up set */
    bool clearsChannelZeroEnables = false;
} ZarnFamilyRow_t;

/* The row of a family code; a family without one gets the default row. */
static inline const ZarnFamilyRow_t* ZarnFamily_Find(uint32_t familyCode) {
    /* clang-format off */
    static const ZarnFamilyRow_t kFamilies[] = {
        /* code, reached, waveform events, channel acquisition, ADC bits, PHA energy bits, HV channels, sample period, HV supply[, reports its state, DAC calibration per group, clears channel 0's enables] */
        {4, ZARN_REACH_DIGITIZER_ACCESS, 0, false, 0, 0, 0, 0.0, {0, 0, 0}, false, true},
        {7, ZARN_REACH_DIGITIZER_ACCESS, 0, false, 0, 0, 2, 0.0, {5100, 315, 0.01}, false, false, true},
        {11, ZARN_REACH_DIGITIZER_ACCESS, 0, false, 0, 0, 0, 2.0, {0, 0, 0}},
        {12, ZARN_REACH_DIGITIZER_ACCESS, 0, false, 0, 0, 0, 0.0, {4100, 3100, 0.05}},
        {14, ZARN_REACH_DIGITIZER_ACCESS, 0, false, 0, 0, 0, 4.0, {0, 0, 0}},
        {16, ZARN_REACH_DIGITIZER_ACCESS, 0, false, 14, 15, 0, 0.0, {0, 0, 0}},
        {6111, ZARN_REACH_NONE, 0, false, 0, 0, 0, 0.0, {0, 0, 0}},
        {6122, ZARN_REACH_NONE, 0, false, 0, 0, 0, 0.0, {0, 0, 0}},
        {6133, ZARN_REACH_NONE, 0, false, 0, 0, 0, 0.0, {0, 0, 0}},
        /* the device's record holds one waveform per channel (its open allocates no more) */
        {DPPL_FAMILY_MORVANE, ZARN_REACH_REGISTER_LEVEL, 1, true, 0, 0, 0, 0.0, {0, 0, 0}, true},
    };
    /* clang-format on */
    static const ZarnFamilyRow_t kDefault = {0, ZARN_REACH_DIGITIZER_ACCESS, 0, false, 0, 0, 0, 0.0, {0, 0, 0}};
    for (const ZarnFamilyRow_t& row : kFamilies)
        if (row.familyCode == familyCode)
            return &row;
    return &kDefault;
}

#endif
