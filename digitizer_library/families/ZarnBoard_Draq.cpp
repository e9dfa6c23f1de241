/*
 * ZarnBoard_Draq: setup, PLL check and charge group decoder of the Draq family.
 */
#include "ZarnBoard_Draq.h"

#include <string.h>

#include "ZarnDecoderChecks.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t ZarnBoard_Draq_log = {"ZarnBoard_DraqLog.txt", "ZarnBoard_Draq"};

#define BLOG(digitizer, level, ...) c_extendedLogMsg(&ZarnBoard_Draq_log, (digitizer), (level), __LINE__, __VA_ARGS__)

int DRAQ_InitBoard(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = GENERIC_ReadMemorySize(&ZarnBoard_Draq_log, d, &GENERIC_kMemoryCodes130To135);
    if (code != 0)
        return code;
    c_BoardDescriptor_t* desc = &d->descriptor;
    /* The board information counts the groups of 8 channels. */
    if (desc->Channels > DPPL_MAX_GROUPS) {
        BLOG(d, C_LOG_ERROR, "The board reports %u channel groups; at most %u are supported.", (unsigned)desc->Channels,
             (unsigned)DPPL_MAX_GROUPS);
        return DPPL_ERR_GENERIC;
    }
    desc->MemBlock = 128;
    desc->ADCBits = desc->ADC_NBits;
    desc->SamplePeriod = 16.0;
    desc->NumGroups = (uint8_t)desc->Channels;
    desc->NumChannels = (uint8_t)(DPPL_CHANNELS_PER_GROUP * desc->Channels);
    desc->HVChannels = 0;
    return 0;
}

/* ==========================================================================
 * Decoder: charge group aggregates (DPP code 135)
 *
 * A group aggregate is {header word: bit 31 set, size in bits 0-30; format
 * word} followed by events of one size: [time tag] [4 x u waveform words, 8
 * samples a unit] [extras: upper time-tag bits] [charge word: the charge, the
 * saturation bit and the event's channel within the group].
 * ========================================================================== */

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

/* What the group's channels get from this aggregate. */
struct GroupChannel {
    uint32_t number;
    uint32_t freeSlots;
    c_DPPEvent_t* first;
    uint32_t count;
    bool deliver;
    uint64_t offset;
    uint64_t lastStamp, maxStamp;
};

int readDraqFormat(const GENERIC_DecoderPlace_t& at, const uint32_t* aggregate, DraqFormat* f) {
    uint32_t size = 0;
    int code = GENERIC_ReadAggregateSize(at, aggregate[0], 0x7FFFFFFFu, &size);
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

void prepareChannels(c_Digitizer_t* d, const uint32_t channels[8], const uint32_t freeSlots[8], c_DPPEvent_t* first[8],
                     GroupChannel out[8]) {
    for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j) {
        GroupChannel& c = out[j];
        c.number = channels[j];
        c.freeSlots = first[j] != NULL ? freeSlots[j] : 0;
        c.first = first[j];
        c.count = 0;
        c.lastStamp = c.maxStamp = 0;
        c.deliver = true;
        c.offset = 0;
        if (c.number >= DPPL_MAX_CHANNELS)
            continue;
        const c_ReadCache_t* cache = GENERIC_ReadCache(d, c.number, READCACHE_BASE);
        c.deliver = d->replay || !cache->hasAcqRun || cache->acqRun == 1.0 || GENERIC_IsDraining(d, c.number);
        c.offset = cache->timeOffsetPs;
    }
}

} // namespace

int DRAQ_DecodeQDCGroupAggregate(c_Digitizer_t* d, uint32_t* aggregate, const uint32_t channels[8],
                                 const uint32_t freeSlots[8], c_DPPEvent_t* first[8], uint32_t decoded[8]) {
    if (d == NULL || aggregate == NULL || channels == NULL || freeSlots == NULL || first == NULL || decoded == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j)
        decoded[j] = 0;
    GroupChannel group[DPPL_CHANNELS_PER_GROUP];
    prepareChannels(d, channels, freeSlots, first, group);
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
        if (cw & 0x80000000u) {
            BLOG(d, C_LOG_ERROR, "[%u:%u] Invalid group channel ID 0x%hhx", (unsigned)firstCh, (unsigned)lastCh,
                 (unsigned char)(cw >> 28));
            return DPPL_ERR_INVALID_EVENT;
        }
        GroupChannel& c = group[(cw >> 28) & 7u];
        if (c.number >= DPPL_MAX_CHANNELS) {
            BLOG(d, C_LOG_ERROR, "[%u:%u] Invalid group channel ID 0x%hhx", (unsigned)firstCh, (unsigned)lastCh,
                 (unsigned char)(cw >> 28));
            return DPPL_ERR_INVALID_EVENT;
        }
        c_DPPEvent_t* e = NULL;
        if (c.count < c.freeSlots) {
            e = &c.first[c.count];
        } else if (!c.deliver) {
            e = &scratch; /* decoded for its time-tag state, never delivered */
        } else {
            return GENERIC_RefuseEventRoom(GENERIC_ChannelPlace(&ZarnBoard_Draq_log, d, c.number), c.count + 1,
                                           c.freeSlots);
        }
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
        if (!c.deliver)
            continue; /* the channel's next event reuses the slot */
        c.count++;
        c.lastStamp = stamp;
        if (stamp > c.maxStamp)
            c.maxStamp = stamp;
    }
    for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j) {
        if (group[j].number < DPPL_MAX_CHANNELS)
            GENERIC_AccountEvents(d, group[j].number, group[j].count, 0, group[j].lastStamp, group[j].maxStamp);
        decoded[j] = group[j].count;
    }
    return 0;
}
