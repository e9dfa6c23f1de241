/*
 * ZarnDPPLayer_Record: the exported interface of the digitizer record's
 * lifecycle: open of a live board or of a raw-data file, close, the board
 * information, the buffer (re)allocation calls. The memory itself is
 * ZarnRecordMemory's.
 */
#include "ZarnDPPLayer.h"

#include <stddef.h>
#include <string.h>
#include <strings.h>

#include "CBoard_Morvane.h"
#include "CBoard_Scope.h"
#include "ZarnBoardAccess.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnDPPLayerShared.h"
#include "ZarnDigitizer.h"
#include "ZarnRecordMemory.h"

/* The board descriptor heads every raw-data file: its layout is a file
 * format and must not move. */
static_assert(sizeof(c_BoardDescriptor_t) == DPPL_DESCRIPTOR_SIZE, "descriptor is 872 bytes");
static_assert(offsetof(c_BoardDescriptor_t, ModelName) == 0);
static_assert(offsetof(c_BoardDescriptor_t, Model) == 12);
static_assert(offsetof(c_BoardDescriptor_t, Channels) == 16);
static_assert(offsetof(c_BoardDescriptor_t, FormFactor) == 20);
static_assert(offsetof(c_BoardDescriptor_t, FamilyCode) == 24);
static_assert(offsetof(c_BoardDescriptor_t, BoardFirmwareRel) == 28);
static_assert(offsetof(c_BoardDescriptor_t, ChannelFirmwareRel) == 48);
static_assert(offsetof(c_BoardDescriptor_t, SerialNumber) == 88);
static_assert(offsetof(c_BoardDescriptor_t, Unused1) == 92);
static_assert(offsetof(c_BoardDescriptor_t, InfoWord) == 124);
static_assert(offsetof(c_BoardDescriptor_t, ADC_NBits) == 128);
static_assert(offsetof(c_BoardDescriptor_t, Unused2) == 132);
static_assert(offsetof(c_BoardDescriptor_t, CommHandle) == 136);
static_assert(offsetof(c_BoardDescriptor_t, LinkInfo) == 140);
static_assert(offsetof(c_BoardDescriptor_t, Reserved) == 144);
static_assert(offsetof(c_BoardDescriptor_t, DPPCode) == DPPL_BOARD_INFO_SIZE);
static_assert(offsetof(c_BoardDescriptor_t, DPPMinorRev) == 168);
static_assert(offsetof(c_BoardDescriptor_t, DPPTypeName) == 172);
static_assert(offsetof(c_BoardDescriptor_t, SamplePeriod) == 184);
static_assert(offsetof(c_BoardDescriptor_t, TimeTagBits) == 192);
static_assert(offsetof(c_BoardDescriptor_t, EnergyBits) == 196);
static_assert(offsetof(c_BoardDescriptor_t, NumGroups) == 200);
static_assert(offsetof(c_BoardDescriptor_t, NumChannels) == 201);
static_assert(offsetof(c_BoardDescriptor_t, Pad1) == 202);
static_assert(offsetof(c_BoardDescriptor_t, HVChannels) == 204);
static_assert(offsetof(c_BoardDescriptor_t, LVDSGroups) == 208);
static_assert(offsetof(c_BoardDescriptor_t, AnalogVTraces) == 212);
static_assert(offsetof(c_BoardDescriptor_t, DigitalVTraces) == 216);
static_assert(offsetof(c_BoardDescriptor_t, MonOuts) == 220);
static_assert(offsetof(c_BoardDescriptor_t, VGAs) == 224);
static_assert(offsetof(c_BoardDescriptor_t, MemBlock) == 228);
static_assert(offsetof(c_BoardDescriptor_t, MemSize) == 232);
static_assert(offsetof(c_BoardDescriptor_t, ADCBits) == 236);
static_assert(offsetof(c_BoardDescriptor_t, Reserved2) == 240);
static_assert(offsetof(c_BoardDescriptor_t, ReservedText1) == 265);
static_assert(offsetof(c_BoardDescriptor_t, ReservedText2) == 565);
static_assert(offsetof(c_BoardDescriptor_t, Pad2) == 865);
/* The board-information call fills the head in place. */
static_assert(sizeof(ZARN_DGTZ_BoardInfo_t) == DPPL_BOARD_INFO_SIZE);
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, SerialNumber) == offsetof(c_BoardDescriptor_t, SerialNumber));
static_assert(offsetof(ZARN_DGTZ_BoardInfo_t, CommHandle) == offsetof(c_BoardDescriptor_t, CommHandle));

namespace {

bool hasGen2Prefix(const char* address) { return strncasecmp(address, "gen2:", 5) == 0; }

/* ------------------------------------------- record teardown */

void closeDumperFile(c_ROBuffDumper_t* dumper) {
    if (dumper->file != NULL)
        fclose(dumper->file);
    dumper->file = NULL;
    dumper->opened = 0;
}

void freeCoarseDCOTables(c_Digitizer_t* digitizer) {
    for (int ch = 0; ch < DPPL_MAX_CHANNELS; ch++) {
        c_free(digitizer->channels[ch].coarseDCO);
        digitizer->channels[ch].coarseDCO = NULL;
    }
}

/* Everything the library allocated for the record, whatever stage an open
 * reached: files, buffers, collections, tables, the scope buffer and the
 * replay header's value blocks. Returns the result of the buffer free. */
int releaseRecordMemory(c_Digitizer_t* digitizer) {
    closeDumperFile(&digitizer->writer);
    closeDumperFile(&digitizer->reader);
    int result = _freeDgtzBuffers(digitizer);
    _freeParamCollections(digitizer);
    freeCoarseDCOTables(digitizer);
    SCOPE_FreeBuffer(digitizer);
    c_bdfreeheader(&digitizer->fileHeader);
    return result;
}

/* Families 6111, 6122 and 6133: their recorded files open as kind 1. */
bool isSecondGenerationFamily(uint32_t family) { return ZarnFamily_Find(family)->reach == ZARN_REACH_NONE; }

/* The buffers of a replay record, sized from the file's header (which the
 * reader has already checked): readout buffer, each channel's events and,
 * with a trace length, their waveforms. No CFD work area. */
int allocReplayBuffers(c_Digitizer_t* digitizer, const c_RawDataHeader_t* header) {
    c_ReadoutBuffer_t* buffer = &digitizer->roBuffer;
    buffer->ROBuf = (char*)c_calloc(1, header->roSize);
    if (buffer->ROBuf == NULL) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "Can't allocate Readout Buffer to size %u.",
                  (unsigned)header->roSize);
        return DPPL_ERR_OUT_OF_MEMORY;
    }
    buffer->ROAllocSize = header->roSize;
    buffer->ROBytes = 0;
    buffer->allocator = ROBUF_ALLOC_LIBRARY;
    for (int32_t ch = 0; ch < channelCount(digitizer); ch++) {
        c_ChannelRecord_t* channel = &digitizer->channels[ch];
        uint32_t events = header->eventsPerChannel[ch];
        channel->events = (c_DPPEvent_t*)c_calloc(events, sizeof(c_DPPEvent_t));
        if (channel->events == NULL) {
            c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "Can't Events Buffer to nevts=%u for channel %u.",
                      (unsigned)events, (unsigned)ch);
            return DPPL_ERR_OUT_OF_MEMORY;
        }
        channel->capacity = events;
        channel->nEvents = 0;
        if (header->waveSamples == 0 || events == 0)
            continue;
        /* A family whose own record holds fewer events with a waveform (the
         * device's open allocates one) decodes its recorded runs the same way. */
        uint32_t withWaveform = ZarnFamily_Find(digitizer->descriptor.FamilyCode)->waveformEvents;
        int result = _mallocWaveforms(digitizer, ch, withWaveform, header->waveSamples);
        if (result != 0) {
            c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__,
                             "Can't allocate memory for waveform.");
            return result;
        }
    }
    return DPPL_OK;
}

} // namespace
extern "C" {

/* ------------------------------------------------------ open and close */

int c_newDigitizer(c_Digitizer_t* digitizer, const c_ConnParams_t* params) {
    if (digitizer == NULL) {
        logFrom("c_newDigitizer", DPPL_ERR_NULL_ARGUMENT);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    _resetDgtz(digitizer);
    if (params != NULL) {
        digitizer->connParams = *params;
        digitizer->connParams.address[sizeof digitizer->connParams.address - 1] = '\0';
        if (hasGen2Prefix(digitizer->connParams.address)) {
            _resetDgtz(digitizer);
            logFrom("c_newDigitizer", DPPL_ERR_NOT_SUPPORTED);
            return DPPL_ERR_NOT_SUPPORTED;
        }
    }
    int result = GENERIC_OpenDigitizer(digitizer, params != NULL ? &digitizer->connParams : NULL);
    if (result != 0) {
        /* The open closes the board; what the setup built is freed here. */
        releaseRecordMemory(digitizer);
        _resetDgtz(digitizer);
        logFrom("c_newDigitizer", result);
        return result;
    }
    digitizer->replay = 0;
    c_mutex_init(&digitizer->mutex);
    return DPPL_OK;
}

int c_newFileDigitizer(c_Digitizer_t* digitizer, const char* path) {
    if (digitizer == NULL) {
        logFrom("c_newFileDigitizer", DPPL_ERR_NULL_ARGUMENT);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    c_ROBuffDumper_t reader;
    c_RawDataHeader_t header;
    memset(&reader, 0, sizeof reader);
    memset(&header, 0, sizeof header);
    int opened = c_bdopenr(&reader, &header, path);
    if (opened != 0) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Can't open buffer dumper from file %s. 'c_bdopenr' error %i.", path != NULL ? path : "(null)",
                  opened);
        _resetDgtz(digitizer); /* a failed open leaves the record closed */
        logFrom("c_newFileDigitizer", DPPL_ERR_DUMPER_OPEN);
        return DPPL_ERR_DUMPER_OPEN;
    }

    _resetDgtz(digitizer);
    digitizer->replay = 1;
    digitizer->handle = -1;
    c_mutex_init(&digitizer->mutex);
    digitizer->descriptor = header.descriptor;
    digitizer->kind = isSecondGenerationFamily(header.descriptor.FamilyCode) ? DGTZ_KIND_GEN2_REPLAY : DGTZ_KIND_OPEN;
    int result = allocReplayBuffers(digitizer, &header);
    if (result == 0) {
        for (uint32_t h = 0; h < digitizer->descriptor.HVChannels && h < DPPL_MAX_HV_CHANNELS; h++)
            digitizer->hv[h].rangeCount = 1;
        result = isSecondGenerationReplay(digitizer) ? DPPL_ERR_NOT_SUPPORTED
                                                     : GENERIC_LoadFileParameters(digitizer, &header);
        if (result != 0)
            c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't create parameters from info");
    }
    if (result == 0)
        result = SCOPE_InitReplay(digitizer); /* the event headers standard waveform firmware needs */
    if (result != 0) {
        fclose(reader.file);
        c_bdfreeheader(&header);
        if (_freeDgtzBuffers(digitizer) != 0)
            c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "Can't free Buffers.");
        releaseRecordMemory(digitizer);
        c_mutex_destroy(&digitizer->mutex);
        _resetDgtz(digitizer);
        logFrom("c_newFileDigitizer", result);
        return result;
    }
    /* The record now owns the open file and the recorded values. */
    digitizer->reader = reader;
    digitizer->fileHeader = header;
    return DPPL_OK;
}

int c_freeDgtz(c_Digitizer_t* digitizer) {
    if (!isOpenRecord(digitizer)) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_WARNING, __LINE__, "The given digitizer is not opened, cannot free it.");
        return DPPL_OK;
    }
    if (digitizer->acqStatus != ACQSTATUS_STOPPED)
        c_bstopa(digitizer);
    /* A recording whose last bytes can't be written is lost data: the close
     * logs it and the free reports it. */
    int writerClosed = c_bdclose(&digitizer->writer);
    int readerClosed = c_bdclose(&digitizer->reader);
    int result = writerClosed != 0 || readerClosed != 0 ? DPPL_ERR_DUMPER_CLOSE : DPPL_OK;
    int freed = _freeDgtzBuffers(digitizer);
    if (freed != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't free Buffers");
        if (result == DPPL_OK)
            result = freed;
    }
    _freeParamCollections(digitizer);
    freeCoarseDCOTables(digitizer);
    const ZarnBoardAccess_t* access = ZarnAccess_OfData(digitizer);
    if (access->close != NULL)
        access->close(digitizer); /* nothing to do about a failed close */
    c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_DETAIL, __LINE__, "Digitizer Closed.");
    SCOPE_FreeBuffer(digitizer);
    c_bdfreeheader(&digitizer->fileHeader);
    if (result != 0)
        logFrom("c_freeDgtz", result);
    c_mutex_destroy(&digitizer->mutex);
    _resetDgtz(digitizer);
    return result;
}

uint8_t c_isDgtzOpened(const c_Digitizer_t* digitizer) { return isOpenRecord(digitizer) ? 1 : 0; }

int c_fetchBoardInfo(const c_ConnParams_t* params, c_BoardDescriptor_t* descriptor) {
    if (params == NULL || descriptor == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    char address[sizeof params->address];
    snprintf(address, sizeof address, "%.*s", (int)sizeof address - 1, params->address);
    if (hasGen2Prefix(address))
        return DPPL_ERR_NOT_SUPPORTED;

    int linkNumber = params->linkNumber;
    const void* linkArg = params->linkType == ZARN_DGTZ_LINK_NETWORK ? (const void*)address : (const void*)&linkNumber;
    int handle = -1;
    int result = ZARN_DGTZ_OpenDigitizer2(params->linkType, linkArg, params->node, params->vmeBase, &handle);
    if (result != 0) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Error checking board: ZARN_DGTZ_OpenDigitizer failed with error %d.", result);
        return result == ZARN_DGTZ_AlreadyOpen ? DPPL_ERR_DIGITIZER_ALREADY_OPEN : DPPL_ERR_OPEN_DIGITIZER;
    }
    ZARN_DGTZ_BoardInfo_t info;
    memset(&info, 0, sizeof info);
    result = ZARN_DGTZ_GetInfo(handle, &info);
    if (result != 0) {
        ZARN_DGTZ_CloseDigitizer(handle);
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Error checking board: ZARN_DGTZ_GetInfo failed with error %d.", result);
        return DPPL_ERR_DIGITIZER_API;
    }
    memcpy(descriptor, &info, sizeof info);
    result = ZARN_DGTZ_CloseDigitizer(handle);
    if (result != 0) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Error checking board: ZARN_DGTZ_CloseDigitizer failed with error %d.", result);
        return DPPL_ERR_DIGITIZER_API;
    }
    return DPPL_OK;
}
int c_brealloc(c_Digitizer_t* digitizer) {
    int result = isOpenRecord(digitizer) ? _brealloc(digitizer) : DPPL_ERR_DIGITIZER_NOT_OPEN;
    if (result != 0)
        logFrom("c_brealloc", result);
    return result;
}

int c_bfixedealloc(c_Digitizer_t* digitizer, uint64_t readoutBytes, uint32_t eventsPerChannel,
                   uint32_t eventsWithWaveform, uint32_t samples) {
    int result = isOpenRecord(digitizer)
                     ? _bfixedalloc(digitizer, readoutBytes, eventsPerChannel, eventsWithWaveform, samples)
                     : DPPL_ERR_DIGITIZER_NOT_OPEN;
    if (result != 0)
        logFrom("c_bfixedealloc", result);
    return result;
}

} // extern "C"
