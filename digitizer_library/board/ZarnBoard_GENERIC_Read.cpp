/* ZarnBoard_GENERIC_Read: the read path and the aggregate walkers; each read starts a new serial of the per-read parameter cache. */
#include "ZarnBoard_GENERIC.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "CBoard_Morvane.h"
#include "CBoard_Scope.h"
#include "ZarnBoardAccess.h"
#include "ZarnBoard_GENERICShared.h"
#include "ZarnComm.h"
#include "ZarnDigitizer.h"
#include "ZarnFirmwareTable.h"
#include "ZarnParameters.h"
#include "ZarnROBuffDumperRecords.h"
#include "ZarnReplayDamage.h"

static const c_LogModule_t ZarnBoard_GENERIC_log = {"ZarnBoard_GENERICLog.txt", "ZarnBoard_GENERIC_Read"};

#define ALOG(digitizer, level, ...) \
    c_extendedLogMsg(&ZarnBoard_GENERIC_log, (digitizer), (level), __LINE__, __VA_ARGS__)

namespace {

constexpr uint32_t kMaxBlockWords = 0x200000;
constexpr uint32_t kIrqWaitMs = 100;
constexpr uint32_t kBoardAggregateSizeMask = 0x0FFFFFFF;
constexpr uint32_t kMaskBits = 8;

uint32_t acqGroups(const c_Digitizer_t* d) {
    return d->descriptor.NumGroups < DPPL_MAX_GROUPS ? d->descriptor.NumGroups : DPPL_MAX_GROUPS;
}

/* ------------------------------------------------------------ read path */

/* The recording step of a read: appends the buffer just read to the
 * writer's raw-data file while dumpEnabled is set. A failed write never
 * fails the read: the dumper logs the first one and keeps it, and the close
 * that ends the recording reports it. */
int appendBufferToRawDataFile(c_Digitizer_t* d) {
    c_bddumpbuffer(d);
    return 0;
}

/* One data record of the replayed file; its end signals the end of the run. */
int readFileRecord(c_Digitizer_t* d) {
    int code = c_bdreadrecord(&d->reader, &d->roBuffer, d->descriptor.FamilyCode);
    return code == BD_END_OF_FILE ? GENERIC_SignalEndOfRun(d) : code;
}

/* The words that one block read may ask for: what is left of the buffer. */
uint32_t blockWords(const c_ReadoutBuffer_t* buffer, uint32_t bytes) {
    uint32_t words = (buffer->ROAllocSize - bytes) / 4;
    return words < kMaxBlockWords ? words : kMaxBlockWords;
}

/* ------------------------------------------------------------ walkers */

/*
 * Walks the board aggregates of the buffer. Every size is checked against
 * the words read before it is used: a board aggregate must hold its header
 * and fit the buffer, a channel aggregate must hold at least its size word
 * and fit its board aggregate, so a corrupted size can neither read past the
 * buffer nor stall the walk. decodeUnit(k, aggregate) decodes the unit of
 * mask bit k. With deviceRules (the register-level device) an aggregate of
 * mask 0 is skipped and the mask scan ends when the aggregate is used up.
 */
template <typename DecodeUnit>
int walkBoardAggregates(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer, uint32_t sizeMask, uint32_t units,
                        bool deviceRules, DecodeUnit&& decodeUnit) {
    uint32_t bytes = buffer->ROBytes < buffer->ROAllocSize ? buffer->ROBytes : buffer->ROAllocSize;
    const uint32_t words = bytes / 4;
    if (words == 0)
        return 0;
    if (buffer->ROBuf == NULL) {
        ALOG(d, C_LOG_ERROR, "Readout buffer holds %u bytes but has no memory.", bytes);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    uint32_t* data = (uint32_t*)buffer->ROBuf;
    if (units > kMaskBits)
        units = kMaskBits;
    uint32_t position = 0;
    /* A buffer of 4 words or fewer holds nothing, and neither does the tail
     * of 4 words or fewer after the last aggregate. */
    while (position + 4 < words) {
        uint32_t size = data[position] & kBoardAggregateSizeMask;
        uint32_t mask = data[position + 1] & 0xFFu;
        if (deviceRules && mask == 0) {
            position += 4;
            continue;
        }
        if (size < 4 || size > words - position) {
            ALOG(d, C_LOG_ERROR, "Board aggregate of %u words at word %u does not fit the %u words read.", size,
                 position, words);
            ALOG(d, C_LOG_ERROR, "End of Aggregate not met.");
            return DPPL_ERR_INVALID_EVENT;
        }
        const uint32_t end = position + size;
        position += 4;
        for (uint32_t k = 0; k < units; ++k) {
            if ((mask & (1u << k)) == 0)
                continue;
            if (deviceRules && position == end)
                break;
            uint32_t unitSize = position < end ? data[position] & sizeMask : 0;
            if (unitSize == 0 || unitSize > end - position) {
                ALOG(d, C_LOG_ERROR, "Aggregate of unit %u (%u words) at word %u does not fit its board aggregate.",
                     (unsigned)k, unitSize, position);
                ALOG(d, C_LOG_ERROR, "End of Aggregate not met.");
                return DPPL_ERR_INVALID_EVENT;
            }
            int code = decodeUnit(k, &data[position]);
            if (code != 0) {
                ALOG(d, C_LOG_ERROR, "can't decode aggregate [ERR %i]", code);
                return code;
            }
            position += unitSize;
        }
        if (position != end) {
            ALOG(d, C_LOG_ERROR, "End of Aggregate not met.");
            return DPPL_ERR_INVALID_EVENT;
        }
    }
    return 0;
}

int noDecoder(c_Digitizer_t* d) {
    ALOG(d, C_LOG_ERROR, "No decoder for DPP code %d.", (int)d->descriptor.DPPCode);
    return DPPL_ERR_INVALID_DPP_CODE;
}

/* A decoder that reports more events than it was given room for. */
int decoderOverflow(c_Digitizer_t* d, uint32_t ch, int64_t decoded, uint32_t freeSlots) {
    ALOG(d, C_LOG_ERROR, "[%u] Decoder reported %lld events for %u free slots.", (unsigned)ch, (long long)decoded,
         freeSlots);
    return DPPL_ERR_EVENT_BUFFER_OVERFLOW;
}

void storeCounts(c_Digitizer_t* d, const uint32_t* counts, uint32_t channels) {
    for (uint32_t ch = 0; ch < channels; ++ch)
        d->channels[ch].nEvents = counts[ch];
}

c_DPPEvent_t* firstFree(c_ChannelRecord_t* channel, uint32_t count) {
    return channel->events != NULL ? channel->events + count : NULL;
}

uint32_t freeSlots(const c_ChannelRecord_t* channel, uint32_t count) {
    return channel->capacity > count ? channel->capacity - count : 0;
}

/* Adds the events a decoder reports for a channel to the channel's count of
 * this read; a report beyond the room it was given is an overflow. */
int addDecoded(c_Digitizer_t* d, uint32_t ch, int64_t decoded, uint32_t room, uint32_t* count) {
    if (decoded < 0 || decoded > (int64_t)room)
        return decoderOverflow(d, ch, decoded, room);
    *count += (uint32_t)decoded;
    return 0;
}

/* The decoder of the record's firmware in the firmware-table column member,
 * and the firmware's channel aggregate size mask; NULL when there is none. */
template <typename Decoder>
Decoder firmwareDecoder(const c_Digitizer_t* d, Decoder ZarnFirmware_t::*member, uint32_t* sizeMask) {
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL)
        return NULL;
    *sizeMask = firmware->sizeMask;
    return firmware->*member;
}

/* What every walker does around its units: a fresh read cache, the events of
 * this read counted per channel from 0, the walk, and the counts of the first
 * countedChannels channels stored in their records once the whole buffer has
 * decoded. decodeUnit(k, aggregate, counts) decodes the unit of mask bit k. */
template <typename DecodeUnit>
int walkCountingEvents(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer, uint32_t sizeMask, uint32_t units, bool deviceRules,
                       uint32_t countedChannels, DecodeUnit&& decodeUnit) {
    GENERIC_InvalidateReadCache(d);
    uint32_t counts[DPPL_MAX_CHANNELS] = {0};
    int code = walkBoardAggregates(d, buffer, sizeMask, units, deviceRules,
                                   [&](uint32_t k, uint32_t* aggregate) { return decodeUnit(k, aggregate, counts); });
    if (code == 0)
        storeCounts(d, counts, countedChannels);
    return code;
}

/* The walker of the record's firmware over the buffer. */
int walkBuffer(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    const ZarnFirmware_t* firmware = ZarnFirmware_Find(d->descriptor.DPPCode);
    if (firmware == NULL)
        return noDecoder(d);
    switch (firmware->walker) {
    case ZARN_WALKER_SCOPE: return SCOPE_GetEvents(d, buffer);
    case ZARN_WALKER_CHANNEL: return GENERIC_GetEvents_Channel(d, buffer);
    case ZARN_WALKER_COUPLE: return GENERIC_GetEvents_Couple(d, buffer);
    case ZARN_WALKER_GROUP: return GENERIC_GetEvents_Group(d, buffer);
    case ZARN_WALKER_XMOR: return GENERIC_GetEvents_XMOR(d, buffer);
    }
    return noDecoder(d);
}

/* A replayed record whose aggregates don't decode is lost alone: the reader
 * already stands at the next record, which the next read takes. Its events
 * are not delivered (the counts of the read stay unstored). */
void noteUndecodedRecord(c_Digitizer_t* d, const c_ReadoutBuffer_t* buffer, int code) {
    char why[64];
    snprintf(why, sizeof why, "its aggregates don't decode (error %d).", code);
    ZarnReplay_NoteDamaged(&d->reader, ZarnReplay_LastRecordAt(&d->reader, buffer->ROBytes), why, false);
}

} // namespace

/* ------------------------------------------------------------ read path */

int GENERIC_ReadData(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    d->roBuffer.ROBytes = 0; /* nothing read yet: never report an earlier read's bytes */
    int code = ZarnAccess_OfData(d)->read(d);
    if (code == 0)
        appendBufferToRawDataFile(d);
    return code;
}

int GENERIC_AccessReadLive(c_Digitizer_t* d) { return GENERIC_ReadData_Board(d); }

int GENERIC_AccessReadReplay(c_Digitizer_t* d) { return GENERIC_ReadData_File(d); }

int GENERIC_ReadFlushedData(c_Digitizer_t* d, int handle) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t bytes = 0;
    int outside = ZARN_DGTZ_ReadData(handle, 0, d->roBuffer.ROBuf, &bytes);
    if (outside != 0) {
        ALOG(d, C_LOG_ERROR, "Error in ZARN_DGTZ_ReadData: %d", outside);
        return DPPL_ERR_DIGITIZER_API;
    }
    if (bytes > d->roBuffer.ROAllocSize) {
        ALOG(d, C_LOG_ERROR, "ZARN_DGTZ_ReadData reported %u bytes for a buffer of %u.", bytes,
             d->roBuffer.ROAllocSize);
        return DPPL_ERR_READ_DATA;
    }
    d->roBuffer.ROBytes = bytes;
    /* Recorded like every other buffer: a replay must see all the board gave. */
    appendBufferToRawDataFile(d);
    return 0;
}

int GENERIC_ReadData_Board(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    c_ReadoutBuffer_t* buffer = &d->roBuffer;
    if (buffer->ROBuf == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    const int32_t link = d->descriptor.CommHandle;
    int result = 0;
    bool noData = false;
    if (d->irqWait) {
        int code = ZarnComm_IRQWait(link, kIrqWaitMs);
        if (code != 0 && code != ZARN_COMM_Timeout) {
            ALOG(d, C_LOG_ERROR, "Error (%i) in ZarnComm_IRQWait(...)", code);
            result = DPPL_ERR_READ_DATA;
        }
        noData = code != 0; /* no interrupt: no data */
    }
    uint32_t bytes = 0;
    while (!noData) {
        uint32_t words = blockWords(buffer, bytes);
        if (words == 0) {
            /* The buffer is full of whole aggregates: keep them; what the
             * board still holds comes with the next read. */
            ALOG(d, C_LOG_DETAIL, "Readout buffer filled (%u B); the rest stays for the next read.",
                 buffer->ROAllocSize);
            break;
        }
        uint32_t got = 0;
        int code = ZarnComm_MBLTRead(link, 0, buffer->ROBuf + bytes, words, &got);
        if (got > words) {
            ALOG(d, C_LOG_ERROR, "ZarnComm_MBLTRead(...) reported %u words for a read of %u.", got, words);
            got = words;
        }
        bytes += got * 4;
        if (code == ZARN_COMM_NoMoreData)
            break;
        if (code != 0) {
            ALOG(d, C_LOG_ERROR, "Error (%i) in ZarnComm_MBLTRead(...). handle=%i", code, (int)d->handle);
            result = DPPL_ERR_READ_DATA;
            break;
        }
        if (got == 0) /* a read that brings nothing ends the transfer like -13 */
            break;
    }
    buffer->ROBytes = bytes;
    if (bytes > 0)
        return result;
    int check = GENERIC_CheckAutoShutdown(d);
    if (check == 0)
        check = GENERIC_CheckPLLLock(d);
    return result != 0 ? result : check;
}

int GENERIC_ReadData_File(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = readFileRecord(d);
    if (code != 0) {
        d->roBuffer.ROBytes = 0;
        ALOG(d, C_LOG_ERROR, "GENERIC_ReadData_File exits with error %i", code);
    }
    return code;
}

int GENERIC_SignalEndOfRun(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        c_Parameter_t* enable = _pretrieve(d->channels[ch].coll, DPPL_PARAM_CH_ENABLED);
        if (enable == NULL) {
            ALOG(d, C_LOG_ERROR, "Can't get Channel Enable parameter.");
            return DPPL_ERR_NULL_ARGUMENT;
        }
        if (enable->value != 0.0 && d->channels[ch].endOfRun == 0)
            d->channels[ch].endOfRun = 1;
    }
    return 0;
}

void GENERIC_ClearEventWaveforms(c_DPPEvent_t* event) {
    if (event == NULL || event->waveform == NULL)
        return;
    c_Waveform_t* w = event->waveform;
    static const int kSlots[] = {0, 1, 3, 4, 5, 6, 7};
    uint32_t largest = 0;
    for (int slot : kSlots) {
        c_Trace_t* t = &w->traces[slot];
        if (t->samples == NULL)
            continue;
        memset(t->samples, 0, (size_t)t->capacity * (slot < DPPL_ANALOG_TRACES ? sizeof(int16_t) : sizeof(uint8_t)));
        if (t->capacity > largest)
            largest = t->capacity;
    }
    w->nSamples = largest;
}

void GENERIC_MarkEndOfRun(c_Digitizer_t* d) {
    if (d == NULL)
        return;
    for (uint32_t ch = 0; ch < acqChannels(d); ++ch) {
        c_ChannelRecord_t* rec = &d->channels[ch];
        if (rec->endOfRun != 1)
            continue;
        if (rec->events != NULL && rec->nEvents > 0 && rec->nEvents <= rec->capacity) {
            rec->events[rec->nEvents - 1].flags |= EVTFLAG_END_OF_RUN;
        } else if (rec->events != NULL && rec->capacity > 0) {
            c_DPPEvent_t* e = &rec->events[0];
            c_Waveform_t* waveform = e->waveform;
            *e = c_DPPEvent_t{};
            e->waveform = waveform;
            e->flags = EVTFLAG_END_OF_RUN | EVTFLAG_PSEUDO;
            e->timeStamp = d->maxTimeStamp + 1;
            GENERIC_ClearEventWaveforms(e);
            rec->nEvents = 1;
        } else {
            ALOG(d, C_LOG_WARNING, "[%u] No event buffer to carry the end-of-run mark.", (unsigned)ch);
        }
        rec->endOfRun = 2;
    }
}

/* ------------------------------------------------------------ walkers */

int GENERIC_GetEvents_Channel(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t sizeMask = 0;
    GENERIC_ChannelDecoder_t decode = firmwareDecoder(d, &ZarnFirmware_t::channelDecoder, &sizeMask);
    if (decode == NULL)
        return noDecoder(d);
    const uint32_t channels = acqChannels(d);
    return walkCountingEvents(d, buffer, sizeMask, channels, false, channels,
                              [&](uint32_t ch, uint32_t* aggregate, uint32_t* counts) {
                                  c_ChannelRecord_t* rec = &d->channels[ch];
                                  uint32_t room = freeSlots(rec, counts[ch]);
                                  int32_t decoded = 0;
                                  int r = decode(d, ch, aggregate, room, firstFree(rec, counts[ch]), &decoded);
                                  return r != 0 ? r : addDecoded(d, ch, decoded, room, &counts[ch]);
                              });
}

int GENERIC_GetEvents_Couple(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t sizeMask = 0;
    GENERIC_CoupleDecoder_t decode = firmwareDecoder(d, &ZarnFirmware_t::coupleDecoder, &sizeMask);
    if (decode == NULL)
        return noDecoder(d);
    const uint32_t channels = acqChannels(d);
    return walkCountingEvents(d, buffer, sizeMask, channels / 2, false, channels,
                              [&](uint32_t k, uint32_t* aggregate, uint32_t* counts) {
                                  uint32_t even = 2 * k, odd = 2 * k + 1;
                                  c_ChannelRecord_t* e = &d->channels[even];
                                  c_ChannelRecord_t* o = &d->channels[odd];
                                  uint32_t evenRoom = freeSlots(e, counts[even]), oddRoom = freeSlots(o, counts[odd]);
                                  int32_t evenDecoded = 0, oddDecoded = 0;
                                  int r = decode(d, aggregate, even, evenRoom, firstFree(e, counts[even]), &evenDecoded,
                                                 odd, oddRoom, firstFree(o, counts[odd]), &oddDecoded);
                                  if (r == 0)
                                      r = addDecoded(d, even, evenDecoded, evenRoom, &counts[even]);
                                  return r != 0 ? r : addDecoded(d, odd, oddDecoded, oddRoom, &counts[odd]);
                              });
}

int GENERIC_GetEvents_Group(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t sizeMask = 0;
    GENERIC_GroupDecoder_t decode = firmwareDecoder(d, &ZarnFirmware_t::groupDecoder, &sizeMask);
    if (decode == NULL)
        return noDecoder(d);
    const uint32_t channels = acqChannels(d);
    return walkCountingEvents(
        d, buffer, sizeMask, acqGroups(d), false, channels, [&](uint32_t g, uint32_t* aggregate, uint32_t* counts) {
            uint32_t numbers[DPPL_CHANNELS_PER_GROUP], room[DPPL_CHANNELS_PER_GROUP], decoded[DPPL_CHANNELS_PER_GROUP];
            c_DPPEvent_t* first[DPPL_CHANNELS_PER_GROUP];
            for (uint32_t j = 0; j < DPPL_CHANNELS_PER_GROUP; ++j) {
                uint32_t ch = g * DPPL_CHANNELS_PER_GROUP + j;
                numbers[j] = ch;
                room[j] = ch < channels ? freeSlots(&d->channels[ch], counts[ch]) : 0;
                first[j] = ch < channels ? firstFree(&d->channels[ch], counts[ch]) : NULL;
                decoded[j] = 0;
            }
            int r = decode(d, aggregate, numbers, room, first, decoded);
            for (uint32_t j = 0; r == 0 && j < DPPL_CHANNELS_PER_GROUP; ++j)
                r = addDecoded(d, numbers[j], decoded[j], room[j], &counts[numbers[j]]);
            return r;
        });
}

int GENERIC_GetEvents_XMOR(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    uint32_t units = d->descriptor.Channels < kMaskBits ? d->descriptor.Channels : kMaskBits;
    return walkCountingEvents(d, buffer, 0x1FFFFF, units, true, units,
                              [&](uint32_t, uint32_t* aggregate, uint32_t* counts) {
                                  int r = MORVANE_DecodeChannelAggregate(d, aggregate, counts);
                                  if (r != 0)
                                      return r;
                                  for (uint32_t ch = 0; ch < DPPL_MAX_CHANNELS; ++ch)
                                      if (counts[ch] > d->channels[ch].capacity)
                                          return decoderOverflow(d, ch, counts[ch], d->channels[ch].capacity);
                                  return 0;
                              });
}

int GENERIC_GetEvents(c_Digitizer_t* d, c_ReadoutBuffer_t* buffer) {
    if (d == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    int code = walkBuffer(d, buffer);
    if (code != 0 && d->replay)
        noteUndecodedRecord(d, buffer, code);
    return code;
}

/* ---------------------------------------------- per-read parameter cache */

void GENERIC_InvalidateReadCache(c_Digitizer_t* d) {
    if (d == NULL)
        return;
    if (++d->readSerial == 0) /* 0 is the serial of a cache never filled */
        d->readSerial = 1;
}
