/*
 * ZarnBoard_Tilk_Decode: the decoder of the Tilk family's pulse-shape channel
 * aggregates (DPP code 132).
 *
 * A channel aggregate is {header word: type in bits 28-31 (8: two header
 * words, 4: three, the third holding the extras format), size in bits 0-21;
 * format word; [extras-format word]} followed by events of one size:
 * [time tag] [4 x u waveform words, 12 samples a unit] [extras] [charge].
 */
#include "ZarnBoard_Tilk.h"

#include <string.h>

#include "ZarnBoard_Vesk.h"
#include "ZarnDecoderChecks.h"
#include "ZarnFamilyEventLoop.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Tilk_log = {"ZarnBoard_TilkLog.txt", "ZarnBoard_Tilk"};

namespace {

/* Table C: selector of digital slot 4 (format bits 19-21) -> probe; -1 refused. */
constexpr int32_t kDigitalProbe4[8] = {24, 20, 21, 13, 23, 22, -1, -1};
constexpr int32_t kDigitalProbe3 = 26;
constexpr uint32_t kSamplesPerUnit = 12;
constexpr uint32_t kTimeTagExtensionBits = 16;

struct TilkFormat : GENERIC_FormatFlags_t {
    uint32_t headerWords;
    uint32_t extrasFormat; /* c: 0 with a two-word header */
    uint32_t units;
    uint32_t eventWords;
    uint32_t events;
    bool eightBit;
    int32_t probe0, probe1, probe4, probe5;
};

int readTilkFormat(c_Digitizer_t* d, uint32_t ch, const uint32_t* aggregate, uint32_t freeSlots, TilkFormat* f) {
    const GENERIC_DecoderPlace_t at = GENERIC_ChannelPlace(&ZarnBoard_Tilk_log, d, ch);
    const uint32_t header = aggregate[0];
    const uint32_t type = header >> 28;
    if (type != 8 && type != 4)
        return GENERIC_RefuseHeaderWord(at, header);
    f->headerWords = type == 8 ? 2 : 3;
    const uint32_t size = header & 0x3FFFFF;
    if (size < f->headerWords)
        return GENERIC_RefuseAggregateSize(at, size);
    const uint32_t format = aggregate[1];
    f->extrasFormat = type == 4 ? aggregate[2] & 7u : 0;
    static_cast<GENERIC_FormatFlags_t&>(*f) = GENERIC_ReadFormatFlags(format);
    f->units = format & 0xFFFF;
    f->eightBit = (format >> 18) & 1u;
    f->eventWords = GENERIC_EventWords(*f, f->units);
    int code = GENERIC_CountEvents(at, size, f->headerWords, f->eventWords, &f->events);
    if (code == 0)
        code = GENERIC_CheckEventRoom(at, f->events, freeSlots);
    if (code != 0)
        return code;
    if (f->events == 0)
        return 0; /* nothing to draw: the probe selectors do not matter */
    f->probe0 = (format >> 25) & 1u ? DPPL_PROBE_SOFTWARE_CFD : DPPL_PROBE_INPUT;
    f->probe1 = (format >> 26) & 1u ? DPPL_PROBE_SOFTWARE_CFD : 5;
    f->probe4 = kDigitalProbe4[(format >> 19) & 7u];
    f->probe5 = VESK_DigitalProbeCodeB((format >> 22) & 7u);
    if (f->waves && (f->probe4 < 0 || f->probe5 < 0))
        return GENERIC_RefuseProbe(at);
    return 0;
}

/* Fills the traces of one event from its 4 x u waveform words. */
int decodeTilkWaveform(c_Digitizer_t* d, uint32_t ch, c_DPPEvent_t* e, const uint32_t* words, const TilkFormat& f,
                       bool cfdProbe) {
    c_Waveform_t* w = e->waveform;
    int code = GENERIC_CheckAnalogTrace0(GENERIC_ChannelPlace(&ZarnBoard_Tilk_log, d, ch), w);
    if (code != 0)
        return code;
    const uint32_t n = kSamplesPerUnit * f.units;
    static const int kSlots[] = {0, 1, 3, 4, 5};
    code = GENERIC_CheckTraceRoom(&ZarnBoard_Tilk_log, d, ch, w, kSlots, 5, n);
    if (code != 0)
        return code;
    w->nSamples = n;
    w->traces[0].probe = f.probe0;
    w->traces[1].probe = f.dual ? f.probe1 : (cfdProbe ? DPPL_PROBE_SOFTWARE_CFD : DPPL_PROBE_NONE);
    w->traces[3].probe = kDigitalProbe3;
    w->traces[4].probe = f.probe4;
    w->traces[5].probe = f.probe5;
    int16_t* s0 = (int16_t*)w->traces[0].samples;
    int16_t* s1 = (int16_t*)w->traces[1].samples;
    uint8_t* d3 = (uint8_t*)w->traces[3].samples;
    uint8_t* d4 = (uint8_t*)w->traces[4].samples;
    uint8_t* d5 = (uint8_t*)w->traces[5].samples;
    if (s1 != NULL && !f.dual)
        memset(s1, 0, (size_t)n * sizeof(int16_t));
    if (d3 != NULL)
        memset(d3, 0, n);
    if (!f.eightBit) {
        if (d4 != NULL)
            memset(d4, 0, n);
        if (d5 != NULL)
            memset(d5, 0, n);
    }

    const uint32_t count = 4 * f.units;
    int16_t prev[3] = {0, 0, 0}; /* E, F, G of the even word of a dual-trace pair */
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t word = words[k];
        uint32_t v[3] = {word & 0x3FFu, (word >> 10) & 0x3FFu, (word >> 20) & 0x3FFu};
        const uint32_t base = 3 * k;
        const uint32_t marker = word >> 30;
        if (marker != 0 && d3 != NULL)
            d3[base + marker - 1] = 1;
        if (f.eightBit) {
            for (int i = 0; i < 3; ++i) {
                if (d4 != NULL)
                    d4[base + i] = (uint8_t)((v[i] >> 8) & 1u);
                if (d5 != NULL)
                    d5[base + i] = (uint8_t)((v[i] >> 9) & 1u);
                v[i] = (v[i] & 0xFFu) << 2;
            }
        }
        if (!f.dual) {
            s0[base] = (int16_t)v[0];
            s0[base + 1] = (int16_t)v[1];
            s0[base + 2] = (int16_t)v[2];
            continue;
        }
        if ((k & 1u) == 0) {
            prev[0] = (int16_t)v[0];
            prev[1] = (int16_t)v[1];
            prev[2] = (int16_t)v[2];
            continue;
        }
        /* The pair's six samples alternate between the slots, two positions each. */
        const uint32_t p = base - 3; /* 3 x the even word's index */
        const int16_t toSlot0[3] = {prev[0], prev[2], (int16_t)v[1]};
        const int16_t toSlot1[3] = {prev[1], (int16_t)v[0], (int16_t)v[2]};
        for (int i = 0; i < 3; ++i) {
            s0[p + 2 * i] = s0[p + 2 * i + 1] = toSlot0[i];
            if (s1 != NULL)
                s1[p + 2 * i] = s1[p + 2 * i + 1] = toSlot1[i];
        }
    }
    return 0;
}

} // namespace

int TILK_DecodePSDChannelAggregate(c_Digitizer_t* d, uint32_t ch, uint32_t* aggregate, uint32_t freeSlots,
                                   c_DPPEvent_t* first, int32_t* decoded) {
    if (d == NULL || aggregate == NULL || decoded == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    *decoded = 0;
    if (ch >= DPPL_MAX_CHANNELS)
        return DPPL_ERR_INVALID_CHANNEL;
    TilkFormat f;
    int code = readTilkFormat(d, ch, aggregate, freeSlots, &f);
    if (code != 0 || f.events == 0)
        return code;
    if (first == NULL)
        return DPPL_ERR_NULL_ARGUMENT;

    c_ChannelRecord_t* rec = &d->channels[ch];
    const uint64_t offset = GENERIC_ReadCache(d, ch, READCACHE_BASE)->timeOffsetPs;
    bool cfdProbe = false;
    c_CFDSettings_t cfd = {};
    code = GENERIC_AggregateCFD(d, ch, f.waves, f.dual, &cfdProbe, &cfd);
    if (code != 0)
        return code;
    const GENERIC_TimeBase_t base = GENERIC_GetTimeBase(d, kTimeTagExtensionBits);
    const bool typeFour = f.headerWords == 3;
    const bool upperInExtras = f.extras && typeFour && f.extrasFormat <= 2;
    const bool fineInExtras = f.extras && typeFour && (f.extrasFormat == 2 || f.extrasFormat == 3);
    const double psPerSample = d->descriptor.SamplePeriod * 1000.0;
    GENERIC_Dither_t dither = fineInExtras ? GENERIC_DitherSeed() : GENERIC_Dither_t{0};
    uint64_t lastStamp = 0, maxStamp = 0;

    const GENERIC_EventLayout_t layout = GENERIC_EventLayoutOf(f, f.units, f.eventWords);
    auto decodeWaveform = [&](c_DPPEvent_t* e, const uint32_t* words) {
        return decodeTilkWaveform(d, ch, e, words, f, cfdProbe);
    };
    auto makeFields = [&](const GENERIC_EventWords_t& w) {
        GENERIC_EventFields_t out = {0, w.cfdFlags, 0, 0};
        uint64_t fine = w.cfdFinePs;
        if (fineInExtras) {
            uint32_t steps = f.extrasFormat == 2 ? w.extras & 0x3FFu : (w.extras >> 16) & 0x3FFu;
            double ps = ((double)steps + GENERIC_DitherNext(&dither)) * psPerSample / 1024.0;
            fine = ps > 0 ? (uint64_t)ps : 0;
            out.flags |= EVTFLAG_FINE_TIME;
        }
        const uint64_t ticks = GENERIC_ExtendTimeTag(rec, &base, w.timeTag, upperInExtras, w.extras >> 16, &out.flags);
        out.timeStamp = ticks * base.psPerTick + fine + offset;
        if (f.charge) {
            const uint32_t shortValue = w.charge & 0x7FFF, longValue = w.charge >> 16;
            if (w.charge & (1u << 15))
                out.flags |= EVTFLAG_PILEUP;
            if (shortValue == 0x7FFF || longValue >= 0x7FFF)
                out.flags |= EVTFLAG_SATURATED;
            out.energy = (uint16_t)(longValue >= 0x7FFF ? 0x7FFF : longValue);
            out.shortCharge = (int16_t)shortValue;
        }
        return out;
    };
    code = GENERIC_DecodeEvents(d, ch, aggregate + f.headerWords, f.events, first, layout, cfdProbe ? &cfd : NULL,
                                decodeWaveform, makeFields, &lastStamp, &maxStamp);
    if (code != 0)
        return code;
    GENERIC_AccountEvents(d, ch, f.events, 0, lastStamp, maxStamp);
    *decoded = (int32_t)f.events;
    return 0;
}
