/*
 * ZarnFamilySupport: the few board-layer helpers the family drivers use
 * (setup steps, PLL rule, DAC calibration, decoder contracts, read cache,
 * time stamps, event bookkeeping, software CFD), apart from
 * ZarnBoard_GENERIC.h so that the drivers do not include the layer that
 * dispatches to them. Implemented in ZarnFamilySupport.cpp and, for the
 * DAC calibration, the read cache and the software CFD, in
 * ZarnDACCalibration.cpp, ZarnReadCache.cpp and ZarnSoftwareCFD.cpp beside it.
 */
#ifndef ZARN_FAMILY_SUPPORT_H
#define ZARN_FAMILY_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include "ZarnParameters.h"
#include "ZarnRecords.h"
#include "ZarnTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The PLL rule, the check of every family: clears FAILSTATUS_PLL_UNLOCK,
 * reads the board parameter DPPL_PARAM_PLLLOCKED and answers -50 (setting
 * the bit again) when it reads 0; -1 without a record. */
int GENERIC_CheckPLLLockedParameter(c_Digitizer_t* digitizer);

/* Steps of the family setups. Their messages go to the calling family's
 * log record (log). */

/* The two memory codes a family knows (bits 8-15 of register 0x8140) and
 * the memory size of each. */
typedef struct GENERIC_MemoryCodes_t {
    uint32_t code[2];
    uint32_t size[2];
} GENERIC_MemoryCodes_t;

/* The memory codes of the Vesk, Tilk and Draq boards (DPP codes 130 to 135). */
static const GENERIC_MemoryCodes_t GENERIC_kMemoryCodes130To135 = {{2, 16}, {0x20000, 0x100000}};

/* Refuses a replay record (DPPL_ERR_FILE_DIGITIZER: it has no board), then
 * sets the descriptor's MemSize from the board's memory code
 * (DPPL_ERR_READ_REGISTER, DPPL_ERR_INVALID_MEMORY_CODE). */
int GENERIC_ReadMemorySize(const c_LogModule_t* log, c_Digitizer_t* digitizer, const GENERIC_MemoryCodes_t* codes);
/* Refuses a board that reports more channels than a record holds. */
int GENERIC_CheckChannelCount(const c_LogModule_t* log, c_Digitizer_t* digitizer);
/* The descriptor of a board whose firmware keeps one aggregate per channel or
 * channel couple, after GENERIC_CheckChannelCount: the memory block and the
 * sample period given, the board's own ADC bits, a record channel per board
 * channel, no groups and no high-voltage channels. */
int GENERIC_InitChannelDescriptor(const c_LogModule_t* log, c_Digitizer_t* digitizer, uint32_t memBlock,
                                  double samplePeriod);
/* Writes the register of channel 0's enable back with bits 2 and 3 cleared
 * (DPPL_ERR_PARAMETER without the parameter, DPPL_ERR_READ_REGISTER,
 * DPPL_ERR_WRITE_REGISTER). */
int GENERIC_ClearChannelZeroEnableBits(const c_LogModule_t* log, c_Digitizer_t* digitizer);

/* The high-voltage range elements of the library definitions; all three
 * must be defined. */
typedef struct GENERIC_HVRanges_t {
    xmlNodePtr hpge, pmt, sd;
} GENERIC_HVRanges_t;

int GENERIC_FindHVRanges(const c_LogModule_t* log, c_Digitizer_t* digitizer, GENERIC_HVRanges_t* ranges);
/* Sets up high-voltage channel hvIndex of a board with a built-in supply:
 * loads its limits, takes its polarity from the model name's last letter
 * and makes range block 0 (the definitions' element range, with linear
 * conversions from the limits) its only range; activeRange is the index
 * the channel reports. */
int GENERIC_InitHVChannel(const c_LogModule_t* log, c_Digitizer_t* digitizer, uint32_t hvIndex, xmlNodePtr range,
                          int32_t activeRange);

/* Loads the DAC calibration of every channel from the board's flash. */
int GENERIC_ReadDACCalibrationFromFlash(c_Digitizer_t* digitizer);
/* data: pairs of little-endian 32-bit floats (P0, P1), one pair per channel,
 * or per group when perGroup is non-zero; size in bytes. */
int GENERIC_LoadDACCalibration(c_Digitizer_t* digitizer, const void* data, size_t size, uint8_t perGroup);

/* Decoder contracts: a decoder writes events from first on, at most
 * freeSlots, and reports how many it wrote; the walker adds them up. */
typedef int (*GENERIC_ChannelDecoder_t)(c_Digitizer_t* digitizer, uint32_t channel, uint32_t* aggregate,
                                        uint32_t freeSlots, c_DPPEvent_t* first, int32_t* decoded);
typedef int (*GENERIC_CoupleDecoder_t)(c_Digitizer_t* digitizer, uint32_t* aggregate, uint32_t evenChannel,
                                       uint32_t evenFree, c_DPPEvent_t* evenFirst, int32_t* evenDecoded,
                                       uint32_t oddChannel, uint32_t oddFree, c_DPPEvent_t* oddFirst,
                                       int32_t* oddDecoded);
typedef int (*GENERIC_GroupDecoder_t)(c_Digitizer_t* digitizer, uint32_t* aggregate, const uint32_t channels[8],
                                      const uint32_t freeSlots[8], c_DPPEvent_t* first[8], uint32_t decoded[8]);

/* Looks up the missing READCACHE_* parts of a channel's cache. */
void GENERIC_FillReadCache(c_Digitizer_t* digitizer, uint32_t channel, uint32_t parts);

static inline c_ReadCache_t* GENERIC_ReadCache(c_Digitizer_t* digitizer, uint32_t channel, uint32_t parts) {
    c_ReadCache_t* cache = &digitizer->channels[channel].readCache;
    if (cache->serial != digitizer->readSerial || (cache->filled & parts) != parts)
        GENERIC_FillReadCache(digitizer, channel, parts);
    return cache;
}

/* Whether the channel's events are being drained after a stop or pause (its
 * status STOPPING or PAUSING, or stopped since and not started again): they
 * are delivered even though its run parameter already reads 0, so that the
 * drain loses nothing, in its first read or in a later one. */
static inline bool GENERIC_IsDraining(const c_Digitizer_t* digitizer, uint32_t channel) {
    int32_t status = digitizer->channels[channel].acqStatus;
    return status == ACQSTATUS_STOPPING || status == ACQSTATUS_PAUSING ||
           digitizer->channels[channel].stoppedDraining != 0;
}

/* Uniform draws in [0, 1) for the decoders' dithers (software gain, fine
 * time): a SplitMix64 sequence seeded from c_rand once per aggregate, so that
 * a draw per event costs a few instructions instead of a call. */
typedef struct GENERIC_Dither_t {
    uint64_t state;
} GENERIC_Dither_t;

static inline GENERIC_Dither_t GENERIC_DitherSeed(void) {
    GENERIC_Dither_t dither;
    dither.state = (uint64_t)(c_rand() * 9007199254740992.0) ^ 0x2545F4914F6CDD1Dull;
    return dither;
}

static inline double GENERIC_DitherNext(GENERIC_Dither_t* dither) {
    uint64_t z = (dither->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (double)(z >> 11) * 0x1.0p-53;
}

/* ------------------------------------------------ time-stamp reconstruction */

/* Constants of the reconstruction that stay fixed for a read. */
typedef struct GENERIC_TimeBase_t {
    uint32_t tagBits;   /* T, the descriptor's time-tag bits (at most 63) */
    uint32_t extBits;   /* T + W (at most 63) */
    uint64_t psPerTick; /* sample period in ns x 1000, truncated */
} GENERIC_TimeBase_t;

/* extensionBits: the family's W (15 or 16). */
GENERIC_TimeBase_t GENERIC_GetTimeBase(const c_Digitizer_t* digitizer, uint32_t extensionBits);

/* The extended time tag in ticks (steps 1 to 3): the upper bits of the tag
 * from the event itself when hasUpper, else a tag below the last one counts
 * a roll-over; then the second level. Adds EVTFLAG_ROLLOVER to *flags. */
static inline uint64_t GENERIC_ExtendTimeTag(c_ChannelRecord_t* channel, const GENERIC_TimeBase_t* base, uint64_t raw,
                                             int hasUpper, uint64_t upper, uint32_t* flags) {
    if (hasUpper) {
        channel->rollOver1 = upper;
    } else if (raw < channel->lastRawTimeTag) {
        channel->rollOver1 += 1;
        *flags |= EVTFLAG_ROLLOVER;
    }
    channel->lastRawTimeTag = raw;
    uint64_t t = raw + (channel->rollOver1 << base->tagBits);
    if (t < channel->lastExtTimeTag) {
        channel->rollOver2 += 1;
        *flags |= EVTFLAG_ROLLOVER;
    }
    channel->lastExtTimeTag = t;
    return t + (channel->rollOver2 << base->extBits);
}

/* Bookkeeping of a decoded stretch of one channel's events: counts, last
 * time stamp of the channel, the record's largest time stamp. */
static inline void GENERIC_AccountEvents(c_Digitizer_t* digitizer, uint32_t channel, uint32_t events,
                                         uint32_t pseudoEvents, uint64_t lastTimeStamp, uint64_t maxTimeStamp) {
    if (events == 0)
        return;
    digitizer->evtCount[channel] += events;
    digitizer->evtCount2[channel] += pseudoEvents;
    digitizer->lastChTimeStamp[channel] = lastTimeStamp;
    if (maxTimeStamp > digitizer->maxTimeStamp) {
        digitizer->maxTimeStamp = maxTimeStamp;
        digitizer->lastTimeStamp = maxTimeStamp;
    }
}

/* Checks that each of the event's traces in slots (those with a buffer) has
 * room for samples; the failure goes to the decoder's log record (log). */
static inline int GENERIC_CheckTraceRoom(const c_LogModule_t* log, c_Digitizer_t* digitizer, uint32_t channel,
                                         const c_Waveform_t* waveform, const int* slots, int slotCount,
                                         uint32_t samples) {
    for (int k = 0; k < slotCount; ++k) {
        const c_Trace_t* trace = &waveform->traces[slots[k]];
        if (trace->samples != NULL && trace->capacity < samples) {
            c_extendedLogMsg(log, digitizer, C_LOG_ERROR, __LINE__,
                             "[%u] Waveform of %u samples exceeds the %u samples of trace %d.", (unsigned)channel,
                             (unsigned)samples, (unsigned)trace->capacity, slots[k]);
            return DPPL_ERR_INVALID_EVENT;
        }
    }
    return 0;
}

/* The flags of bits 20-22 of the pulse-height energy word, alike in the Orlu
 * (with a gain register) and Pemb formats. */
static inline uint32_t GENERIC_PHAEnergyWordFlags(uint32_t word) {
    uint32_t flags = 0;
    if (word & (1u << 20))
        flags |= 0x400;
    if (word & (1u << 21))
        flags |= 0x40;
    if (word & (1u << 22))
        flags |= 0x800;
    return flags;
}

/* The decoded fields of one event; the special fields cleared. */
static inline void GENERIC_FillEvent(c_DPPEvent_t* event, uint16_t energy, int16_t shortCharge, uint64_t timeStamp,
                                     uint32_t flags, uint32_t sizeWords) {
    event->energy = energy;
    event->shortCharge = shortCharge;
    event->timeStamp = timeStamp;
    event->flags = flags;
    event->specialFlag = 0;
    event->specialIndex = 0;
    event->specialWord1 = event->specialWord2 = 0;
    event->sizeWords = sizeWords;
}

/* ---------------------------------------------------------- software CFD */

/* Fine time in ps of the constant-fraction crossing of the input trace, or
 * -1 when there is none; the output trace receives the CFD signal. */
int64_t GENERIC_CalcSoftwareCFDTime(c_Digitizer_t* digitizer, uint32_t channel, uint32_t delay, double fraction,
                                    uint32_t smoothExp, const int16_t* input, int16_t* output, uint32_t samples,
                                    uint32_t preTrigger, uint32_t preGate, int invert);
int GENERIC_GetSoftwareCFDSettings(c_Digitizer_t* digitizer, uint32_t channel, c_CFDSettings_t* settings);

/* Software CFD of one decoded single-trace event (input in slot 0, signal
 * into slot 1) on a channel whose fineTimeEnabled is set. Answers whether
 * the CFD ran (slot 1 then carries probe 7); *fineTimePs is the fine time,
 * or -1 when no crossing was found. */
bool GENERIC_ApplySoftwareCFD(c_Digitizer_t* digitizer, uint32_t channel, const c_CFDSettings_t* settings,
                              c_DPPEvent_t* event, int64_t* fineTimePs);

#ifdef __cplusplus
}
#endif

#endif
