/*
 * ZarnBoard_Orlu_Decode: the decoder of the Orlu family's pulse-height
 * channel aggregates (DPP code 128).
 *
 * A channel aggregate is {header word: bit 31 set, size in words; format
 * word} followed by events of one size: [time tag] [waveform words] [energy
 * word]. Roll-overs of the 30-bit time tag are announced by the energy word
 * (bit 17, and bit 18 for a reset of the counter). A channel without a gain
 * register has its energies and energy-like traces rescaled in software with
 * a dither.
 */
#include "ZarnBoard_Orlu.h"

#include <math.h>
#include <string.h>

#include "ZarnDecoderChecks.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Orlu_log = {"ZarnBoard_OrluLog.txt", "ZarnBoard_Orlu"};

namespace {

/* Selector of digital slot 4 (format word bits 16-19) -> probe code; 0:
 * refused. */
constexpr int32_t kOrluDigitalProbe4[16] = {9, 10, 11, 23, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0, 0};
constexpr uint64_t kNoGainRegisterDelayTicks = 4096;
constexpr uint32_t kWalkerSizeLimit = 0x1FFFFF;

/* The format of one aggregate, from its format word. */
struct OrluFormat {
    uint32_t waveWords;
    uint32_t eventWords;
    bool timeTag, energy, waves, dual;
    int32_t probe0, probe1, probe4;
};

/* The software gain of the channel: h and its inverse l (1 without one). */
struct Gain {
    bool active;
    double h, l;
    GENERIC_Dither_t dither; /* the draws of the rescale */
};

/* Waveform words are unpacked as pairs of 16-bit samples in memory order. */
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the pair unpacking needs a little-endian host");

/* Rescale of a value by the software gain with a dither drawn per value. */
inline double rescaleWith(double v, double h, double l, GENERIC_Dither_t* dither) {
    double x = v * l;
    if (!(fabs(x) < 9.0e18))
        return trunc(x);
    int64_t y = (int64_t)x; /* truncates, without a call */
    /* One up when the draw reaches the remainder: a flag added, no branch to
     * mispredict on random data. */
    y += (double)(y + 1) * h - v <= GENERIC_DitherNext(dither);
    return (double)y;
}

inline double rescale(double v, Gain& gain) { return rescaleWith(v, gain.h, gain.l, &gain.dither); }

/* The rescaled energy, at most 0x3FFF; integer clamps compile to selects. */
inline uint32_t rescaledEnergy(uint32_t v, double h, double l, GENERIC_Dither_t* dither) {
    double x = (double)v * l;
    int64_t y = x < 1.0e15 ? (int64_t)x : 0x3FFF;
    y += (double)(y + 1) * h - (double)v <= GENERIC_DitherNext(dither);
    y = y > 0x3FFF ? 0x3FFF : y;
    return (uint32_t)(y < 0 ? 0 : y);
}

inline int16_t toSample(double v) {
    if (v > 32767.0)
        return 32767;
    if (v < -32768.0)
        return -32768;
    return (int16_t)v;
}

inline int32_t signExtend14(uint32_t value) { return (int32_t)(value << 18) >> 18; }

/* One sample of an analog trace whose probe is not the input signal: signed,
 * scaled by the probe's factor, rescaled in software where it is an energy. */
inline int16_t transformSample(uint32_t raw, int32_t factor, bool rescaled, Gain& gain) {
    int32_t v = signExtend14(raw) * factor;
    if (rescaled && gain.active)
        return toSample(rescale((double)v, gain));
    return toSample((double)v);
}

int decodeOrluWaveform(c_Digitizer_t* d, uint32_t ch, c_DPPEvent_t* e, const uint32_t* words, const OrluFormat& f,
                       Gain& gain) {
    c_Waveform_t* w = e->waveform;
    int code = GENERIC_CheckAnalogTrace0(GENERIC_ChannelPlace(&ZarnBoard_Orlu_log, d, ch), w);
    if (code != 0)
        return code;
    const uint32_t n = 2 * f.waveWords;
    static const int kSlots[] = {0, 1, 3, 4};
    code = GENERIC_CheckTraceRoom(&ZarnBoard_Orlu_log, d, ch, w, kSlots, 4, n);
    if (code != 0)
        return code;
    w->nSamples = n;
    w->traces[0].probe = f.probe0;
    w->traces[1].probe = f.dual ? f.probe1 : DPPL_PROBE_NONE;
    w->traces[3].probe = GENERIC_kPHADigitalProbe3;
    w->traces[4].probe = f.probe4;
    int16_t* s0 = (int16_t*)w->traces[0].samples;
    int16_t* s1 = (int16_t*)w->traces[1].samples;
    uint8_t* d3 = (uint8_t*)w->traces[3].samples;
    uint8_t* d4 = (uint8_t*)w->traces[4].samples;

    if (s1 != NULL && !f.dual)
        memset(s1, 0, (size_t)n * sizeof(int16_t));
    const size_t count = f.waveWords;
    if (f.probe0 == DPPL_PROBE_INPUT && !f.dual) {
        /* Two samples a word, bits 0-13 first: the masked word is the pair. */
        for (size_t j = 0; j < count; ++j) {
            uint32_t pair = words[j] & 0x3FFF3FFFu;
            memcpy(s0 + 2 * j, &pair, sizeof pair);
        }
    } else {
        const int32_t factor0 = f.probe0 == 4 ? 4 : 2;
        const int32_t factor1 = f.probe1 == 6 ? 2 : 4;
        const bool rescale0 = f.probe0 == 4, rescale1 = f.probe1 == 5 || f.probe1 == 8;
        for (size_t j = 0; j < count; ++j) {
            uint32_t v = words[j];
            uint32_t low = v & 0x3FFF, high = (v >> 16) & 0x3FFF;
            uint32_t first = f.dual ? high : low;
            if (f.probe0 == DPPL_PROBE_INPUT) {
                s0[2 * j] = (int16_t)first;
                s0[2 * j + 1] = (int16_t)high;
            } else {
                s0[2 * j] = transformSample(first, factor0, rescale0, gain);
                s0[2 * j + 1] = transformSample(high, factor0, rescale0, gain);
            }
            if (s1 != NULL && f.dual) {
                if (f.probe1 == DPPL_PROBE_INPUT) {
                    s1[2 * j] = s1[2 * j + 1] = (int16_t)low;
                } else {
                    s1[2 * j] = transformSample(low, factor1, rescale1, gain);
                    s1[2 * j + 1] = transformSample(low, factor1, rescale1, gain);
                }
            }
        }
    }
    if (d3 != NULL)
        for (size_t j = 0; j < count; ++j) {
            d3[2 * j] = (uint8_t)((words[j] >> 15) & 1u);
            d3[2 * j + 1] = (uint8_t)(words[j] >> 31);
        }
    if (d4 != NULL)
        for (size_t j = 0; j < count; ++j) {
            d4[2 * j] = (uint8_t)((words[j] >> 14) & 1u);
            d4[2 * j + 1] = (uint8_t)((words[j] >> 30) & 1u);
        }
    return 0;
}

/* Header and format checks; the number of events through events. */
int readOrluFormat(c_Digitizer_t* d, uint32_t ch, const uint32_t* aggregate, uint32_t freeSlots, OrluFormat* f,
                   uint32_t* events) {
    const GENERIC_DecoderPlace_t at = GENERIC_ChannelPlace(&ZarnBoard_Orlu_log, d, ch);
    const uint32_t size = aggregate[0] & 0x7FFFFFFFu;
    int code = GENERIC_CheckAggregateHeader(at, aggregate[0], size, kWalkerSizeLimit);
    if (code != 0)
        return code;
    uint32_t format = aggregate[1];
    f->waveWords = format & 0xFFFF;
    f->timeTag = (format >> 28) & 1u;
    f->energy = (format >> 29) & 1u;
    f->waves = (format >> 30) & 1u;
    f->dual = (format >> 31) & 1u;
    f->eventWords = f->waveWords + (f->timeTag ? 1 : 0) + (f->energy ? 1 : 0);
    code = GENERIC_CountEvents(at, size, 2, f->eventWords, events);
    if (code == 0)
        code = GENERIC_CheckEventRoom(at, *events, freeSlots);
    if (code != 0)
        return code;
    f->probe0 = GENERIC_PHAAnalogProbe0(format);
    f->probe1 = GENERIC_PHAAnalogProbe1(format);
    f->probe4 = kOrluDigitalProbe4[(format >> 16) & 0xFu];
    if (f->waves && f->probe4 == 0)
        return GENERIC_RefuseProbe(at);
    return 0;
}

} // namespace

int ORLU_DecodePHAChannelAggregate(c_Digitizer_t* d, uint32_t ch, uint32_t* aggregate, uint32_t freeSlots,
                                   c_DPPEvent_t* first, int32_t* decoded) {
    if (d == NULL || aggregate == NULL || decoded == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    *decoded = 0;
    if (ch >= DPPL_MAX_CHANNELS)
        return DPPL_ERR_INVALID_CHANNEL;
    const c_ReadCache_t* cache = GENERIC_ReadCache(d, ch, READCACHE_BASE);
    if (!d->replay && cache->hasAcqRun && cache->acqRun == 0.0 && !GENERIC_IsDraining(d, ch))
        return 0; /* a stopped channel delivers nothing */

    OrluFormat f;
    uint32_t events = 0;
    int code = readOrluFormat(d, ch, aggregate, freeSlots, &f, &events);
    if (code != 0)
        return code;
    const bool gainRegister = cache->hasGainReg != 0;
    Gain gain = {false, 1.0, 1.0, {0}};
    if (f.energy && !gainRegister) {
        cache = GENERIC_ReadCache(d, ch, READCACHE_BASE | READCACHE_GAIN);
        if (cache->gainStatus != 0)
            return cache->gainStatus;
        gain = {true, cache->gainH, cache->gainL, GENERIC_DitherSeed()};
    }
    /* The energies' draws, kept apart from the traces' so that they stay in a register. */
    GENERIC_Dither_t energyDither = gain.dither;
    energyDither.state ^= 0x5851F42D4C957F2Dull;

    const GENERIC_TimeBase_t base = GENERIC_GetTimeBase(d, 0);
    const uint64_t offset = cache->timeOffsetPs;
    const uint32_t energyBits = d->descriptor.EnergyBits;
    const uint32_t shift = energyBits < 15 ? 15 - energyBits : 0;
    const uint32_t fullScale = energyBits < 32 ? (1u << energyBits) - 1 : 0xFFFFFFFFu;
    const uint64_t delay = gainRegister ? 0 : kNoGainRegisterDelayTicks;
    c_ChannelRecord_t* rec = &d->channels[ch];
    uint64_t rollOver = rec->rollOver1, lastRaw = rec->lastRawTimeTag;
    uint64_t lastStamp = 0, maxStamp = 0;
    uint32_t pseudo = 0;

    const uint32_t* word = aggregate + 2;
    for (uint32_t i = 0; i < events; ++i) {
        c_DPPEvent_t* e = &first[i];
        uint32_t flags = 0;
        uint64_t raw = f.timeTag ? (word[0] & 0x3FFFFFFFu) : 0;
        word += f.timeTag ? 1 : 0;
        if (f.waves) {
            code = decodeOrluWaveform(d, ch, e, word, f, gain);
            if (code != 0)
                return code;
        } else if (e->waveform != NULL) {
            e->waveform->nSamples = 0;
        }
        word += f.waveWords;
        uint32_t energy = 0;
        if (f.energy) {
            uint32_t ew = *word++;
            uint32_t v = ew & 0x7FFF;
            if (gainRegister) {
                energy = v >> shift;
            } else {
                energy = rescaledEnergy(v, gain.h, gain.l, &energyDither);
            }
            if (energy == fullScale)
                flags |= EVTFLAG_SATURATED;
            else if (ew & (1u << 15))
                flags |= EVTFLAG_PILEUP;
            if (!gainRegister && (ew & (1u << 16)))
                flags |= 0x1;
            if (ew & (1u << 17)) {
                rollOver += 1;
                flags |= EVTFLAG_ROLLOVER;
            }
            if (ew & (1u << 18)) {
                rollOver = 0;
                flags |= 0x4;
            }
            if (ew & (1u << 19))
                flags |= EVTFLAG_PSEUDO;
            if (gainRegister)
                flags |= GENERIC_PHAEnergyWordFlags(ew);
        }
        const bool isPseudo = (flags & EVTFLAG_PSEUDO) != 0;
        uint64_t t = raw + (rollOver << base.tagBits);
        if (!isPseudo)
            lastRaw = raw;
        t += delay;
        uint64_t stamp = t * base.psPerTick;
        if (!isPseudo)
            stamp += offset;
        else
            pseudo++;
        GENERIC_FillEvent(e, (uint16_t)energy, 0, stamp, flags, f.eventWords);
        lastStamp = stamp;
        if (stamp > maxStamp)
            maxStamp = stamp;
    }
    rec->rollOver1 = rollOver;
    rec->lastRawTimeTag = lastRaw;
    GENERIC_AccountEvents(d, ch, events, pseudo, lastStamp, maxStamp);
    *decoded = (int32_t)events;
    return 0;
}
