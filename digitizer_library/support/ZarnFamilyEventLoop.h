/*
 * ZarnFamilyEventLoop: the per-event loop of the channel-aggregate decoders
 * whose events are laid out as [time tag] [waveform words] [extras] [charge]
 * (Vesk pulse shape and charge integration, Tilk pulse shape). The loop reads
 * an event's words, decodes its waveform and runs the software CFD on it; the
 * family's own rules turn the words into the time stamp, energy and flags.
 * A template, so that the family rules are inlined into the decoder's loop.
 */
#ifndef ZARN_FAMILY_EVENT_LOOP_H
#define ZARN_FAMILY_EVENT_LOOP_H

#include "ZarnDecoderChecks.h"
#include "ZarnFamilySupport.h"

/* The words an aggregate's events carry. */
struct GENERIC_EventLayout_t {
    bool timeTag, waves, extras, charge;
    uint32_t waveformWords; /* stepped over whether or not waves announces them */
    uint32_t eventWords;    /* the size of one event */
};

/* The layout of events whose format word has the common layout bits
 * (ZarnDecoderChecks.h), with 4 waveform words a unit. */
inline GENERIC_EventLayout_t GENERIC_EventLayoutOf(const GENERIC_FormatFlags_t& flags, uint32_t units,
                                                   uint32_t eventWords) {
    return GENERIC_EventLayout_t{flags.timeTag, flags.waves, flags.extras, flags.charge, 4 * units, eventWords};
}

/* The words of one event, 0 where the layout has none, and what the
 * software CFD found. */
struct GENERIC_EventWords_t {
    uint64_t timeTag;
    uint32_t extras;
    uint32_t charge;
    uint64_t cfdFinePs; /* the CFD's fine time; 0 when it did not run or found no crossing */
    uint32_t cfdFlags;  /* EVTFLAG_FINE_TIME when it found one, else 0 */
};

/* What the family's rules make of an event's words. */
struct GENERIC_EventFields_t {
    uint64_t timeStamp;
    uint32_t flags;
    uint16_t energy;
    int16_t shortCharge;
};

/* Whether an aggregate's waveforms get the software CFD (single-trace
 * waveforms on a channel with fine time enabled) and, when they do, its
 * settings from the read cache: 0, or the status of their look-up. */
inline int GENERIC_AggregateCFD(c_Digitizer_t* digitizer, uint32_t channel, bool waves, bool dual, bool* cfdProbe,
                                c_CFDSettings_t* cfd) {
    *cfdProbe = waves && !dual && digitizer->channels[channel].fineTimeEnabled;
    if (!*cfdProbe)
        return 0;
    const c_ReadCache_t* cache = GENERIC_ReadCache(digitizer, channel, READCACHE_BASE | READCACHE_CFD);
    if (cache->cfdStatus != 0)
        return cache->cfdStatus;
    *cfd = cache->cfd;
    return 0;
}

/* One channel of an aggregate whose events belong to several channels (a
 * channel couple, a group): where its events go and what it got. */
struct GENERIC_UnitChannel_t {
    uint32_t number;
    uint32_t freeSlots;
    c_DPPEvent_t* first;
    uint32_t count;  /* delivered so far */
    uint32_t pseudo; /* of them, pseudo events */
    bool deliver;    /* its events count (channel running or draining, or a replay) */
    uint64_t offset; /* time offset, ps */
    uint64_t lastStamp, maxStamp;
};

/* The channel's state at the start of an aggregate; a channel without an
 * event array has no free slot. A number beyond the record's channels looks
 * nothing up: the decoder refuses its events. */
inline void GENERIC_BeginUnitChannel(c_Digitizer_t* digitizer, uint32_t number, uint32_t freeSlots, c_DPPEvent_t* first,
                                     GENERIC_UnitChannel_t* c) {
    c->number = number;
    c->freeSlots = first != NULL ? freeSlots : 0;
    c->first = first;
    c->count = c->pseudo = 0;
    c->lastStamp = c->maxStamp = 0;
    c->deliver = true;
    c->offset = 0;
    if (number >= DPPL_MAX_CHANNELS)
        return;
    const c_ReadCache_t* cache = GENERIC_ReadCache(digitizer, number, READCACHE_BASE);
    c->deliver =
        digitizer->replay || !cache->hasAcqRun || cache->acqRun == 1.0 || GENERIC_IsDraining(digitizer, number);
    c->offset = cache->timeOffsetPs;
}

/* Where the channel's next event goes: its next free slot; scratch when the
 * channel delivers nothing and has no room (the event is decoded for its
 * time-tag state only); NULL, logged to the decoder's log record, when it
 * would pass the free slots. */
inline c_DPPEvent_t* GENERIC_UnitTarget(const c_LogModule_t* log, c_Digitizer_t* digitizer, GENERIC_UnitChannel_t* c,
                                        c_DPPEvent_t* scratch) {
    if (c->count < c->freeSlots)
        return &c->first[c->count];
    if (!c->deliver)
        return scratch;
    GENERIC_RefuseEventRoom(GENERIC_ChannelPlace(log, digitizer, c->number), c->count + 1, c->freeSlots);
    return NULL;
}

/* Counts a decoded event when its channel delivers. */
inline void GENERIC_DeliverUnitEvent(GENERIC_UnitChannel_t* c, uint64_t stamp, bool pseudo) {
    if (!c->deliver)
        return;
    c->count++;
    c->pseudo += pseudo ? 1 : 0;
    c->lastStamp = stamp;
    if (stamp > c->maxStamp)
        c->maxStamp = stamp;
}

/* The bookkeeping of what the channel got from the aggregate. */
inline void GENERIC_AccountUnitChannel(c_Digitizer_t* digitizer, const GENERIC_UnitChannel_t& c) {
    if (c.number < DPPL_MAX_CHANNELS)
        GENERIC_AccountEvents(digitizer, c.number, c.count, c.pseudo, c.lastStamp, c.maxStamp);
}

/* Decodes `events` events from word on into first[0], first[1]...:
 * decodeWaveform(event, waveformWords) fills the event's traces (a status
 * other than 0 stops the loop and is returned); the software CFD runs on each
 * decoded waveform when cfd is not NULL; makeFields(const
 * GENERIC_EventWords_t&) gives the event's fields. *lastStamp and *maxStamp
 * receive the last and the largest time stamp. */
template <typename DecodeWaveform, typename MakeFields>
inline int GENERIC_DecodeEvents(c_Digitizer_t* digitizer, uint32_t channel, const uint32_t* word, uint32_t events,
                                c_DPPEvent_t* first, const GENERIC_EventLayout_t& layout, const c_CFDSettings_t* cfd,
                                DecodeWaveform&& decodeWaveform, MakeFields&& makeFields, uint64_t* lastStamp,
                                uint64_t* maxStamp) {
    /* Where each word sits within an event: every event has the same size,
     * so the step from one event to the next is the same too. */
    const uint32_t waveformAt = layout.timeTag ? 1 : 0;
    const uint32_t extrasAt = waveformAt + layout.waveformWords;
    const uint32_t chargeAt = extrasAt + (layout.extras ? 1 : 0);
    const uint32_t stride = chargeAt + (layout.charge ? 1 : 0);
    uint64_t last = 0, largest = 0;
    c_DPPEvent_t* const end = first + events;
    for (c_DPPEvent_t* e = first; e != end; ++e, word += stride) {
        GENERIC_EventWords_t words = {0, 0, 0, 0, 0};
        words.timeTag = layout.timeTag ? word[0] : 0;
        if (layout.waves) {
            int code = decodeWaveform(e, word + waveformAt);
            if (code != 0)
                return code;
            int64_t cfdTime = -1;
            if (cfd != NULL && GENERIC_ApplySoftwareCFD(digitizer, channel, cfd, e, &cfdTime) && cfdTime >= 0) {
                words.cfdFinePs = (uint64_t)cfdTime;
                words.cfdFlags = EVTFLAG_FINE_TIME;
            }
        } else if (e->waveform != NULL) {
            e->waveform->nSamples = 0;
        }
        /* The size counts the waveform words whether or not they are
         * announced: the later words sit after them in either case. */
        words.extras = layout.extras ? word[extrasAt] : 0;
        words.charge = layout.charge ? word[chargeAt] : 0;
        const GENERIC_EventFields_t fields = makeFields(words);
        GENERIC_FillEvent(e, fields.energy, fields.shortCharge, fields.timeStamp, fields.flags, layout.eventWords);
        last = fields.timeStamp;
        if (last > largest)
            largest = last;
    }
    *lastStamp = last;
    *maxStamp = largest;
    return 0;
}

#endif
