/*
 * CBoard_Scope: setup, event buffer, walker and decoders of the standard
 * waveform firmware (DPP codes 0 and 1).
 *
 * A readout buffer is a plain sequence of events (no board aggregates):
 *   word 0  bits 28-31 0xA, bits 0-27 the event size in words (header included)
 *   word 1  bits 0-7 channel mask (low), 8-23 pattern (upper time-tag bits in
 *           the 48-bit mode), 24 zero-length encoding (refused), 26 flag, 27-31
 *   word 2  bits 0-23 event counter, 24-31 channel mask (high)
 *   word 3  trigger time tag
 * then the same number of payload words for every channel (group) of the mask.
 *
 * The setup (SCOPE_InitBoard, with the family init) is ZarnFirmwareSetup's;
 * the family table here says what each family brings to the firmware.
 *
 * The walker checks every event's size against the bytes read before it
 * touches the event, so a malformed buffer is never read past its end.
 */
#include "CBoard_Scope.h"

#include <string.h>

#include "ZarnBoard_Draq.h"
#include "ZarnBoard_Orlu.h"
#include "ZarnBoard_Pemb.h"
#include "ZarnBoard_Tilk.h"
#include "ZarnDecoderChecks.h"
#include "ZarnFamilySupport.h"
#include "ZarnRecordQueries.h"

static const c_LogModule_t CBoard_Scope_log = {"CBoard_ScopeLog.txt", "CBoard_Scope"};

#define BLOG(digitizer, level, ...) c_extendedLogMsg(&CBoard_Scope_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

typedef int (*ScopeDecoder)(c_Digitizer_t*, uint32_t*, c_ScopeEvent_t*);

constexpr uint32_t kHeaderWords = 4;
constexpr uint32_t kFixedPattern = 0xA;
constexpr uint32_t kMaskChannels = 16;  /* channels a header mask can name */
constexpr uint32_t kDraqBlockWords = 9; /* 24 samples of 12 bits */
constexpr uint32_t kDraqSamplesPerChannel = 3;
constexpr uint64_t kOrluTickPs = 10000;
constexpr uint64_t kOtherTickPs = 8000;
constexpr int32_t kExtrasOpt48Bit = 2;

int unsupportedScopeEvent(c_Digitizer_t*, uint32_t*, c_ScopeEvent_t*) { return DPPL_ERR_NOT_SUPPORTED; }

/* The Pemb families, alike. */
constexpr SCOPE_Family_t pembFamily(uint32_t familyCode) {
    return {.familyCode = familyCode,
            .init = PEMB_InitBoard,
            .checkPLL = PEMB_CheckPLLLock,
            .checkShutdown = PEMB_CheckADCShutdown,
            .restoreShutdown = PEMB_RestoreADCShutdown,
            .decodeEvent = PEMB_DecodeScopeEvent,
            .waveformStep = 2};
}

/* Waveform steps: two samples a word; Draq blocks three a channel; Tilk words
 * say how many. */
const SCOPE_Family_t kScopeFamilies[] = {
    {.familyCode = 0,
     .init = ORLU_InitBoard,
     .checkPLL = ORLU_CheckPLLLock,
     .decodeEvent = ORLU_DecodeScopeEvent,
     .waveformStep = 2},
    {.familyCode = 4,
     .init = DRAQ_InitBoard,
     .checkPLL = DRAQ_CheckPLLLock,
     .decodeEvent = DRAQ_DecodeScopeEvent,
     .waveformStep = 3},
    {.familyCode = 5,
     .init = TILK_InitBoard,
     .checkPLL = TILK_CheckPLLLock,
     .decodeEvent = TILK_DecodeScopeEvent,
     .waveformStep = 1},
    /* the family knows the firmware; the library does not support it there */
    {.familyCode = 6, .decodeEvent = unsupportedScopeEvent, .waveformStep = 1},
    pembFamily(11),
    pembFamily(14),
};

ScopeDecoder decoderOf(const c_Digitizer_t* d) {
    const SCOPE_Family_t* family = SCOPE_FindFamily(d->descriptor.FamilyCode);
    return family != NULL ? family->decodeEvent : NULL;
}

/* DPPL_PARAM_EXTRAS_OPT, looked up once per record. */
int extrasOption(c_Digitizer_t* d, c_Parameter_t** param) {
    if (d->scope->extrasOpt == NULL)
        d->scope->extrasOpt = c_pfind(d, DPPL_PARAM_EXTRAS_OPT);
    if (d->scope->extrasOpt == NULL) {
        BLOG(d, C_LOG_ERROR, "Unable to get extras opt.");
        return DPPL_ERR_PARAMETER;
    }
    *param = d->scope->extrasOpt;
    return 0;
}

/* A double as a non-negative integer count (NaN and negatives give 0). */
uint32_t truncatedCount(double value) {
    if (!(value >= 1.0))
        return 0;
    if (value >= 4294967295.0)
        return 0xFFFFFFFFu;
    return (uint32_t)value;
}

/* ------------------------------------------------------ payload decoding */

/* The next free event of a channel; it must carry a waveform with slot 0. */
int takeEvent(c_Digitizer_t* d, uint32_t ch, c_DPPEvent_t** event) {
    const GENERIC_DecoderPlace_t at = GENERIC_ChannelPlace(&CBoard_Scope_log, d, ch);
    c_ChannelRecord_t* rec = &d->channels[ch];
    if (rec->events == NULL || rec->nEvents >= rec->capacity)
        return GENERIC_RefuseEventRoom(at, rec->nEvents + 1, rec->capacity);
    c_DPPEvent_t* e = &rec->events[rec->nEvents];
    int code = GENERIC_CheckAnalogTrace0(at, e->waveform);
    if (code == 0)
        *event = e;
    return code;
}

/* The fields every family fills before its samples. */
void startEvent(c_DPPEvent_t* e, const c_ScopeEvent_t* header, uint64_t tickPs) {
    e->energy = 0;
    e->shortCharge = 0;
    e->timeStamp = header->timeTag * tickPs;
    e->flags = header->rollOverFlag;
    e->waveform->traces[0].probe = DPPL_PROBE_INPUT;
}

/* Bookkeeping once a channel's samples are written. */
void finishEvent(c_DPPEvent_t* e, c_Digitizer_t* d, uint32_t ch, uint32_t samples) {
    e->waveform->nSamples = samples;
    d->evtCount[ch] += 1;
    d->lastChTimeStamp[ch] = e->timeStamp;
    if (ch != 0) {
        c_ChannelRecord_t* own = &d->channels[ch];
        const c_ChannelRecord_t* base = &d->channels[0];
        own->lastRawTimeTag = base->lastRawTimeTag;
        own->rollOver1 = base->rollOver1;
        own->lastExtTimeTag = base->lastExtTimeTag;
        own->rollOver2 = base->rollOver2;
    }
    d->channels[ch].nEvents += 1;
}

/* After the last channel: the payload must have been consumed exactly. */
int finishPayload(c_Digitizer_t* d, const c_ScopeEvent_t* header, uint64_t consumed, uint64_t tickPs) {
    if (consumed != header->payloadWords) {
        BLOG(d, C_LOG_ERROR, "End of Event not met.");
        return DPPL_ERR_INVALID_EVENT;
    }
    uint64_t timeStamp = header->timeTag * tickPs;
    if (timeStamp > d->maxTimeStamp) {
        d->maxTimeStamp = timeStamp;
        d->lastTimeStamp = timeStamp;
    }
    return 0;
}

uint32_t maskChannels(const c_Digitizer_t* d) {
    uint32_t n = d->descriptor.NumChannels;
    return n < kMaskChannels ? n : kMaskChannels;
}

/* Orlu and Pemb: two 14-bit samples a word (bits 0-13, then 16-29). */
int decodeTwoPerWord(c_Digitizer_t* d, uint32_t* payload, c_ScopeEvent_t* header, uint64_t tickPs) {
    memset(header->waveforms, 0, sizeof header->waveforms);
    const uint32_t words = header->wordsPerChannel;
    uint64_t consumed = 0;
    for (uint32_t ch = 0; ch < maskChannels(d); ++ch) {
        if ((header->channelMask & (1u << ch)) == 0)
            continue;
        c_DPPEvent_t* e = NULL;
        int code = takeEvent(d, ch, &e);
        if (code != 0)
            return code;
        startEvent(e, header, tickPs);
        header->waveforms[ch] = e->waveform;
        c_Trace_t* trace = &e->waveform->traces[0];
        if ((uint64_t)trace->capacity < 2ull * words)
            return DPPL_ERR_OUT_OF_MEMORY;
        int16_t* out = (int16_t*)trace->samples;
        const uint32_t* in = payload + consumed;
        for (uint32_t w = 0; w < words; ++w) {
            out[2 * w] = (int16_t)(in[w] & 0x3FFFu);
            out[2 * w + 1] = (int16_t)((in[w] >> 16) & 0x3FFFu);
        }
        finishEvent(e, d, ch, 2 * words);
        consumed += words;
    }
    return finishPayload(d, header, consumed, tickPs);
}

/* 12-bit sample s (0-23) of a 9-word block, read as one 288-bit string. */
uint32_t draqSample(const uint32_t* block, uint32_t s) {
    uint32_t bit = 12 * s;
    uint32_t word = bit / 32, offset = bit % 32;
    uint64_t bits = block[word];
    if (word + 1 < kDraqBlockWords)
        bits |= (uint64_t)block[word + 1] << 32;
    return (uint32_t)(bits >> offset) & 0xFFFu;
}

int decodeDraqGroup(c_Digitizer_t* d, const uint32_t* payload, c_ScopeEvent_t* header, uint32_t group) {
    const uint32_t blocks = header->wordsPerChannel / kDraqBlockWords;
    c_DPPEvent_t* events[DPPL_CHANNELS_PER_GROUP] = {NULL};
    for (uint32_t k = 0; k < DPPL_CHANNELS_PER_GROUP; ++k) {
        uint32_t ch = group * DPPL_CHANNELS_PER_GROUP + k;
        int code = takeEvent(d, ch, &events[k]);
        if (code != 0)
            return code;
        startEvent(events[k], header, kOtherTickPs);
        header->waveforms[ch] = events[k]->waveform;
        if ((uint64_t)events[k]->waveform->traces[0].capacity < (uint64_t)kDraqSamplesPerChannel * blocks)
            return DPPL_ERR_OUT_OF_MEMORY;
    }
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint32_t* block = payload + (size_t)b * kDraqBlockWords;
        for (uint32_t k = 0; k < DPPL_CHANNELS_PER_GROUP; ++k) {
            int16_t* out = (int16_t*)events[k]->waveform->traces[0].samples;
            for (uint32_t j = 0; j < kDraqSamplesPerChannel; ++j)
                out[kDraqSamplesPerChannel * b + j] = (int16_t)draqSample(block, kDraqSamplesPerChannel * k + j);
        }
    }
    for (uint32_t k = 0; k < DPPL_CHANNELS_PER_GROUP; ++k)
        finishEvent(events[k], d, group * DPPL_CHANNELS_PER_GROUP + k, kDraqSamplesPerChannel * blocks);
    return 0;
}

/* ------------------------------------------------------------ header */

void extendTimeTag(c_Digitizer_t* d, const uint32_t* event, bool mode48, c_ScopeEvent_t* out) {
    c_ChannelRecord_t* base = &d->channels[0];
    uint64_t t;
    out->rollOverFlag = 0;
    if (mode48) {
        uint64_t raw = event[3];
        base->rollOver1 = out->pattern;
        base->lastRawTimeTag = raw;
        t = raw + ((uint64_t)out->pattern << 32);
        if (t < base->lastExtTimeTag) {
            base->rollOver2 += 1;
            out->rollOverFlag = EVTFLAG_ROLLOVER;
        }
    } else {
        uint64_t raw = event[3] & 0x7FFFFFFFu;
        if (raw < base->lastRawTimeTag) {
            base->rollOver1 += 1;
            out->rollOverFlag = EVTFLAG_ROLLOVER;
        }
        base->lastRawTimeTag = raw;
        t = raw + (base->rollOver1 << 31);
    }
    base->lastExtTimeTag = t;
    out->timeTag = mode48 ? t + (base->rollOver2 << 48) : t + base->rollOver2;
}

uint32_t popCount(uint32_t mask) { return (uint32_t)__builtin_popcount(mask); }

} // namespace

extern "C" {

/* -------------------------------------------------------------- setup */

const SCOPE_Family_t* SCOPE_FindFamily(uint32_t familyCode) {
    for (const SCOPE_Family_t& family : kScopeFamilies)
        if (family.familyCode == familyCode)
            return &family;
    return NULL;
}

void SCOPE_FreeBuffer(c_Digitizer_t* d) {
    if (d->scope == NULL)
        return;
    c_free(d->scope->items);
    c_free(d->scope);
    d->scope = NULL;
}

int SCOPE_InitReplay(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (d->descriptor.DPPCode != 0 && d->descriptor.DPPCode != 1)
        return 0;
    SCOPE_FreeBuffer(d);
    d->scope = (c_ScopeBuffer_t*)c_calloc(1, sizeof(c_ScopeBuffer_t));
    if (d->scope == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't allocate memory for Scope Event Buffer.");
        return DPPL_ERR_OUT_OF_MEMORY;
    }
    int code = SCOPE_AllocEventBuffer(d);
    if (code != 0)
        SCOPE_FreeBuffer(d);
    return code;
}

int SCOPE_AllocEventBuffer(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_ScopeBuffer_t* scope = d->scope;
    if (scope == NULL)
        return 0;
    c_free(scope->items);
    scope->items = NULL;
    scope->capacity = scope->nEvents = 0;
    c_Parameter_t* nablt = c_pfind(d, DPPL_PARAM_NABLT);
    if (nablt == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't find DPPL_PARAM_NABLT.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    if (isSecondGenerationReplay(d))
        return DPPL_ERR_NOT_SUPPORTED;
    double value = 0.0;
    int code = c_pget(d, nablt, &value);
    if (code != 0) {
        BLOG(d, C_LOG_ERROR, "Can't get DPPL_PARAM_NABLT.");
        return code;
    }
    uint32_t count = truncatedCount(value);
    if (count == 0)
        return 0;
    scope->items = (c_ScopeEvent_t*)c_calloc(count, sizeof(c_ScopeEvent_t));
    if (scope->items == NULL) {
        BLOG(d, C_LOG_ERROR, "Can't allocate memory for Scope Event Buffer.");
        return DPPL_ERR_OUT_OF_MEMORY;
    }
    scope->capacity = count;
    return 0;
}

/* ------------------------------------------------------------ walker */

int SCOPE_GetEvents(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    ScopeDecoder decode = decoderOf(d);
    if (decode == NULL) {
        BLOG(d, C_LOG_ERROR, "No scope decoder for family %u.", (unsigned)d->descriptor.FamilyCode);
        return DPPL_ERR_INVALID_DPP_CODE;
    }
    c_ScopeBuffer_t* scope = d->scope;
    if (scope == NULL) {
        /* e.g. a replayed file: its buffers are not sized for event headers */
        BLOG(d, C_LOG_ERROR, "The record has no scope event buffer.");
        return DPPL_ERR_NULL_ARGUMENT;
    }
    c_Parameter_t* extras = NULL;
    int code = extrasOption(d, &extras);
    if (code != 0)
        return code;
    scope->nEvents = 0;
    for (uint32_t ch = 0; ch < DPPL_MAX_CHANNELS; ++ch)
        d->channels[ch].nEvents = 0;

    const uint32_t words = buffer->ROBytes / 4;
    uint32_t* data = (uint32_t*)buffer->ROBuf;
    if (data == NULL && words > 0)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t position = 0;
    while (words - position >= kHeaderWords) {
        uint32_t size = data[position] & 0x0FFFFFFFu;
        if (size > words - position) {
            BLOG(d, C_LOG_ERROR, "End of Aggregate not met.");
            return DPPL_ERR_INVALID_EVENT;
        }
        if (scope->nEvents >= scope->capacity)
            return GENERIC_RefuseEventRoom(GENERIC_BoardPlace(&CBoard_Scope_log, d), scope->nEvents + 1,
                                           scope->capacity);
        c_ScopeEvent_t* event = &scope->items[scope->nEvents];
        code = SCOPE_DecodeEventHeader(d, data + position, event);
        if (code != 0) {
            BLOG(d, C_LOG_ERROR, "can't decode scope event header [ERR %i]", code);
            return code;
        }
        code = decode(d, data + position + kHeaderWords, event);
        if (code != 0) {
            BLOG(d, C_LOG_ERROR, "can't decode scope event [ERR %i]", code);
            return code;
        }
        scope->nEvents += 1;
        position += size;
    }
    if ((uint64_t)position * 4 != buffer->ROBytes) {
        BLOG(d, C_LOG_ERROR, "End of Aggregate not met.");
        return DPPL_ERR_INVALID_EVENT;
    }
    return 0;
}

int SCOPE_DecodeEventHeader(c_Digitizer_t* d, uint32_t* event, c_ScopeEvent_t* out) {
    if (d == NULL || event == NULL || out == NULL || d->scope == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_Parameter_t* extras = NULL;
    int code = extrasOption(d, &extras);
    if (code != 0)
        return code;
    /* truncated to an integer: any value in [2, 3) selects the 48-bit mode */
    const bool mode48 = extras->value >= kExtrasOpt48Bit && extras->value < kExtrasOpt48Bit + 1;
    if ((event[0] >> 28) != kFixedPattern) {
        BLOG(d, C_LOG_ERROR, "Invalid fixed pattern.");
        return DPPL_ERR_INVALID_EVENT;
    }
    if (event[1] & (1u << 24)) {
        BLOG(d, C_LOG_ERROR, "ZLE not supported.");
        return DPPL_ERR_INVALID_EVENT;
    }
    const uint32_t size = event[0] & 0x0FFFFFFFu;
    const uint32_t mask = (event[1] & 0xFFu) | ((event[2] >> 24) << 8);
    /* a size below the header would step backwards (or not at all) */
    if (size < kHeaderWords || (mask != 0 && (size - kHeaderWords) % popCount(mask) != 0)) {
        BLOG(d, C_LOG_ERROR, "Invalid event size.");
        return DPPL_ERR_INVALID_EVENT;
    }
    out->pattern = (uint16_t)((event[1] >> 8) & 0xFFFFu);
    out->flag26 = (uint8_t)((event[1] >> 26) & 1u);
    out->high5 = (uint8_t)(event[1] >> 27);
    out->counter = event[2] & 0xFFFFFFu;
    out->sizeBytes = size * 4;
    out->channelMask = mask;
    out->payloadWords = size - kHeaderWords;
    out->wordsPerChannel = mask != 0 ? out->payloadWords / popCount(mask) : 0;
    extendTimeTag(d, event, mode48, out);
    return 0;
}

/* ----------------------------------------------------- payload decoders */

int ORLU_DecodeScopeEvent(c_Digitizer_t* d, uint32_t* payload, c_ScopeEvent_t* event) {
    if (d == NULL || payload == NULL || event == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    return decodeTwoPerWord(d, payload, event, kOrluTickPs);
}

int PEMB_DecodeScopeEvent(c_Digitizer_t* d, uint32_t* payload, c_ScopeEvent_t* event) {
    if (d == NULL || payload == NULL || event == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    return decodeTwoPerWord(d, payload, event, kOtherTickPs);
}

int DRAQ_DecodeScopeEvent(c_Digitizer_t* d, uint32_t* payload, c_ScopeEvent_t* event) {
    if (d == NULL || payload == NULL || event == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    memset(event->waveforms, 0, sizeof event->waveforms);
    uint32_t groups = d->descriptor.NumGroups < DPPL_MAX_GROUPS ? d->descriptor.NumGroups : DPPL_MAX_GROUPS;
    uint64_t consumed = 0;
    for (uint32_t g = 0; g < groups; ++g) {
        if ((event->channelMask & (1u << g)) == 0)
            continue;
        if (event->wordsPerChannel % kDraqBlockWords != 0) {
            BLOG(d, C_LOG_ERROR, "Invalid event size.");
            return DPPL_ERR_INVALID_EVENT;
        }
        int code = decodeDraqGroup(d, payload + consumed, event, g);
        if (code != 0)
            return code;
        consumed += event->wordsPerChannel;
    }
    return finishPayload(d, event, consumed, kOtherTickPs);
}

/* Tilk: 10-bit samples, bits 30-31 of a word tell how many (0 to 3) it holds. */
int TILK_DecodeScopeEvent(c_Digitizer_t* d, uint32_t* payload, c_ScopeEvent_t* event) {
    if (d == NULL || payload == NULL || event == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    memset(event->waveforms, 0, sizeof event->waveforms);
    const uint32_t words = event->wordsPerChannel;
    uint64_t consumed = 0;
    for (uint32_t ch = 0; ch < maskChannels(d); ++ch) {
        if ((event->channelMask & (1u << ch)) == 0)
            continue;
        c_DPPEvent_t* e = NULL;
        int code = takeEvent(d, ch, &e);
        if (code != 0)
            return code;
        startEvent(e, event, kOtherTickPs);
        event->waveforms[ch] = e->waveform;
        c_Trace_t* trace = &e->waveform->traces[0];
        int16_t* out = (int16_t*)trace->samples;
        const uint32_t* in = payload + consumed;
        uint32_t written = 0;
        for (uint32_t w = 0; w < words; ++w) {
            uint32_t n = in[w] >> 30;
            if (written + n > trace->capacity)
                return DPPL_ERR_OUT_OF_MEMORY;
            for (uint32_t k = 0; k < n; ++k)
                out[written++] = (int16_t)((in[w] >> (10 * k)) & 0x3FFu);
        }
        finishEvent(e, d, ch, written);
        consumed += words;
    }
    return finishPayload(d, event, consumed, kOtherTickPs);
}

/* ------------------------------------------------ definition functions */

int Vexil_DefineVirtualProbeValues(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }

int Vexil_DefineWaveDownsamplingValues(c_Parameter_t*) { return DPPL_ERR_NOT_SUPPORTED; }

} // extern "C"
