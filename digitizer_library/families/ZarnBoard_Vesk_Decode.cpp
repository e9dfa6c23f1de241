/*
 * ZarnBoard_Vesk_Decode: the decoders of the Vesk family's pulse-shape (DPP
 * code 131) and charge-integration (DPP code 130) channel aggregates.
 *
 * A channel aggregate is {header word: bit 31 set, size in words; format
 * word} followed by events of one size: [time tag] [4 x u waveform words, 8
 * samples a unit] [extras] [charge]. The two formats differ in the size
 * field, the charge word and the time-stamp rules.
 */
#include "ZarnBoard_Vesk.h"

#include "ZarnDecoderChecks.h"
#include "ZarnFamilyEventLoop.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Vesk_log = {"ZarnBoard_VeskLog.txt", "ZarnBoard_Vesk"};

namespace {

constexpr int32_t kDigitalProbe3 = 26, kDigitalProbe4 = 24;
constexpr int32_t kDualTraceProbe = 5;
constexpr uint32_t kPSDExtensionBits = 15;

struct VeskFormat : GENERIC_FormatFlags_t {
    uint32_t units;
    uint32_t eventWords;
    uint32_t events;
    bool upperInExtras;
    int32_t probe5, probe6;
};

int readVeskFormat(c_Digitizer_t* d, uint32_t ch, const uint32_t* aggregate, uint32_t freeSlots, bool psd,
                   VeskFormat* f) {
    const GENERIC_DecoderPlace_t at = GENERIC_ChannelPlace(&ZarnBoard_Vesk_log, d, ch);
    const uint32_t size = aggregate[0] & (psd ? 0xFFFFFFu : 0x3FFFFu);
    int code = GENERIC_CheckAggregateHeader(at, aggregate[0], size);
    if (code != 0)
        return code;
    const uint32_t format = aggregate[1];
    static_cast<GENERIC_FormatFlags_t&>(*f) = GENERIC_ReadFormatFlags(format);
    f->units = format & 0xFFF;
    f->upperInExtras = psd && ((format >> 22) & 1u);
    f->eventWords = GENERIC_EventWords(*f, f->units);
    /* The charge-integration message has the size without parentheses. */
    code = GENERIC_CountEvents(at, size, 2, f->eventWords, &f->events, psd);
    if (code == 0)
        code = GENERIC_CheckEventRoom(at, f->events, freeSlots);
    if (code != 0)
        return code;
    f->probe5 = VESK_DigitalProbeCodeA((format >> 16) & 7u);
    f->probe6 = VESK_DigitalProbeCodeB((format >> 19) & 7u);
    if (f->waves && (f->probe5 < 0 || f->probe6 < 0))
        return GENERIC_RefuseProbe(at);
    return 0;
}

int decodeVeskWaveform(c_Digitizer_t* d, uint32_t ch, c_DPPEvent_t* e, const uint32_t* words, const VeskFormat& f,
                       bool cfdProbe) {
    c_Waveform_t* w = e->waveform;
    int code = GENERIC_CheckAnalogTrace0(GENERIC_ChannelPlace(&ZarnBoard_Vesk_log, d, ch), w);
    if (code != 0)
        return code;
    const uint32_t n = 8 * f.units;
    static const int kSlots[] = {0, 1, 3, 4, 5, 6};
    code = GENERIC_CheckTraceRoom(&ZarnBoard_Vesk_log, d, ch, w, kSlots, 6, n);
    if (code != 0)
        return code;
    w->nSamples = n;
    w->traces[0].probe = DPPL_PROBE_INPUT;
    w->traces[1].probe = f.dual ? kDualTraceProbe : (cfdProbe ? DPPL_PROBE_SOFTWARE_CFD : DPPL_PROBE_NONE);
    w->traces[3].probe = kDigitalProbe3;
    w->traces[4].probe = kDigitalProbe4;
    w->traces[5].probe = f.probe5;
    w->traces[6].probe = f.probe6;
    int16_t* s0 = (int16_t*)w->traces[0].samples;
    int16_t* s1 = (int16_t*)w->traces[1].samples;
    uint8_t* digital[4];
    for (int k = 0; k < 4; ++k)
        digital[k] = (uint8_t*)w->traces[3 + k].samples;
    /* Dual trace: each sample drawn twice, the second of a word in slot 0, the first in slot 1. */
    GENERIC_UnpackTwoSampleWords(words, 4 * f.units, digital, [&](uint32_t j, int16_t low, int16_t high) {
        if (f.dual) {
            s0[2 * j] = s0[2 * j + 1] = high;
            if (s1 != NULL)
                s1[2 * j] = s1[2 * j + 1] = low;
        } else {
            s0[2 * j] = low;
            s0[2 * j + 1] = high;
            if (s1 != NULL)
                s1[2 * j] = s1[2 * j + 1] = 0;
        }
    });
    return 0;
}

/* CI charge word: a signed 23-bit charge, clipped to 16 bits. */
uint16_t chargeEnergy(uint32_t word) {
    const int32_t q = (int32_t)(word << 9) >> 9;
    if (q > 32767)
        return 0xFFFF;
    if (q < -32768)
        return 0;
    return (uint16_t)(q & 0xFFFF);
}

/* The checks, the format and the CFD settings shared by both decoders. */
int beginVesk(c_Digitizer_t* d, uint32_t ch, const uint32_t* aggregate, uint32_t freeSlots, c_DPPEvent_t* first,
              bool psd, VeskFormat* f, bool* cfdProbe, c_CFDSettings_t* cfd) {
    if (ch >= DPPL_MAX_CHANNELS)
        return DPPL_ERR_INVALID_CHANNEL;
    int code = readVeskFormat(d, ch, aggregate, freeSlots, psd, f);
    if (code != 0 || f->events == 0)
        return code;
    if (first == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    return GENERIC_AggregateCFD(d, ch, f->waves, f->dual, cfdProbe, cfd);
}

/* The shared event loop over the format's events, with the family's
 * waveform rule and the format's makeFields. */
template <typename MakeFields>
int decodeVeskEvents(c_Digitizer_t* d, uint32_t ch, const uint32_t* aggregate, c_DPPEvent_t* first, const VeskFormat& f,
                     bool cfdProbe, const c_CFDSettings_t& cfd, MakeFields&& makeFields, uint64_t* lastStamp,
                     uint64_t* maxStamp) {
    auto decodeWaveform = [&](c_DPPEvent_t* e, const uint32_t* words) {
        return decodeVeskWaveform(d, ch, e, words, f, cfdProbe);
    };
    return GENERIC_DecodeEvents(d, ch, aggregate + 2, f.events, first, GENERIC_EventLayoutOf(f, f.units, f.eventWords),
                                cfdProbe ? &cfd : NULL, decodeWaveform, makeFields, lastStamp, maxStamp);
}

/* The events of a pulse-shape aggregate. */
int decodePSDEvents(c_Digitizer_t* d, uint32_t ch, const uint32_t* aggregate, c_DPPEvent_t* first, const VeskFormat& f,
                    bool cfdProbe, const c_CFDSettings_t& cfd, int32_t* decoded) {
    c_ChannelRecord_t* rec = &d->channels[ch];
    const uint64_t offset = GENERIC_ReadCache(d, ch, READCACHE_BASE)->timeOffsetPs;
    const GENERIC_TimeBase_t base = GENERIC_GetTimeBase(d, kPSDExtensionBits);
    const bool upperInExtras = f.extras && f.upperInExtras;
    uint64_t lastStamp = 0, maxStamp = 0;

    auto makeFields = [&](const GENERIC_EventWords_t& w) {
        GENERIC_EventFields_t out = {0, w.cfdFlags, 0, 0};
        if (w.extras & (1u << 15))
            out.flags |= 0x10;
        const uint64_t ticks =
            GENERIC_ExtendTimeTag(rec, &base, w.timeTag, upperInExtras, w.extras & 0x7FFFu, &out.flags);
        out.timeStamp = ticks * base.psPerTick + w.cfdFinePs + offset;
        if (f.charge) {
            const uint32_t shortValue = w.charge & 0x7FFF, longValue = w.charge >> 16;
            if (shortValue == 0x7FFF)
                out.flags |= EVTFLAG_SATURATED;
            else if (w.charge & (1u << 15))
                out.flags |= EVTFLAG_PILEUP;
            if (longValue >= 0x7FFF)
                out.flags |= EVTFLAG_SATURATED;
            out.energy = (uint16_t)(longValue >= 0x7FFF ? 0x7FFF : longValue);
            out.shortCharge = (int16_t)shortValue;
        }
        return out;
    };
    int code = decodeVeskEvents(d, ch, aggregate, first, f, cfdProbe, cfd, makeFields, &lastStamp, &maxStamp);
    if (code != 0)
        return code;
    GENERIC_AccountEvents(d, ch, f.events, 0, lastStamp, maxStamp);
    *decoded = (int32_t)f.events;
    return 0;
}

/* The events of a charge-integration aggregate: the extras word carries
 * nothing this format uses, and the CFD's fine time comes without a flag. */
int decodeCIEvents(c_Digitizer_t* d, uint32_t ch, const uint32_t* aggregate, c_DPPEvent_t* first, const VeskFormat& f,
                   bool cfdProbe, const c_CFDSettings_t& cfd, int32_t* decoded) {
    c_ChannelRecord_t* rec = &d->channels[ch];
    const GENERIC_TimeBase_t base = GENERIC_GetTimeBase(d, 0);
    uint64_t lastStamp = 0, maxStamp = 0;

    auto makeFields = [&](const GENERIC_EventWords_t& w) {
        GENERIC_EventFields_t out = {0, 0, 0, 0};
        /* One level of roll-overs, counted without a flag; no time offset. */
        if (w.timeTag < rec->lastRawTimeTag)
            rec->rollOver1 += 1;
        rec->lastRawTimeTag = w.timeTag;
        out.timeStamp = (w.timeTag + (rec->rollOver1 << base.tagBits)) * base.psPerTick + w.cfdFinePs;
        out.energy = f.charge ? chargeEnergy(w.charge) : 0;
        return out;
    };
    int code = decodeVeskEvents(d, ch, aggregate, first, f, cfdProbe, cfd, makeFields, &lastStamp, &maxStamp);
    if (code != 0)
        return code;
    if (maxStamp > d->maxTimeStamp) {
        d->maxTimeStamp = maxStamp;
        d->lastTimeStamp = maxStamp;
    }
    *decoded = (int32_t)f.events;
    return 0;
}

/* Both decoders: checks, format and CFD settings, then the format's events. */
int decodeVesk(bool psd, c_Digitizer_t* d, uint32_t ch, uint32_t* aggregate, uint32_t freeSlots, c_DPPEvent_t* first,
               int32_t* decoded) {
    if (d == NULL || aggregate == NULL || decoded == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    *decoded = 0;
    VeskFormat f;
    bool cfdProbe = false;
    c_CFDSettings_t cfd = {};
    int code = beginVesk(d, ch, aggregate, freeSlots, first, psd, &f, &cfdProbe, &cfd);
    if (code != 0 || f.events == 0)
        return code;
    return psd ? decodePSDEvents(d, ch, aggregate, first, f, cfdProbe, cfd, decoded)
               : decodeCIEvents(d, ch, aggregate, first, f, cfdProbe, cfd, decoded);
}

} // namespace

int VESK_DecodePSDChannelAggregate(c_Digitizer_t* d, uint32_t ch, uint32_t* aggregate, uint32_t freeSlots,
                                   c_DPPEvent_t* first, int32_t* decoded) {
    return decodeVesk(true, d, ch, aggregate, freeSlots, first, decoded);
}

int VESK_DecodeCIChannelAggregate(c_Digitizer_t* d, uint32_t ch, uint32_t* aggregate, uint32_t freeSlots,
                                  c_DPPEvent_t* first, int32_t* decoded) {
    return decodeVesk(false, d, ch, aggregate, freeSlots, first, decoded);
}
