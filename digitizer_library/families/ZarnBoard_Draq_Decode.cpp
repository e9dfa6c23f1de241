/*
 * ZarnBoard_Draq_Decode: the decoder of the Draq family's charge group aggregates
 * (DPP code 135).
 *
 * A group aggregate is {header word: bit 31 set, size in bits 0-30; format
 * word} followed by events of one size: [time tag] [4 x u waveform words, 8
 * samples a unit] [extras: upper time-tag bits] [charge word: the charge, the
 * saturation bit and the event's channel within the group].
 */
#include "ZarnBoard_Draq.h"

#include "ZarnDecoderChecks.h"
#include "ZarnFamilyEventLoop.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Draq_log = {"ZarnBoard_DraqLog.txt", "ZarnBoard_Draq"};

namespace {

/* Table D: selector of analog slot 0 (format bits 22-23) -> probe; -1 refused. */
constexpr int32_t kAnalogProbe0[4] = {1, 41, 5, -1};
constexpr int32_t kDigitalProbes[4] = {24, 26, 15, 20}; /* slots 3, 4, 5, 6 */
constexpr uint32_t kTimeTagExtensionBits = 16;

struct DraqFormat {
    uint32_t units;
    uint32_t eventWords;
    uint32_t events;
    bool waves, extras;
    int32_t probe0;
};

int readDraqFormat(const GENERIC_DecoderPlace_t& at, const uint32_t* aggregate, DraqFormat* f) {
    const uint32_t size = aggregate[0] & 0x7FFFFFFFu;
    int code = GENERIC_CheckAggregateHeader(at, aggregate[0], size);
    if (code != 0)
        return code;
    const uint32_t format = aggregate[1];
    f->units = format & 0xFFF;
    f->waves = (format >> 27) & 1u;
    f->extras = (format >> 28) & 1u;
    f->eventWords = 4 * f->units + 2 + (f->extras ? 1 : 0); /* never 0 */
    code = GENERIC_CountEvents(at, size, 2, f->eventWords, &f->events);
    if (code != 0)
        return code;
    f->probe0 = kAnalogProbe0[(format >> 22) & 3u];
    if (f->waves && f->probe0 < 0)
        return GENERIC_RefuseProbe(at);
    return 0;
}

int decodeDraqWaveform(c_Digitizer_t* d, uint32_t ch, c_DPPEvent_t* e, const uint32_t* words, const DraqFormat& f) {
    c_Waveform_t* w = e->waveform;
    int code = GENERIC_CheckAnalogTrace0(GENERIC_ChannelPlace(&ZarnBoard_Draq_log, d, ch), w);
    if (code != 0)
        return code;
    const uint32_t n = 8 * f.units;
    static const int kSlots[] = {0, 3, 4, 5, 6};
    code = GENERIC_CheckTraceRoom(&ZarnBoard_Draq_log, d, ch, w, kSlots, 5, n);
    if (code != 0)
        return code;
    w->nSamples = n;
    w->traces[0].probe = f.probe0;
    int16_t* s0 = (int16_t*)w->traces[0].samples;
    uint8_t* digital[4];
    for (int k = 0; k < 4; ++k) {
        w->traces[3 + k].probe = kDigitalProbes[k];
        digital[k] = (uint8_t*)w->traces[3 + k].samples;
    }
    GENERIC_UnpackTwoSampleWords(words, 4 * f.units, digital, [&](uint32_t j, int16_t first, int16_t second) {
        s0[2 * j] = first;
        s0[2 * j + 1] = second;
    });
    return 0;
}

} // namespace

int DRAQ_DecodeQDCGroupAggregate(c_Digitizer_t* d, uint32_t* aggregate, const uint32_t channels[8],
                                 const uint32_t freeSlots[8], c_DPPEvent_t* first[8], uint32_t decoded[8]) {
    if (d == NULL || aggregate == NULL || channels == NULL || freeSlots == NULL || first == NULL || decoded == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j)
        decoded[j] = 0;
    GENERIC_UnitChannel_t group[DPPL_CHANNELS_PER_GROUP];
    for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j)
        GENERIC_BeginUnitChannel(d, channels[j], freeSlots[j], first[j], &group[j]);
    const uint32_t firstCh = channels[0], lastCh = channels[DPPL_CHANNELS_PER_GROUP - 1];
    DraqFormat f;
    int code = readDraqFormat(GENERIC_GroupPlace(&ZarnBoard_Draq_log, d, firstCh, lastCh), aggregate, &f);
    if (code != 0 || f.events == 0)
        return code;

    const GENERIC_TimeBase_t base = GENERIC_GetTimeBase(d, kTimeTagExtensionBits);
    const uint32_t waveWords = 4 * f.units;
    const uint32_t chargeIndex = 1 + waveWords + (f.extras ? 1 : 0);
    c_DPPEvent_t scratch = {};

    const uint32_t* word = aggregate + 2;
    for (uint32_t i = 0; i < f.events; ++i, word += f.eventWords) {
        const uint32_t cw = word[chargeIndex];
        /* bit 31 set, or a channel of the group the record does not have */
        if ((cw & 0x80000000u) || group[(cw >> 28) & 7u].number >= DPPL_MAX_CHANNELS) {
            GENERIC_LogAt(GENERIC_GroupPlace(&ZarnBoard_Draq_log, d, firstCh, lastCh),
                          "Invalid group channel ID 0x%hhx", (unsigned char)(cw >> 28));
            return DPPL_ERR_INVALID_EVENT;
        }
        GENERIC_UnitChannel_t& c = group[(cw >> 28) & 7u];
        c_DPPEvent_t* e = GENERIC_UnitTarget(&ZarnBoard_Draq_log, d, &c, &scratch);
        if (e == NULL)
            return DPPL_ERR_EVENT_BUFFER_OVERFLOW;
        uint32_t flags = 0;
        const uint64_t raw = word[0];
        if (f.waves && e != &scratch) {
            code = decodeDraqWaveform(d, c.number, e, word + 1, f);
            if (code != 0)
                return code;
        } else if (e->waveform != NULL) {
            e->waveform->nSamples = 0;
        }
        const uint32_t extras = f.extras ? word[1 + waveWords] : 0;
        const uint64_t ticks =
            GENERIC_ExtendTimeTag(&d->channels[c.number], &base, raw, f.extras, extras & 0xFFFFu, &flags);
        const uint64_t stamp = ticks * base.psPerTick + c.offset;
        if (cw & (1u << 26))
            flags |= EVTFLAG_SATURATED;
        GENERIC_FillEvent(e, (uint16_t)(cw & 0xFFFF), 0, stamp, flags, f.eventWords);
        /* an event of a channel that does not deliver leaves its slot to the next */
        GENERIC_DeliverUnitEvent(&c, stamp, false);
    }
    for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j) {
        GENERIC_AccountUnitChannel(d, group[j]);
        decoded[j] = group[j].count;
    }
    return 0;
}
