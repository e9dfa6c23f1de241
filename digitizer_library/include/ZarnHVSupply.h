/*
 * ZarnHVSupply: the exported calls of a board's built-in high-voltage supply
 * and of the calibration block in the board's flash.
 *
 * A board with a supply carries up to two high-voltage channels in its
 * digitizer record (hv[], c_HVChannelBlock_t in ZarnRecords.h); the c_hv*
 * calls drive one channel's supply directly through that block. Each returns
 * a high-voltage code (HV_SUCCESS or an HV_ERR_* below, not a library status)
 * and logs its failure as "From <function>: <text>". The server works through
 * the DPPL_PARAM_HVCH_* parameters instead.
 */
#ifndef ZARN_HV_SUPPLY_H
#define ZARN_HV_SUPPLY_H

#include <stdint.h>

#include "ZarnRecords.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* High-voltage codes; any other negative value reads "Generic Error". */
enum {
    HV_SUCCESS = 0,
    HV_ERR_GENERIC = -1,
    HV_ERR_INVALID_CHANNEL = -2,
    HV_ERR_DIGITIZER_API = -3,
    HV_ERR_VSET = -4,
    HV_ERR_ISET = -5,
    HV_ERR_RAMPDOWN = -6,
    HV_ERR_RAMPUP = -7,
    HV_ERR_VMAX = -8,
    HV_ERR_VMON = -9,
    HV_ERR_IMON = -10,
    HV_ERR_VEXT = -11,
    HV_ERR_RTMP = -12,
    HV_ERR_FAMILY = -13
};

/* Settings of one channel, in the units of the board's parameters. */
typedef struct c_HVSettings_t {
    double vset;
    double iset;
    double rampUp;
    double rampDown;
    double vmax;
    int32_t mode; /* 1: control bit 1 clear; anything else: bit 1 set */
} c_HVSettings_t;

/* Writes VSet, ISet, RampUp, RampDown and the mode; VMax is checked only. */
DRAVIK_API int c_hvsetc(c_HVChannelBlock_t* channel, const c_HVSettings_t* settings);
/* Reads the settings back and checks them against the limits. */
DRAVIK_API int c_hvgetc(c_HVChannelBlock_t* channel, c_HVSettings_t* settings);
/* Default settings from the limits: VSet 0, a tenth of the ISet and ramp
 * maxima, the VMax maximum, mode 0. */
DRAVIK_API int c_hvgetd(c_HVChannelBlock_t* channel, c_HVSettings_t* settings);
/* Loads the channel's limits (limitMax, limitMin, lsb) from its supply, or
 * the family defaults on older supplies. */
DRAVIK_API int c_hvloadp(c_HVChannelBlock_t* channel);
DRAVIK_API int c_hvsetvmax(c_HVChannelBlock_t* channel, double vmax);
/* The low 16 bits of the status register. */
DRAVIK_API int c_hvgets(c_HVChannelBlock_t* channel, int16_t* status);
DRAVIK_API int c_hvseton(c_HVChannelBlock_t* channel, int32_t on);
DRAVIK_API int c_hvgeton(c_HVChannelBlock_t* channel, int32_t* on);
/* VMon and IMon; the selected monitor pair is restored afterwards. */
DRAVIK_API int c_hvreadm(c_HVChannelBlock_t* channel, double* vmon, double* imon);
/* VExt and RTMP; the selected monitor pair is restored afterwards. */
DRAVIK_API int c_hvreade(c_HVChannelBlock_t* channel, double* vext, double* rtmp);
/* Monitor pair: 1 VExt/RTMP, anything else VMon/IMon. */
DRAVIK_API int c_hvsetmon(c_HVChannelBlock_t* channel, int32_t pair);
DRAVIK_API int c_hvgetmon(c_HVChannelBlock_t* channel, int32_t* pair);

/* Index (in hv[hvChannel].ranges) of the active range of a high-voltage
 * channel: always 0 but on the register-level device, which reports it. A
 * library status. */
DRAVIK_API int GENERIC_GetHVActiveRangeIndex(c_Digitizer_t* digitizer, uint32_t hvChannel, uint32_t* rangeIndex);

/* ------------------------------------------------------------ board flash */

#define FLASH_CALIBRATION_SIZE 528u

/* Reads the FLASH_CALIBRATION_SIZE-byte calibration block of the flash of
 * the board open under a board-access handle: 0, -1 (no memory or NULL out),
 * -2 (a register access failed) or -5 (no calibration block). */
DRAVIK_API int ReadCalibration(int32_t handle, uint8_t* out);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_HV_SUPPLY_H */
