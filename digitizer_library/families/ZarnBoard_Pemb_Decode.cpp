/*
 * ZarnBoard_Pemb_Decode: the decoders of the Pemb family's channel-couple
 * aggregates (DPP codes 136 and 139).
 *
 * One aggregate carries the events of channels 2k and 2k+1: {header word:
 * bit 31 set, size in words; format word} then events of one size: [time
 * tag: bit 31 the odd channel] [waveform words, 4 per unit of 8 samples]
 * [extras word] [charge (136) or energy (139) word]. The events of a channel
 * that is not running are decoded but not delivered.
 */
#include "ZarnBoard_Pemb.h"

#include <string.h>

#include "ZarnDecoderChecks.h"
#include "ZarnFamilyEventLoop.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Pemb_log = {"ZarnBoard_PembLog.txt", "ZarnBoard_Pemb"};

namespace {

constexpr uint32_t kPsdSizeMask = 0x3FFFFF;
constexpr uint32_t kPhaSizeMask = 0x7FFFFFFF;
constexpr uint32_t kPhaWalkerLimit = 0x1FFFFF;
constexpr uint32_t kTimeTagExtensionBits = 16;
constexpr uint32_t kSaturatedRevision =
    136; /* from this minor revision on, bits 25 and 26 carry pile-up and saturation */

/* Probe tables (selector -> probe code; 0: refused). */
constexpr int32_t kPsdDigitalProbe3[8] = {24, 20, 21, 13, 23, 22, 0, 26}; /* table A, bits 16-18 */
constexpr int32_t kPsdDigitalProbe4[8] = {25, 20, 16, 15, 28, 29, 0, 26}; /* table B, bits 19-21 */
constexpr int32_t kPhaDigitalProbe4[16] = {0, 10, 11, 23, 12, 13, 14, 15, 16, 17, 9, 19, 27, 0, 0, 0}; /* table C */

/* The format of one couple aggregate. */
struct CoupleFormat : GENERIC_FormatFlags_t {
    uint32_t units; /* waveform units of 8 samples */
    uint32_t eventWords;
    uint32_t events;
    uint32_t extrasFormat;
    int32_t probe0, probe1, probe3, probe4;
};

/* What the decoding of one channel of the couple keeps. */
struct CoupleChannel : GENERIC_UnitChannel_t {
    bool cfd; /* the software CFD runs on its single-trace events */
    c_CFDSettings_t cfdSettings;
    c_DPPEvent_t scratch; /* target of a channel that delivers nothing and has no room */
};

inline int32_t signExtend14(uint32_t value) { return (int32_t)(value << 18) >> 18; }

inline int16_t clamp16(int32_t v) { return v > 32767 ? 32767 : (v < -32768 ? -32768 : (int16_t)v); }

/* Waveform words are unpacked as pairs of 16-bit samples in memory order. */
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the pair unpacking needs a little-endian host");

/* Samples of the input signal, two a word (bits 0-13 first, then bits
 * 16-29): the word masked is the pair, in memory order. */
inline void unpackInputPairs(const uint32_t* words, size_t count, int16_t* samples) {
    for (size_t j = 0; j < count; ++j) {
        uint32_t pair = words[j] & 0x3FFF3FFFu;
        memcpy(samples + 2 * j, &pair, sizeof pair);
    }
}

/* A digital trace from bit Bit (first sample) and Bit + 16 (second) of each word. */
template <unsigned Bit>
inline void unpackDigital(const uint32_t* words, size_t count, uint8_t* samples) {
    if (samples == NULL)
        return;
    for (size_t j = 0; j < count; ++j) {
        samples[2 * j] = (uint8_t)((words[j] >> Bit) & 1u);
        samples[2 * j + 1] = (uint8_t)((words[j] >> (Bit + 16)) & 1u);
    }
}

int readCoupleFormat(c_Digitizer_t* d, const uint32_t* aggregate, uint32_t even, uint32_t odd, bool psd,
                     CoupleFormat* f) {
    const GENERIC_DecoderPlace_t at = GENERIC_CouplePlace(&ZarnBoard_Pemb_log, d, even, odd);
    const uint32_t size = aggregate[0] & (psd ? kPsdSizeMask : kPhaSizeMask);
    int code = GENERIC_CheckAggregateHeader(at, aggregate[0], size, psd ? 0xFFFFFFFFu : kPhaWalkerLimit);
    if (code != 0)
        return code;
    uint32_t format = aggregate[1];
    static_cast<GENERIC_FormatFlags_t&>(*f) = GENERIC_ReadFormatFlags(format);
    f->units = format & 0xFFFF;
    f->extrasFormat = (format >> 24) & 7u;
    f->eventWords = GENERIC_EventWords(*f, f->units);
    /* The pulse-height message has the size without parentheses. */
    code = GENERIC_CountEvents(at, size, 2, f->eventWords, &f->events, psd);
    if (code != 0)
        return code;
    if (psd) {
        f->probe0 = (format >> 22) & 1u ? 7 : 1;
        f->probe1 = (format >> 23) & 1u ? 7 : 5;
        f->probe3 = kPsdDigitalProbe3[(format >> 16) & 7u];
        f->probe4 = kPsdDigitalProbe4[(format >> 19) & 7u];
    } else {
        f->probe0 = GENERIC_PHAAnalogProbe0(format);
        f->probe1 = GENERIC_PHAAnalogProbe1(format);
        f->probe3 = GENERIC_kPHADigitalProbe3;
        f->probe4 = kPhaDigitalProbe4[(format >> 16) & 0xFu];
    }
    if (f->waves && (f->probe3 == 0 || f->probe4 == 0))
        return GENERIC_RefuseProbe(at);
    return 0;
}

/* The per-aggregate state of one channel of the couple. */
int prepareCoupleChannel(c_Digitizer_t* d, const CoupleFormat& f, bool psd, uint32_t number, uint32_t freeSlots,
                         c_DPPEvent_t* first, CoupleChannel* c) {
    GENERIC_BeginUnitChannel(d, number, freeSlots, first, c);
    c->scratch = c_DPPEvent_t{};
    c->cfd = false;
    if (psd && f.waves && !f.dual && d->channels[number].fineTimeEnabled) {
        const c_ReadCache_t* cache = GENERIC_ReadCache(d, number, READCACHE_BASE | READCACHE_CFD);
        if (cache->cfdStatus != 0)
            return cache->cfdStatus;
        c->cfdSettings = cache->cfd;
        /* With extras format 2 the CFD still runs (slot 1 shows its signal);
         * only its time gives way to the firmware's fine time. */
        c->cfd = cache->cfd.preTrigger > 2;
    }
    return 0;
}

/* The waveform of one event (both firmware types; psd selects the sample
 * rules and the digital bits). */
int decodeCoupleWaveform(c_Digitizer_t* d, const CoupleChannel& c, c_DPPEvent_t* e, const uint32_t* words,
                         const CoupleFormat& f, bool psd) {
    c_Waveform_t* w = e->waveform;
    if (e == &c.scratch)
        return 0; /* an event that is not delivered needs no traces */
    int code = GENERIC_CheckAnalogTrace0(GENERIC_ChannelPlace(&ZarnBoard_Pemb_log, d, c.number), w);
    if (code != 0)
        return code;
    const uint32_t n = 8 * f.units;
    static const int kSlots[] = {0, 1, 3, 4};
    code = GENERIC_CheckTraceRoom(&ZarnBoard_Pemb_log, d, c.number, w, kSlots, 4, n);
    if (code != 0)
        return code;
    w->nSamples = n;
    w->traces[0].probe = f.probe0;
    w->traces[1].probe = f.dual ? f.probe1 : (c.cfd ? DPPL_PROBE_SOFTWARE_CFD : DPPL_PROBE_NONE);
    w->traces[3].probe = f.probe3;
    w->traces[4].probe = f.probe4;
    int16_t* s0 = (int16_t*)w->traces[0].samples;
    int16_t* s1 = (int16_t*)w->traces[1].samples;
    uint8_t* d3 = (uint8_t*)w->traces[3].samples;
    uint8_t* d4 = (uint8_t*)w->traces[4].samples;
    const size_t wordsCount = 4 * (size_t)f.units;

    if (s1 != NULL && !f.dual)
        memset(s1, 0, (size_t)n * sizeof(int16_t));
    const bool signed0 = !psd && f.probe0 != DPPL_PROBE_INPUT;
    const bool signed1 = !psd && f.dual && f.probe1 != DPPL_PROBE_INPUT;
    const int32_t factor0 = !psd && (f.probe0 == 2 || f.probe0 == 3 || f.probe0 == 4) ? 2 : 1;
    const int32_t factor1 = !psd && (f.probe1 == 5 || f.probe1 == 6 || f.probe1 == 8) ? 2 : 1;
    if (!f.dual && !signed0) {
        unpackInputPairs(words, wordsCount, s0);
    } else {
        for (size_t j = 0; j < wordsCount; ++j) {
            uint32_t v = words[j];
            uint32_t low = v & 0x3FFF, high = (v >> 16) & 0x3FFF;
            int32_t a = signed0 ? signExtend14(f.dual ? high : low) : (int32_t)(f.dual ? high : low);
            int32_t b = signed0 ? signExtend14(high) : (int32_t)high;
            s0[2 * j] = clamp16(a * factor0);
            s0[2 * j + 1] = clamp16(b * factor0);
            if (f.dual && s1 != NULL) {
                int32_t l = signed1 ? signExtend14(low) : (int32_t)low;
                s1[2 * j] = s1[2 * j + 1] = clamp16(l * factor1);
            }
        }
    }
    /* Digital probes: slot 3 in bits 14/30 (PSD) or 15/31 (PHA), slot 4 the others. */
    if (psd) {
        unpackDigital<14>(words, wordsCount, d3);
        unpackDigital<15>(words, wordsCount, d4);
    } else {
        unpackDigital<15>(words, wordsCount, d3);
        unpackDigital<14>(words, wordsCount, d4);
    }
    return 0;
}

void finishCouple(c_Digitizer_t* d, CoupleChannel* channels, int32_t* evenDecoded, int32_t* oddDecoded) {
    for (int k = 0; k < 2; ++k)
        GENERIC_AccountUnitChannel(d, channels[k]);
    *evenDecoded = (int32_t)channels[0].count;
    *oddDecoded = (int32_t)channels[1].count;
}

/* The parts shared by both couple decoders: checks, format, channel state. */
int beginCouple(c_Digitizer_t* d, const uint32_t* aggregate, bool psd, uint32_t even, uint32_t evenFree,
                c_DPPEvent_t* evenFirst, uint32_t odd, uint32_t oddFree, c_DPPEvent_t* oddFirst, CoupleFormat* f,
                CoupleChannel* channels) {
    if (even >= DPPL_MAX_CHANNELS || odd >= DPPL_MAX_CHANNELS)
        return DPPL_ERR_INVALID_CHANNEL;
    int code = readCoupleFormat(d, aggregate, even, odd, psd, f);
    if (code == 0)
        code = prepareCoupleChannel(d, *f, psd, even, evenFree, evenFirst, &channels[0]);
    if (code == 0)
        code = prepareCoupleChannel(d, *f, psd, odd, oddFree, oddFirst, &channels[1]);
    return code;
}

/* The events of one couple aggregate, counted in the channels: the loop
 * reads each event's words, decodes its waveform (Psd: the pulse-shape
 * rules) and runs the software CFD on it where the channel has it;
 * makeFields(const CoupleChannel&, const GENERIC_EventWords_t&) gives the
 * event's fields by the firmware's rules. */
template <bool Psd, typename MakeFields>
int decodeCoupleEvents(c_Digitizer_t* d, const uint32_t* aggregate, const CoupleFormat& f, CoupleChannel* channels,
                       MakeFields&& makeFields) {
    /* The layout in locals, so that the loop keeps it in registers instead
     * of reading it again through f after every store into an event. */
    const bool hasTimeTag = f.timeTag, hasWaves = f.waves, hasExtras = f.extras, hasCharge = f.charge;
    const uint32_t waveformWords = 4 * f.units, eventWords = f.eventWords, events = f.events;
    const uint32_t* word = aggregate + 2;
    for (uint32_t i = 0; i < events; ++i) {
        const uint32_t tag = hasTimeTag ? *word++ : 0;
        CoupleChannel* c = &channels[tag >> 31];
        c_DPPEvent_t* e = GENERIC_UnitTarget(&ZarnBoard_Pemb_log, d, c, &c->scratch);
        if (e == NULL)
            return DPPL_ERR_EVENT_BUFFER_OVERFLOW;
        GENERIC_EventWords_t words = {tag & 0x7FFFFFFFu, 0, 0, 0, 0};
        if (hasWaves) {
            int code = decodeCoupleWaveform(d, *c, e, word, f, Psd);
            if (code != 0)
                return code;
            word += waveformWords;
            if constexpr (Psd) { /* only the pulse-shape firmware has the software CFD */
                int64_t cfdTime = -1;
                if (c->cfd && e != &c->scratch &&
                    GENERIC_ApplySoftwareCFD(d, c->number, &c->cfdSettings, e, &cfdTime) && cfdTime >= 0) {
                    words.cfdFinePs = (uint64_t)cfdTime;
                    words.cfdFlags = EVTFLAG_FINE_TIME;
                }
            }
        } else if (e->waveform != NULL) {
            e->waveform->nSamples = 0;
        }
        words.extras = hasExtras ? *word++ : 0;
        words.charge = hasCharge ? *word++ : 0;
        const GENERIC_EventFields_t fields = makeFields(*c, words);
        GENERIC_FillEvent(e, fields.energy, fields.shortCharge, fields.timeStamp, fields.flags, eventWords);
        GENERIC_DeliverUnitEvent(c, fields.timeStamp, (fields.flags & EVTFLAG_PSEUDO) != 0);
    }
    return 0;
}

/* The events of a pulse-shape couple aggregate: charges, flags in the extras
 * word, the fine time from the extras (format 2) or the software CFD. */
int decodePSDCoupleEvents(c_Digitizer_t* d, const uint32_t* aggregate, const CoupleFormat& f, CoupleChannel* channels) {
    const GENERIC_TimeBase_t base = GENERIC_GetTimeBase(d, kTimeTagExtensionBits);
    const bool upperInExtras = f.extras && f.extrasFormat <= 2;
    const bool flagsInExtras = f.extras && (f.extrasFormat == 1 || f.extrasFormat == 2);
    const bool fineInExtras = f.extras && f.extrasFormat == 2;
    GENERIC_Dither_t dither = fineInExtras ? GENERIC_DitherSeed() : GENERIC_Dither_t{0};
    const double periodPs = d->descriptor.SamplePeriod * 1000.0; /* not truncated, unlike the tick */

    return decodeCoupleEvents<true>(
        d, aggregate, f, channels, [&](const CoupleChannel& c, const GENERIC_EventWords_t& w) {
            GENERIC_EventFields_t out = {0, w.cfdFlags, 0, 0};
            uint64_t fine = w.cfdFinePs;
            const uint32_t extras = w.extras;
            if (fineInExtras) {
                double ps = ((double)(extras & 0x3FFu) + GENERIC_DitherNext(&dither)) * periodPs / 1024.0;
                fine = ps > 0.0 && ps < 1.8e19 ? (uint64_t)ps : 0;
                out.flags |= EVTFLAG_FINE_TIME;
            }
            if (flagsInExtras) {
                if (extras & (1u << 15))
                    out.flags |= 0x20;
                if (extras & (1u << 14))
                    out.flags |= 0x400;
                if (extras & (1u << 13))
                    out.flags |= 0x100;
                if (extras & (1u << 12))
                    out.flags |= 0x40;
            }
            const uint64_t ticks = GENERIC_ExtendTimeTag(&d->channels[c.number], &base, w.timeTag, upperInExtras,
                                                         extras >> 16, &out.flags);
            out.timeStamp = ticks * base.psPerTick + fine + c.offset;
            if (f.charge) {
                const uint32_t cw = w.charge;
                const uint32_t shortValue = cw & 0x7FFF, longValue = cw >> 16;
                if (cw & (1u << 15))
                    out.flags |= EVTFLAG_PILEUP;
                if (shortValue == 0x7FFF || longValue > 32766)
                    out.flags |= EVTFLAG_SATURATED;
                out.energy = (uint16_t)(longValue > 32766 ? 0x7FFF : longValue);
                out.shortCharge = (int16_t)shortValue;
            }
            return out;
        });
}

/* The events of a pulse-height couple aggregate: energy and flags from the
 * energy word, whose flags moved with minor revision 136; a pseudo event
 * leaves the channel's time-tag state alone and carries no time offset. */
int decodePHACoupleEvents(c_Digitizer_t* d, const uint32_t* aggregate, const CoupleFormat& f, CoupleChannel* channels) {
    const GENERIC_TimeBase_t base = GENERIC_GetTimeBase(d, kTimeTagExtensionBits);
    const bool newFlags = d->descriptor.DPPMinorRev >= (int32_t)kSaturatedRevision;
    const bool upperInExtras = f.extras && f.extrasFormat == 0;
    const bool energyWord = f.charge;

    return decodeCoupleEvents<false>(
        d, aggregate, f, channels,
        [d, base, newFlags, upperInExtras, energyWord](const CoupleChannel& c, const GENERIC_EventWords_t& w) {
            GENERIC_EventFields_t out = {0, 0, 0, 0};
            const uint32_t ew = w.charge; /* 0 without an energy word */
            if (energyWord) {
                const uint32_t energy = (ew >> 1) & 0x3FFF;
                out.energy = (uint16_t)energy;
                if (!newFlags) {
                    if ((ew & (1u << 15)) && !((ew & (1u << 20)) && energy == 0))
                        out.flags |= EVTFLAG_PILEUP;
                    if (energy == 0x3FFF)
                        out.flags |= EVTFLAG_SATURATED;
                } else {
                    if (ew & (1u << 25))
                        out.flags |= EVTFLAG_PILEUP;
                    if (ew & (1u << 26))
                        out.flags |= EVTFLAG_SATURATED;
                }
                if (ew & (1u << 16))
                    out.flags |= 0x200;
                if (ew & (1u << 19))
                    out.flags |= EVTFLAG_PSEUDO;
                out.flags |= GENERIC_PHAEnergyWordFlags(ew);
            }
            const bool pseudo = (out.flags & EVTFLAG_PSEUDO) != 0;
            c_ChannelRecord_t* rec = &d->channels[c.number];
            const uint64_t raw = w.timeTag;
            if (upperInExtras)
                rec->rollOver1 = w.extras >> 16;
            else if (!pseudo && ((ew & (1u << 17)) || raw < rec->lastRawTimeTag)) {
                rec->rollOver1 += 1;
                out.flags |= EVTFLAG_ROLLOVER;
            }
            uint64_t t = raw + (rec->rollOver1 << base.tagBits);
            if (!pseudo) {
                rec->lastRawTimeTag = raw;
                if (t < rec->lastExtTimeTag) {
                    rec->rollOver2 += 1;
                    out.flags |= EVTFLAG_ROLLOVER;
                }
                rec->lastExtTimeTag = t;
                t += rec->rollOver2 << base.extBits;
            }
            out.timeStamp = t * base.psPerTick + (pseudo ? 0 : c.offset);
            return out;
        });
}

/* Both couple decoders: checks, format and channel state, the firmware's
 * event loop, then the channels' bookkeeping. A template, so that each
 * firmware's decoder is a function of its own whose loop shares registers
 * with nothing of the other firmware's. */
template <bool Psd>
int decodeCouple(c_Digitizer_t* d, uint32_t* aggregate, uint32_t evenChannel, uint32_t evenFree,
                 c_DPPEvent_t* evenFirst, int32_t* evenDecoded, uint32_t oddChannel, uint32_t oddFree,
                 c_DPPEvent_t* oddFirst, int32_t* oddDecoded) {
    if (d == NULL || aggregate == NULL || evenDecoded == NULL || oddDecoded == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    *evenDecoded = *oddDecoded = 0;
    CoupleFormat f;
    CoupleChannel channels[2];
    int code =
        beginCouple(d, aggregate, Psd, evenChannel, evenFree, evenFirst, oddChannel, oddFree, oddFirst, &f, channels);
    if (code == 0)
        code =
            Psd ? decodePSDCoupleEvents(d, aggregate, f, channels) : decodePHACoupleEvents(d, aggregate, f, channels);
    if (code != 0)
        return code;
    finishCouple(d, channels, evenDecoded, oddDecoded);
    return 0;
}

} // namespace

int PEMB_DecodePSDCoupleAggregate(c_Digitizer_t* d, uint32_t* aggregate, uint32_t evenChannel, uint32_t evenFree,
                                  c_DPPEvent_t* evenFirst, int32_t* evenDecoded, uint32_t oddChannel, uint32_t oddFree,
                                  c_DPPEvent_t* oddFirst, int32_t* oddDecoded) {
    return decodeCouple<true>(d, aggregate, evenChannel, evenFree, evenFirst, evenDecoded, oddChannel, oddFree,
                              oddFirst, oddDecoded);
}

int PEMB_DecodePHACoupleAggregate(c_Digitizer_t* d, uint32_t* aggregate, uint32_t evenChannel, uint32_t evenFree,
                                  c_DPPEvent_t* evenFirst, int32_t* evenDecoded, uint32_t oddChannel, uint32_t oddFree,
                                  c_DPPEvent_t* oddFirst, int32_t* oddDecoded) {
    return decodeCouple<false>(d, aggregate, evenChannel, evenFree, evenFirst, evenDecoded, oddChannel, oddFree,
                               oddFirst, oddDecoded);
}
