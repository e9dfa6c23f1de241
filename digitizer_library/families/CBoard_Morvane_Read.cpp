/*
 * CBoard_Morvane_Read: the device's block read into the readout buffer and
 * the decoder of its channel aggregates (events, waveforms, special events
 * with the multichannel-scaling data and the real-time and dead-time sums).
 */
#include "CBoard_Morvane.h"

#include "CBoard_MorvaneShared.h"
#include "ZarnComm.h"
#include "ZarnDecoderChecks.h"
#include "ZarnFamilySupport.h"

static const c_LogModule_t CBoard_Morvane_log = {"CBoard_MorvaneLog.txt", "CBoard_Morvane_Read"};

#define PLOG(level, ...)            c_lprintf(&CBoard_Morvane_log, (level), __LINE__, __VA_ARGS__)
#define BLOG(digitizer, level, ...) c_extendedLogMsg(&CBoard_Morvane_log, (digitizer), (level), __LINE__, __VA_ARGS__)

using morvane::slotOf;
using morvane::sumsOf;

namespace {

constexpr uint32_t kAggregateSizeMask = 0x0FFFFFFF;
/* The readout walker bounds a channel aggregate by these bits of its size;
 * a size beyond them was never checked against the buffer. */
constexpr uint32_t kWalkedSizeMask = 0x1FFFFF;

struct AggregateFormat {
    uint32_t size;      /* S, words */
    uint32_t waveWords; /* W */
    uint32_t timeWords; /* 2 with E */
    uint32_t energyWords;
    bool waveforms;
    bool dualTrace;
    uint32_t shift;
    int32_t probes[DPPL_TRACE_SLOTS];
    uint32_t analog0Code, analog1Code;
};

constexpr uint32_t kSpecialEventWords = 3;

/* Whether the event whose first word is a is a multichannel-scaling or a
 * real-time/dead-time special event (3 words, no samples). */
bool isShortSpecial(const AggregateFormat& f, uint32_t a) {
    if (f.timeWords == 0 || (a & (1u << 30)) == 0)
        return false;
    uint32_t type = (a >> 16) & 0x3FFF;
    return type == 0 || type == 1 || type == 3;
}

uint32_t wordsOfEvent(const AggregateFormat& f, uint32_t a, uint32_t eventWords) {
    return isShortSpecial(f, a) ? kSpecialEventWords : eventWords;
}

int probeCodes(c_Digitizer_t* d, uint32_t format, AggregateFormat* f) {
    uint32_t a0 = (format >> 22) & 0x3, a1 = (format >> 20) & 0x3, d0 = (format >> 16) & 0xF;
    uint32_t a1Value = a1 * 4 + (f->dualTrace ? 512 : 0);
    int c0 = MORVANE_ProbeCode(0, a0);
    int c1 = MORVANE_ProbeCode(1, a1Value);
    int c3 = MORVANE_ProbeCode(2, d0 * 16);
    if (c0 < 0 || c1 < 0 || c3 < 0) {
        BLOG(d, C_LOG_ERROR, "Invalid trace (probe selectors %u, %u, %u).", (unsigned)a0, (unsigned)a1Value,
             (unsigned)(d0 * 16));
        return DPPL_ERR_INVALID_TRACE;
    }
    for (int i = 0; i < DPPL_TRACE_SLOTS; ++i)
        f->probes[i] = 0;
    f->probes[0] = c0;
    f->probes[1] = f->dualTrace ? c1 : 0;
    f->probes[3] = c3;
    f->probes[4] = MORVANE_ProbeCode(3, 0);
    f->analog0Code = (uint32_t)c0;
    f->analog1Code = (uint32_t)f->probes[1];
    return 0;
}

int16_t analogSample(uint32_t raw14, bool unsignedCode, bool times4) {
    int32_t v = unsignedCode ? (int32_t)raw14 : (int32_t)((raw14 ^ 0x2000u) - 0x2000u);
    if (times4)
        v *= 4;
    return (int16_t)v;
}

/* Writes the W waveform words into the event's traces: 0 or -39 when the
 * traces are shorter than the waveform. */
int decodeWaveform(c_Digitizer_t* d, uint32_t ch, const uint32_t* words, const AggregateFormat& f, c_Waveform_t* w) {
    uint32_t samples = 2 * f.waveWords;
    const int slots[4] = {0, 1, 3, 4};
    for (int s : slots) {
        w->traces[s].probe = f.probes[s];
        if (w->traces[s].samples != NULL && w->traces[s].capacity < samples) {
            BLOG(d, C_LOG_ERROR, "[%u] Waveform of %u samples exceeds the %u samples allocated.", (unsigned)ch,
                 (unsigned)samples, (unsigned)w->traces[s].capacity);
            return DPPL_ERR_INVALID_EVENT;
        }
    }
    w->nSamples = samples;
    int16_t* a0 = (int16_t*)w->traces[0].samples;
    int16_t* a1 = (int16_t*)w->traces[1].samples;
    uint8_t* d0 = (uint8_t*)w->traces[3].samples;
    uint8_t* d1 = (uint8_t*)w->traces[4].samples;
    bool a0Unsigned = f.analog0Code == 1, a0Times4 = f.analog0Code == 4;
    bool a1Unsigned = f.analog1Code == 1, a1Times4 = f.analog1Code == 5 || f.analog1Code == 8;
    for (uint32_t k = 0; k < f.waveWords; ++k) {
        uint32_t word = words[k];
        uint32_t lo = word & 0x3FFF, hi = (word >> 16) & 0x3FFF;
        if (f.dualTrace) {
            int16_t v0 = analogSample(hi, a0Unsigned, a0Times4);
            int16_t v1 = analogSample(lo, a1Unsigned, a1Times4);
            if (a0)
                a0[2 * k] = a0[2 * k + 1] = v0;
            if (a1)
                a1[2 * k] = a1[2 * k + 1] = v1;
        } else {
            if (a0) {
                a0[2 * k] = analogSample(lo, a0Unsigned, a0Times4);
                a0[2 * k + 1] = analogSample(hi, a0Unsigned, a0Times4);
            }
            if (a1)
                a1[2 * k] = a1[2 * k + 1] = 0;
        }
        if (d0) {
            d0[2 * k] = (word >> 14) & 1;
            d0[2 * k + 1] = (word >> 30) & 1;
        }
        if (d1) {
            d1[2 * k] = (word >> 15) & 1;
            d1[2 * k + 1] = (word >> 31) & 1;
        }
    }
    return 0;
}

/* Event flags of the energy word's upper half; the roll-over counter moves
 * with bits 1 and 2. */
uint32_t energyFlags(uint32_t bits, c_ChannelRecord_t* channel) {
    uint32_t flags = 0;
    if (bits & (1u << 0))
        flags |= 0x1;
    if (bits & (1u << 1)) {
        flags |= 0x2;
        channel->rollOver1++;
    }
    if (bits & (1u << 2)) {
        flags |= 0x4;
        channel->rollOver1 = 0;
    }
    if (bits & (1u << 3))
        flags |= 0x8;
    if (bits & (1u << 4))
        flags |= 0x400;
    if (bits & (1u << 6))
        flags |= 0x80;
    if (bits & (1u << 7))
        flags |= 0x20000;
    if (bits & (1u << 10))
        flags |= 0x8000;
    if (bits & (1u << 11))
        flags |= 1u << 18;
    return flags;
}

/* A real-time / dead-time special event: adds to the channel's sums. */
void addTimeSums(c_Digitizer_t* d, uint32_t ch, uint64_t realCount, uint64_t deadCount) {
    c_MorvaneChannel_t* sums = NULL;
    if (sumsOf(d->handle, ch, &sums) != 0)
        return;
    double period = d->descriptor.SamplePeriod;
    c_ticket_lock(&sums->lock);
    sums->realTime += (uint64_t)((double)realCount * period);
    sums->deadTime += (uint64_t)((double)deadCount * period);
    c_ticket_unlock(&sums->lock);
}

void stampEvent(c_Digitizer_t* d, uint32_t ch, c_DPPEvent_t* event, uint64_t rawTime) {
    c_ChannelRecord_t* channel = &d->channels[ch];
    channel->lastRawTimeTag = rawTime;
    uint32_t tagBits = d->descriptor.TimeTagBits < 63 ? d->descriptor.TimeTagBits : 63;
    uint64_t periodPs = (uint64_t)(d->descriptor.SamplePeriod * 1000.0);
    uint64_t stamp = (rawTime + channel->rollOver1 * ((uint64_t)1 << tagBits)) * periodPs;
    GENERIC_FillReadCache(d, ch, READCACHE_BASE);
    stamp += channel->readCache.timeOffsetPs;
    event->timeStamp = stamp;
    d->evtCount[ch]++;
    if (event->flags & EVTFLAG_PSEUDO)
        d->evtCount2[ch]++;
    d->lastChTimeStamp[ch] = stamp;
    if (stamp > d->maxTimeStamp) {
        d->maxTimeStamp = stamp;
        d->lastTimeStamp = stamp;
    }
}

} // namespace

extern "C" {

/* ================================================================= read */

int XMOR_DGTZ_ReadData(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_ReadoutBuffer_t* buffer = &d->roBuffer;
    if (buffer->ROBuf == NULL || buffer->ROAllocSize == 0)
        return DPPL_ERR_DIGITIZER_NOT_OPEN;
    c_MorvaneDevice_t* dev = slotOf(d->handle);
    if (dev == NULL)
        return MORVANE_ERR_INVALID_SLOT;
    /* A transfer ends after the aggregates per block transfer (one with
     * waveforms), whatever the board still holds: the read goes on with the
     * next transfer while the buffer has room, and ends with the first that
     * brings nothing. One aggregate a read would cap the readout at one read
     * per cycle of the caller, and a caller slower than the board loses the
     * rest to a full board memory. */
    uint32_t bytes = 0;
    for (;;) {
        uint32_t words = (buffer->ROAllocSize - bytes) / 4;
        if (words > 0x200000u)
            words = 0x200000u;
        if (words == 0) {
            if (bytes == 0)
                return MORVANE_ERR_OUT_OF_MEMORY;
            break; /* the buffer is full */
        }
        uint32_t got = 0;
        int r = ZarnComm_BLTRead(dev->commHandle, 0, buffer->ROBuf + bytes, words, &got);
        if (got > words)
            got = words;
        if ((r == 0 || r == ZARN_COMM_NoMoreData) && got > 0) {
            bytes += 4 * got;
            continue;
        }
        if (r == 0 || r == ZARN_COMM_NoMoreData)
            break;
        buffer->ROBytes = 0;
        return MORVANE_ERR_FLASH;
    }
    buffer->ROBytes = bytes;
    return 0;
}

/* ============================================================= decoding */

int MORVANE_ProbeCode(int kind, uint32_t value) {
    switch (kind) {
    case 0: {
        static const int kAnalog0[6] = {1, 34, 33, 4, 2, 3};
        return value < 6 ? kAnalog0[value] : DPPL_ERR_INVALID_TRACE;
    }
    case 1:
        switch (value) {
        case 0: return 0;
        case 512: return 1;
        case 516: return 6;
        case 520: return 8;
        case 524: return 5;
        default: return DPPL_ERR_INVALID_TRACE;
        }
    case 2: {
        static const int kDigital0[16] = {13, 10, 11, 23, 12, 22, 14, 15, 13, 17, 18, 19, 27, 37, 38, 39};
        return value % 16 == 0 && value / 16 < 16 ? kDigital0[value / 16] : DPPL_ERR_INVALID_TRACE;
    }
    case 3: return 26;
    default: return -32;
    }
}

int MORVANE_DecodeChannelAggregate(c_Digitizer_t* d, uint32_t* aggregate, uint32_t counts[64]) {
    if (d == NULL || aggregate == NULL || counts == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if ((aggregate[0] & (1u << 30)) == 0) {
        BLOG(d, C_LOG_ERROR, "Invalid channel aggregate header word 0x%x", aggregate[0]);
        return DPPL_ERR_INVALID_EVENT;
    }
    AggregateFormat f{};
    f.size = aggregate[0] & kAggregateSizeMask;
    if (f.size < 2 || f.size > kWalkedSizeMask) {
        BLOG(d, C_LOG_ERROR, "Invalid channel aggregate size %u", (unsigned)f.size);
        return DPPL_ERR_INVALID_EVENT;
    }
    uint32_t format = aggregate[1];
    f.waveWords = format & 0xFFFF;
    f.timeWords = (format >> 28) & 1 ? 2 : 0;
    f.energyWords = (format >> 29) & 1;
    f.waveforms = (format >> 30) & 1;
    f.dualTrace = (format >> 31) & 1;
    f.shift = (format >> 24) & 0x3;
    if (!f.waveforms && f.waveWords != 0) {
        /* Waveform words that the events would not carry: the walk would go astray. */
        BLOG(d, C_LOG_ERROR, "Waveform length %u without waveforms in the header", (unsigned)f.waveWords);
        return DPPL_ERR_INVALID_EVENT;
    }
    uint32_t eventWords = f.waveWords + f.energyWords + f.timeWords;
    const GENERIC_DecoderPlace_t at = GENERIC_BoardPlace(&CBoard_Morvane_log, d);
    if (eventWords == 0)
        return GENERIC_RefuseEmptyEvents(at);
    /* Special events take 3 words whatever the others take: the events are
     * counted by walking them, and the walk must end at the aggregate's end. */
    uint32_t n = 0, end = 2;
    while (end < f.size) {
        end += wordsOfEvent(f, aggregate[end], eventWords);
        n++;
    }
    if (end != f.size)
        return GENERIC_RefuseEventCount(at, f.size, true);
    if (f.waveforms) {
        int code = probeCodes(d, format, &f);
        if (code != 0)
            return code;
    }
    uint32_t position = 2;
    for (uint32_t e = 0; e < n; ++e) {
        uint32_t a = aggregate[position];
        uint32_t ch = a >> 31;
        c_ChannelRecord_t* channel = &d->channels[ch];
        uint32_t room = channel->capacity > counts[ch] ? channel->capacity - counts[ch] : 0;
        if ((e == 0 && room < n) || room == 0 || channel->events == NULL)
            return GENERIC_RefuseEventRoom(at, e == 0 ? n : n - e, room);
        bool special = f.timeWords != 0 && (a & (1u << 30)) != 0;
        uint32_t type = (a >> 16) & 0x3FFF;
        bool shortSpecial = isShortSpecial(f, a);
        uint32_t consumed = shortSpecial ? kSpecialEventWords : eventWords;
        c_DPPEvent_t* event = &channel->events[counts[ch]];
        event->flags = 0;
        event->sizeWords = eventWords;
        uint64_t rawTime = 0;
        /* A special event carries no samples: its record must not show the
         * traces that an earlier event left in it. */
        if (shortSpecial && event->waveform != NULL)
            event->waveform->nSamples = 0;
        if (special && type == 0) {
            event->flags = EVTFLAG_MCS;
            event->specialFlag = (uint8_t)((a >> 15) & 1);
            event->specialIndex = (int16_t)(a & 0x7FFF);
            event->specialWord1 = aggregate[position + 1];
            event->specialWord2 = aggregate[position + 2];
            event->energy = 0;
            event->shortCharge = 0;
        } else if (special && (type == 1 || type == 3)) {
            uint64_t realCount = aggregate[position + 1] | ((uint64_t)((a >> 8) & 0xFF) << 32);
            uint64_t deadCount = aggregate[position + 2] | ((uint64_t)(a & 0xFF) << 32);
            addTimeSums(d, ch, realCount, deadCount);
            event->flags = 0x10008;
            event->energy = 0;
            event->shortCharge = 0;
            rawTime = realCount;
        } else {
            const uint32_t* word = &aggregate[position];
            if (f.timeWords != 0) {
                uint64_t high = special ? (a & 0xFFFF) : (a & 0x3FFFFFFF);
                rawTime = ((high << 32) | word[1]) << f.shift;
                word += 2;
            }
            c_Waveform_t* w = event->waveform;
            if (f.waveforms && w != NULL) {
                int code = decodeWaveform(d, ch, word, f, w);
                if (code != 0)
                    return code;
            } else if (!f.waveforms && w != NULL) {
                w->nSamples = 0;
            }
            word += f.waveWords;
            event->shortCharge = 0;
            event->energy = 0;
            if (f.energyWords != 0) {
                uint32_t energy = *word & 0xFFFF;
                event->energy = (uint16_t)(energy >= 0x8000 ? 0x7FFF : energy);
                event->flags = energyFlags(*word >> 16, channel);
            }
        }
        counts[ch]++;
        stampEvent(d, ch, event, rawTime);
        position += consumed;
    }
    return 0;
}

} // extern "C"
