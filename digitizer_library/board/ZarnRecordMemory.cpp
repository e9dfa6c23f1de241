/*
 * ZarnRecordMemory: what the library allocates for a digitizer record
 * besides its parameters' own records: the reset, the buffers (readout
 * buffer, event arrays with their waveforms and CFD work areas, the scope
 * event headers) sized from the parameters, their reallocation and release,
 * the release of the parameter collections, and the channel enables the
 * sizing follows. Its messages go to "ZarnDPPLayerLog.txt", as the
 * interface's.
 */
#include "ZarnRecordMemory.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "CBoard_Morvane.h"
#include "CBoard_Scope.h"
#include "ZarnBoardAccess.h"
#include "ZarnComm.h"
#include "ZarnDigitizer.h"
#include "ZarnFirmwareTable.h"
#include "ZarnParameters.h"
#include "ZarnParameters_Collections.h"
#include "ZarnRecordQueries.h"
#include "ZarnTypes_Status.h"

namespace {

/* Register of the register-level device that holds how many aggregates one
 * readout may bring. */
const uint32_t kMorvaneAggregatesRegister = 0xEF1C;
const uint64_t kMaxReadoutBytes = 0xFFFFFFFFull;

/* A parameter value as a count: NaN, negative values and fractions below 1
 * give 0, values beyond 32 bits the largest count. */
uint64_t valueAsCount(double value) {
    if (!(value >= 1.0))
        return 0;
    if (value >= 4294967295.0)
        return 0xFFFFFFFFull;
    return (uint64_t)value;
}

/* ------------------------------------------------ buffer sets */

/* The buffers of one channel, moved out of (or into) its record. */
struct ChannelBuffers {
    c_DPPEvent_t* events;
    uint32_t nEvents;
    uint32_t capacity;
    uint8_t waveformsAllocated;
    double* cfdWork;
    uint32_t cfdCapacity;
};

/* Every buffer of a record: the reallocations build the new set in the record
 * while the old one waits here, so that a failure can put the old one back. */
struct BufferSet {
    c_ReadoutBuffer_t readout;
    ChannelBuffers channels[DPPL_MAX_CHANNELS];
    c_ScopeEvent_t* scopeItems;
    uint32_t scopeEvents;
    uint32_t scopeCapacity;
};

void takeBuffers(c_Digitizer_t* digitizer, BufferSet* set) {
    *set = BufferSet{};
    set->readout = digitizer->roBuffer;
    digitizer->roBuffer = c_ReadoutBuffer_t{};
    for (int ch = 0; ch < DPPL_MAX_CHANNELS; ch++) {
        c_ChannelRecord_t* channel = &digitizer->channels[ch];
        set->channels[ch] = {channel->events,  channel->nEvents,    channel->capacity, channel->waveformsAllocated,
                             channel->cfdWork, channel->cfdCapacity};
        channel->events = NULL;
        channel->nEvents = channel->capacity = 0;
        channel->waveformsAllocated = 0;
        channel->cfdWork = NULL;
        channel->cfdCapacity = 0;
    }
    if (digitizer->scope != NULL) {
        set->scopeItems = digitizer->scope->items;
        set->scopeEvents = digitizer->scope->nEvents;
        set->scopeCapacity = digitizer->scope->capacity;
        digitizer->scope->items = NULL;
        digitizer->scope->nEvents = digitizer->scope->capacity = 0;
    }
}

/* The record must hold no buffers (taken before). */
void putBuffers(c_Digitizer_t* digitizer, const BufferSet* set) {
    digitizer->roBuffer = set->readout;
    for (int ch = 0; ch < DPPL_MAX_CHANNELS; ch++) {
        c_ChannelRecord_t* channel = &digitizer->channels[ch];
        const ChannelBuffers& saved = set->channels[ch];
        channel->events = saved.events;
        channel->nEvents = saved.nEvents;
        channel->capacity = saved.capacity;
        channel->waveformsAllocated = saved.waveformsAllocated;
        channel->cfdWork = saved.cfdWork;
        channel->cfdCapacity = saved.cfdCapacity;
    }
    if (digitizer->scope != NULL) {
        digitizer->scope->items = set->scopeItems;
        digitizer->scope->nEvents = set->scopeEvents;
        digitizer->scope->capacity = set->scopeCapacity;
    }
}

void freeEvents(c_DPPEvent_t* events, uint32_t capacity) {
    if (events == NULL)
        return;
    for (uint32_t i = 0; i < capacity; i++)
        _freeWaveforms(&events[i]);
    c_free(events);
}

/* Gives a readout buffer back to whoever allocated it. */
void releaseReadoutBuffer(const c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer) {
    if (buffer->ROBuf != NULL) {
        uint8_t allocator = buffer->allocator;
        if (allocator == ROBUF_ALLOC_NONE) /* filled by hand: the rule of the record kind */
            allocator = ZarnAccess_OfData(digitizer)->readoutAllocator;
        if (allocator == ROBUF_ALLOC_LIBRARY) {
            c_free(buffer->ROBuf);
        } else {
            int result = ZARN_DGTZ_FreeReadoutBuffer(&buffer->ROBuf);
            if (result != 0)
                c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__,
                                 "Error in GENERIC_FreeReadoutBuffer: ZarnDigitizer error %d", result);
        }
    }
    *buffer = c_ReadoutBuffer_t{};
}

/* Frees every buffer of the set. A replay record whose readout buffer claims
 * a size but has no memory reports -13; everything else is freed anyway. */
int freeBufferSet(const c_Digitizer_t* digitizer, BufferSet* set) {
    int result = DPPL_OK;
    if (digitizer->replay && set->readout.ROAllocSize != 0 && set->readout.ROBuf == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Error trying to free a NULL ROBuffer");
        result = DPPL_ERR_READOUT_BUFFER;
    }
    releaseReadoutBuffer(digitizer, &set->readout);
    for (int ch = 0; ch < DPPL_MAX_CHANNELS; ch++) {
        ChannelBuffers& channel = set->channels[ch];
        freeEvents(channel.events, channel.capacity);
        c_free(channel.cfdWork);
        channel = ChannelBuffers{};
    }
    c_free(set->scopeItems);
    set->scopeItems = NULL;
    set->scopeEvents = set->scopeCapacity = 0;
    return result;
}

/* Frees what a reallocation built in the record and puts the old set back. */
void restoreBuffers(c_Digitizer_t* digitizer, BufferSet* old) {
    BufferSet partial;
    takeBuffers(digitizer, &partial);
    freeBufferSet(digitizer, &partial);
    putBuffers(digitizer, old);
}

/* Frees the events of one channel (with their waveforms) and its CFD area. */
void freeChannelEvents(c_ChannelRecord_t* channel) {
    freeEvents(channel->events, channel->capacity);
    channel->events = NULL;
    channel->nEvents = channel->capacity = 0;
    channel->waveformsAllocated = 0;
    c_free(channel->cfdWork);
    channel->cfdWork = NULL;
    channel->cfdCapacity = 0;
}
/* The current value of a board parameter that sizes buffers: 0 and the value,
 * or a status after logging "Can't find"/"Can't get". */
int readSizingParameter(c_Digitizer_t* digitizer, int32_t code, const char* codeName, double* value) {
    c_Parameter_t* param = c_pfind(digitizer, code);
    if (param == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't find %s.", codeName);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    int result = c_pget(digitizer, param, value);
    if (result != 0)
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't get %s.", codeName);
    return result;
}

/* Samples of one trace: record length over (down-sampling x sample period),
 * rounded, then up to the firmware's next whole waveform unit: a firmware
 * whose units are not the record length's steps (Tilk pulse shape: units of
 * 12 samples, steps of 8) sends the whole unit that holds the record. A
 * quotient that is not a finite, non-negative number (a zero period or
 * down-sampling, a NaN value) is refused. */
int waveformSamples(c_Digitizer_t* digitizer, const c_Parameter_t* recordLength, uint32_t* samples) {
    c_Parameter_t* downSampling = c_pfind(digitizer, DPPL_PARAM_WAVEFORM_DOWNSAMPLING);
    double factor = downSampling != NULL ? downSampling->value : 1.0;
    double period = digitizer->descriptor.SamplePeriod;
    double quotient = recordLength->value / (factor * period);
    if (!isfinite(quotient) || quotient < 0.0 || quotient >= 4294967295.0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__,
                         "Can't size waveforms: record length %f, down-sampling %f, sample period %f.",
                         recordLength->value, factor, period);
        return DPPL_ERR_PARAMETER;
    }
    uint64_t rounded = (uint64_t)llround(quotient);
    const uint64_t step = ZarnFirmware_WaveformStep(digitizer);
    rounded = (rounded + step - 1) / step * step;
    *samples = rounded <= 0xFFFFFFFFull ? (uint32_t)rounded : (uint32_t)(0xFFFFFFFFull / step * step);
    return DPPL_OK;
}

/* Allocates the readout buffer of _bfixedalloc (library allocator). */
int allocFixedReadout(c_Digitizer_t* digitizer, uint64_t bytes) {
    c_ReadoutBuffer_t* buffer = &digitizer->roBuffer;
    buffer->ROBuf = (char*)c_calloc(1, (size_t)bytes);
    if (buffer->ROBuf == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate Readout Buffer");
        return DPPL_ERR_READOUT_BUFFER;
    }
    buffer->ROAllocSize = (uint32_t)bytes;
    buffer->ROBytes = 0;
    buffer->allocator = ROBUF_ALLOC_LIBRARY;
    return DPPL_OK;
}

/* One channel's fixed-size buffers of _bfixedalloc. */
int allocFixedChannel(c_Digitizer_t* digitizer, int32_t ch, uint32_t events, uint32_t withWaveform, uint32_t samples) {
    c_ChannelRecord_t* channel = &digitizer->channels[ch];
    channel->events = (c_DPPEvent_t*)c_calloc(events, sizeof(c_DPPEvent_t));
    if (channel->events == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__,
                         "Can't allocate memory for Event Buffer.");
        return DPPL_ERR_OUT_OF_MEMORY;
    }
    channel->capacity = events;
    int result = _mallocWaveforms(digitizer, ch, withWaveform, samples);
    if (result != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate memory for waveform.");
        return result;
    }
    channel->cfdWork = (double*)c_calloc(samples, sizeof(double));
    if (channel->cfdWork == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate memory for CFD.");
        return DPPL_ERR_OUT_OF_MEMORY;
    }
    channel->cfdCapacity = samples;
    channel->nEvents = 0;
    return DPPL_OK;
}

/* The scope event buffer, where the record has one. */
int allocScopeEvents(c_Digitizer_t* digitizer) {
    if (digitizer->scope == NULL)
        return DPPL_OK;
    int result = SCOPE_AllocEventBuffer(digitizer);
    if (result != 0)
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__,
                         "Can't allocate memory for scope events.");
    return result;
}

/* Readout buffer of the register-level device: aggregate size times the
 * aggregates of one readout, plus 8 bytes. */
int allocMorvaneReadout(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer) {
    uint32_t aggregateBytes = 0, aggregates = 0;
    bool sized = XMOR_DGTZ_GetAggregateSize(digitizer->handle, &aggregateBytes) == 0 &&
                 ZarnComm_Read32(digitizer->descriptor.CommHandle, kMorvaneAggregatesRegister, &aggregates) == 0;
    uint64_t bytes = (uint64_t)aggregateBytes * aggregates + 8;
    if (sized && bytes <= kMaxReadoutBytes)
        buffer->ROBuf = (char*)c_malloc((size_t)bytes);
    if (!sized || bytes > kMaxReadoutBytes || buffer->ROBuf == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Error calling function %s(%s).",
                         "XMOR_DGTZ_MallocReadoutBuffer", "buf");
        return DPPL_ERR_DIGITIZER_API;
    }
    buffer->ROAllocSize = (uint32_t)bytes;
    buffer->allocator = ROBUF_ALLOC_LIBRARY;
    c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_INFO, __LINE__, "Allocated %u bytes for readout buffer.",
                     buffer->ROAllocSize);
    return DPPL_OK;
}

int allocDigitizerReadout(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer) {
    char* memory = NULL;
    uint32_t size = 0;
    int result = ZARN_DGTZ_MallocReadoutBuffer(digitizer->handle, &memory, &size);
    if (result != 0 || (memory == NULL && size != 0)) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Error calling function %s(%s).",
                         "ZARN_DGTZ_MallocReadoutBuffer", "&(buf->ROBuf), &(buf->ROAllocSize)");
        return DPPL_ERR_DIGITIZER_API;
    }
    buffer->ROBuf = memory;
    buffer->ROAllocSize = size;
    buffer->allocator = ROBUF_ALLOC_DIGITIZER;
    return DPPL_OK;
}

/* A channel or group enable parameter counts as on when greater than 0. */
bool enableValueOn(const c_Parameter_t* param) { return param->value > 0.0; }
} // namespace

extern "C" {

void _resetDgtz(c_Digitizer_t* digitizer) {
    if (digitizer == NULL)
        return;
    memset(digitizer, 0, sizeof *digitizer);
    digitizer->kind = DGTZ_KIND_CLOSED;
    digitizer->handle = -1;
    snprintf(digitizer->descriptor.DPPTypeName, sizeof digitizer->descriptor.DPPTypeName, "%s", "DPP-NONE");
    /* The acquisition reset of a closed record: everything stopped (0), the
     * idle flush armed from now. */
    digitizer->idleFlush = 1;
    digitizer->lastDataTime = c_get_time();
}
/* ----------------------------------------------------------- enables */

bool _isChannelEnabled(c_Digitizer_t* digitizer, int32_t channel) {
    c_Parameter_t* enable = c_pfindc(digitizer, channel, DPPL_PARAM_CH_ENABLED);
    if (enable == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, " [%i]: Can't get Channel Enable.",
                         channel);
        return false;
    }
    return enableValueOn(enable);
}

uint8_t c_isChannelEnabled(c_Digitizer_t* digitizer, int32_t channel) {
    if (!isOpenRecord(digitizer)) {
        logFrom("c_isChannelEnabled", DPPL_ERR_DIGITIZER_NOT_OPEN);
        return 0;
    }
    if (channel < 0 || channel >= channelCount(digitizer)) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Invalid Channel %i", channel);
        logFrom("c_isChannelEnabled", DPPL_ERR_INVALID_CHANNEL);
        return 0;
    }
    return _isChannelEnabled(digitizer, channel) ? 1 : 0;
}

uint8_t c_isGroupEnabled(c_Digitizer_t* digitizer, int32_t group) {
    if (!isOpenRecord(digitizer)) {
        logFrom("c_isGroupEnabled", DPPL_ERR_DIGITIZER_NOT_OPEN);
        return 0;
    }
    if (group < 0 || group >= groupCount(digitizer)) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Invalid Group %i", group);
        logFrom("c_isGroupEnabled", DPPL_ERR_INVALID_GROUP);
        return 0;
    }
    c_Parameter_t* groupEnable = c_pfindg(digitizer, group, DPPL_PARAM_GR_ENABLED);
    if (groupEnable == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, " [%i]: Can't get Group Enable.", group);
        return 0;
    }
    if (!enableValueOn(groupEnable))
        return 0;
    int32_t first = group * DPPL_CHANNELS_PER_GROUP;
    int32_t last = first + DPPL_CHANNELS_PER_GROUP < channelCount(digitizer) ? first + DPPL_CHANNELS_PER_GROUP
                                                                             : channelCount(digitizer);
    for (int32_t ch = first; ch < last; ch++)
        if (_isChannelEnabled(digitizer, ch))
            return 1;
    return 0;
}
/* ------------------------------------------------ waveforms and events */

void _freeWaveforms(c_DPPEvent_t* event) {
    if (event == NULL || event->waveform == NULL)
        return;
    for (int slot = 0; slot < DPPL_TRACE_SLOTS; slot++)
        c_free(event->waveform->traces[slot].samples);
    c_free(event->waveform);
    event->waveform = NULL;
}

int _mallocWaveforms(c_Digitizer_t* digitizer, int32_t channel, uint32_t events, uint32_t samples) {
    if (digitizer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (channel < 0 || channel >= DPPL_MAX_CHANNELS)
        return DPPL_ERR_INVALID_CHANNEL;
    c_ChannelRecord_t* record = &digitizer->channels[channel];
    /* Never more waveforms than events to carry them. */
    if (events == 0 || events > record->capacity)
        events = record->capacity;
    for (uint32_t i = 0; i < events; i++) {
        c_DPPEvent_t* event = &record->events[i];
        _freeWaveforms(event);
        c_Waveform_t* waveform = (c_Waveform_t*)c_calloc(1, sizeof(c_Waveform_t));
        bool ok = waveform != NULL;
        event->waveform = waveform;
        for (int slot = 0; ok && slot < DPPL_TRACE_SLOTS; slot++) {
            if (!GENERIC_IsTraceSupported(digitizer, slot))
                continue;
            size_t sampleSize = slot < DPPL_ANALOG_TRACES ? sizeof(int16_t) : sizeof(uint8_t);
            waveform->traces[slot].samples = c_calloc(samples, sampleSize);
            ok = waveform->traces[slot].samples != NULL;
            if (ok)
                waveform->traces[slot].capacity = samples;
        }
        if (!ok) {
            c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__,
                             "Can't allocate memory for waveform to nsampl=%u for ch %u, evt %u.", samples,
                             (unsigned)channel, i);
            for (uint32_t j = 0; j < record->capacity; j++)
                _freeWaveforms(&record->events[j]);
            record->waveformsAllocated = 0;
            return DPPL_ERR_OUT_OF_MEMORY;
        }
    }
    record->waveformsAllocated = 1;
    return DPPL_OK;
}

int _mallocDPPEvtsBuffer(c_Digitizer_t* digitizer, int32_t channel) {
    if (digitizer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (channel < 0 || channel >= DPPL_MAX_CHANNELS)
        return DPPL_ERR_INVALID_CHANNEL;
    c_ChannelRecord_t* record = &digitizer->channels[channel];
    freeChannelEvents(record);

    double waveforms = 0.0, aggregatesPerTransfer = 0.0, eventsPerAggregate = 0.0;
    int result = readSizingParameter(digitizer, DPPL_PARAM_WAVEFORMS, "DPPL_PARAM_WAVEFORMS", &waveforms);
    if (result == 0)
        result = readSizingParameter(digitizer, DPPL_PARAM_NABLT, "DPPL_PARAM_NABLT", &aggregatesPerTransfer);
    if (result == 0)
        result = readSizingParameter(digitizer, DPPL_PARAM_EVENTAGGR, "DPPL_PARAM_EVENTAGGR", &eventsPerAggregate);

    uint32_t samples = 0;
    if (result == 0) {
        uint64_t count = valueAsCount(aggregatesPerTransfer) * valueAsCount(eventsPerAggregate);
        record->events = count <= 0xFFFFFFFFull ? (c_DPPEvent_t*)c_calloc((size_t)count, sizeof(c_DPPEvent_t)) : NULL;
        if (record->events == NULL)
            result = DPPL_ERR_OUT_OF_MEMORY;
        else
            record->capacity = (uint32_t)count;
    }
    if (result == 0 && valueAsCount(waveforms) == 0) {
        record->waveformsAllocated = 0;
        record->nEvents = 0;
        return DPPL_OK;
    }
    if (result == 0) {
        c_Parameter_t* recordLength = c_pfind(digitizer, DPPL_PARAM_RECLEN);
        if (recordLength == NULL) {
            /* The events stay: a board without record length gets no waveforms. */
            c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't find DPPL_PARAM_RECLEN.");
            return DPPL_ERR_NULL_ARGUMENT;
        }
        result = waveformSamples(digitizer, recordLength, &samples);
    }
    if (result == 0) {
        result = _mallocWaveforms(digitizer, channel, 0, samples);
        if (result != 0)
            c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__,
                             "Can't allocate memory for waveform.");
    }
    if (result == 0) {
        record->cfdWork = (double*)c_calloc(samples, sizeof(double));
        if (record->cfdWork == NULL)
            result = DPPL_ERR_OUT_OF_MEMORY;
        else
            record->cfdCapacity = samples;
    }
    if (result != 0) {
        freeChannelEvents(record);
        logFrom("_mallocDPPEvtsBuffer", result);
        return result;
    }
    record->nEvents = 0;
    return DPPL_OK;
}

/* ------------------------------------------------------- readout buffer */

/* The readout allocations of the access rows: the device's in the library's
 * memory, the live board's by the digitizer-access layer (a record of a
 * family without a board layer has none). */
int GENERIC_AccessAllocDeviceReadout(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer) {
    return allocMorvaneReadout(digitizer, buffer);
}

int GENERIC_AccessAllocLiveReadout(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer) {
    return allocDigitizerReadout(digitizer, buffer);
}

int c_mallocReadoutBuffer(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer) {
    if (digitizer == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    buffer->ROAllocSize = 0;
    int result = ZarnAccess_OfBoard(digitizer)->allocReadout(digitizer, buffer);
    if (result != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate Readout Buffer : ERR %i",
                         result);
        return result;
    }
    if (buffer->ROBuf != NULL)
        memset(buffer->ROBuf, 0, buffer->ROAllocSize);
    buffer->ROBytes = 0;
    return DPPL_OK;
}

/* --------------------------------------------------- (re)allocation */

int _freeDgtzBuffers(c_Digitizer_t* digitizer) {
    if (digitizer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    BufferSet set;
    takeBuffers(digitizer, &set);
    return freeBufferSet(digitizer, &set);
}

void _freeParamCollections(c_Digitizer_t* digitizer) {
    if (digitizer == NULL)
        return;
    /* Every slot, not only those below the counts: a slot beyond a count is
     * NULL unless a setup filled it before changing the count. */
    auto freeOne = [](c_ParamCollection_t** collection) {
        _pcfreeall(*collection);
        *collection = NULL;
    };
    freeOne(&digitizer->boardColl);
    for (auto& collection : digitizer->groupColl)
        freeOne(&collection);
    for (auto& channel : digitizer->channels)
        freeOne(&channel.coll);
    for (auto& collection : digitizer->lvdsColl)
        freeOne(&collection);
    for (auto& slot : digitizer->vtrace) {
        freeOne(&slot.coll);
        slot.owner = NULL;
    }
    freeOne(&digitizer->monOutColl);
    for (auto& collection : digitizer->vgaColl)
        freeOne(&collection);
    for (auto& hv : digitizer->hv) {
        freeOne(&hv.coll);
        for (auto& range : hv.ranges)
            freeOne(&range.coll);
    }
}

int _brealloc(c_Digitizer_t* digitizer) {
    if (digitizer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    BufferSet old;
    takeBuffers(digitizer, &old);

    const char* failure = NULL;
    int result = c_mallocReadoutBuffer(digitizer, &digitizer->roBuffer);
    if (result != 0) {
        failure = "Can't Reallocate Readout Buffer";
        result = DPPL_ERR_READOUT_BUFFER;
    }
    for (int32_t ch = 0; result == 0 && ch < channelCount(digitizer); ch++) {
        if (!c_isChannelEnabled(digitizer, ch))
            continue; /* a disabled channel keeps no event array */
        result = _mallocDPPEvtsBuffer(digitizer, ch);
        if (result != 0)
            failure = "Can't Allocate DPP Common Events Buffer.";
    }
    if (result == 0) {
        result = allocScopeEvents(digitizer);
        if (result != 0)
            failure = "Can't allocate memory for scope events.";
    }
    if (result != 0) {
        /* The buffers of the previous sizing stay in place. */
        restoreBuffers(digitizer, &old);
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "%s", failure);
        logFrom("_brealloc", result);
        return result;
    }
    freeBufferSet(digitizer, &old);
    return DPPL_OK;
}

int _bfixedalloc(c_Digitizer_t* digitizer, uint64_t readoutBytes, uint32_t eventsPerChannel,
                 uint32_t eventsWithWaveform, uint32_t samples) {
    if (digitizer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    if (readoutBytes > kMaxReadoutBytes) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Size too big.");
        logFrom("_bfixedalloc", DPPL_ERR_READOUT_BUFFER);
        return DPPL_ERR_READOUT_BUFFER;
    }
    BufferSet old;
    takeBuffers(digitizer, &old);
    int result = allocFixedReadout(digitizer, readoutBytes);
    for (int32_t ch = 0; result == 0 && ch < channelCount(digitizer); ch++)
        result = allocFixedChannel(digitizer, ch, eventsPerChannel, eventsWithWaveform, samples);
    if (result == 0)
        result = allocScopeEvents(digitizer);
    if (result != 0) {
        restoreBuffers(digitizer, &old);
        logFrom("_bfixedalloc", result);
        return result;
    }
    freeBufferSet(digitizer, &old);
    return DPPL_OK;
}
} // extern "C"
