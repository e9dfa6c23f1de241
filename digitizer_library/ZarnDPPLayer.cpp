/*
 * ZarnDPPLayer: the exported interface of the digitizer library.
 */
#include "ZarnDPPLayer.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ZarnFirmwareTable.h"

static const c_LogModule_t ZarnDPPLayer_log = {"ZarnDPPLayerLog.txt", "ZarnDPPLayer"};

/* ==========================================================================
 * Status texts, parameter-code lookup and board-prefixed logging
 * ========================================================================== */

namespace {

/* The text of status code -i at index i. */
const char* const kStatusTexts[] = {
    "Success",
    "Invalid Channel Provided",
    "Provided Channel is Not Enabled",
    "The Digitizer is Not Opened",
    "Error Calling ZarnDigitizer API",
    "Error in Waveform Setup",
    "Generic error",
    "Invalid DPPType",
    "Out Of Memory",
    "Configuration Error",
    "Error in Configuration File Parsing",
    "Firmware Not Supported",
    "Dumper Error",
    "Readout Buffer Error",
    "Invalid Event Number",
    "Wrong Acquisition Mode",
    "Error in Waveform System",
    "A Custom Function Returned an Error",
    "Error Opening Histogram Plotter",
    "Error Opening Waveform Plotter",
    "Error Setting Plotter Path",
    "The plotter type is invalid",
    "Invalid data format for list dumping",
    "Invalid Acquisition Status to run this function",
    "Input Range not supported by this board",
    "Error calling HV functionality",
    "Parameter error",
    "Board",
    "Invalid DPP code",
    "Cannot find a suitable event aggregation for the given event size",
    "Invalid NULL argument",
    "Timeout",
    "Read Data failed",
    "Invalid trace",
    "Event buffer overflow",
    "Invalid memory code in Board Info register",
    "ADC shutdown occurred",
    "LVDS Group",
    "Cannot open the buffer dumper",
    "Invalid event",
    "Cannot close the buffer dumper",
    "Invalid Digitizer family",
    "Not supported",
    "Cannot support this feature in a file digitizer",
    "Write register error",
    "Read register error",
    "Unsupported base address",
    "Invalid HV channel",
    "Configuration status",
    "Temperature failure occurred",
    "PLL lock loss occurred",
    "Invalid group",
    "Failed initializing digitizer",
    "Error occurred in c_fetchBoardInfo: ZARN_DGTZ_OpenDigitizer2 failed (digitizer already open)",
    "Error occurred in c_fetchBoardInfo: ZARN_DGTZ_OpenDigitizer2 failed",
    "Cannot get offset calibration",
    "Communication error",
};
static_assert(sizeof kStatusTexts / sizeof kStatusTexts[0] == 1 - DPPL_ERR_LAST, "one text per status code");

const char kUnknownStatusText[] = "Unknown error code";

/* Longest XPath query of a code-name lookup, terminator included. */
const size_t kQuerySize = 500;
/* Longest board prefix, terminator included. */
const size_t kPrefixSize = 100;

/* Code names are identifiers; anything else (quotes, brackets, '|', '/') would
 * change the meaning of the XPath query they are put into. */
bool isPlainCodeName(const char* codeName) {
    if (codeName[0] == '\0')
        return false;
    for (const char* c = codeName; *c != '\0'; c++)
        if (!isalnum((unsigned char)*c) && *c != '_' && *c != '-' && *c != '.')
            return false;
    return true;
}

/* The element of that code name below the first category element of
 * "Parameters" that has one, or NULL. */
xmlNodePtr findParameterDefinition(const char* codeName) {
    if (codeName == NULL || !isPlainCodeName(codeName))
        return NULL;
    char query[kQuerySize];
    int length = snprintf(query, sizeof query, "/Definitions/Parameters/*/%s", codeName);
    if (length < 0 || (size_t)length >= sizeof query)
        return NULL; /* a cut query could name another parameter */
    c_xml_nodeset_t* set = c_xml_getnodeset(c_getLibraryDefinitions(), query);
    xmlNodePtr element = (set != NULL && set->count > 0) ? set->nodes[0] : NULL;
    c_xml_freenodeset(set);
    return element;
}

/* Logs an already formed text (never used as a format). */
int logText(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format, ...)
    ZARN_PRINTF_LIKE(4, 5);
int logText(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = c_lvprintf(module, level, line, format, args);
    va_end(args);
    return result;
}

/* "<model name>_<serial number>: " into prefix; the model name field may lack
 * a terminator, so it is read up to its width at most. 0 or -1. */
int formatBoardPrefix(const c_Digitizer_t* digitizer, char* prefix, size_t size) {
    const c_BoardDescriptor_t* board = &digitizer->descriptor;
    int nameLength = (int)strnlen(board->ModelName, sizeof board->ModelName);
    int length = snprintf(prefix, size, "%.*s_%u: ", nameLength, board->ModelName, (unsigned)board->SerialNumber);
    return length < 0 ? -1 : 0; /* a longer prefix is cut */
}

/* A new text: prefix followed by the formatted message; NULL with *formed
 * false when the message cannot be formatted, NULL with *formed true when
 * memory ran out. */
char* formatPrefixedMessage(const char* prefix, const char* format, va_list args, bool* formed) {
    va_list measure;
    va_copy(measure, args);
    int messageLength = vsnprintf(NULL, 0, format, measure);
    va_end(measure);
    *formed = messageLength >= 0;
    if (!*formed)
        return NULL;
    size_t prefixLength = strlen(prefix);
    size_t size = prefixLength + (size_t)messageLength + 1;
    char* text = (char*)c_malloc(size);
    if (text == NULL)
        return NULL;
    memcpy(text, prefix, prefixLength);
    if (vsnprintf(text + prefixLength, size - prefixLength, format, args) < 0) {
        c_free(text);
        *formed = false;
        return NULL;
    }
    return text;
}

} // namespace

extern "C" {

const char* c_errorMessage(int32_t code) {
    if (code > DPPL_OK || code < DPPL_ERR_LAST)
        return kUnknownStatusText;
    return kStatusTexts[-code];
}

const char* c_decodeError(int32_t code) {
    return c_errorMessage(code);
}

int c_getParamCodeFromCodeName(const char* codeName, int32_t* code) {
    xmlNodePtr element = findParameterDefinition(codeName);
    if (element == NULL) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "Can't find parameter '%s' in definitions document.",
                  codeName != NULL ? codeName : "(null)");
        return -1;
    }
    const char* text = c_xml_getattributevalue(element, "code", 0);
    if (text == NULL) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Can't find attribute 'code' for parameter '%s' in definitions document.", codeName);
        return -2;
    }
    char* end = NULL;
    long long value = strtoll(text, &end, 0); /* decimal, 0x hexadecimal, 0 octal */
    if (end == text) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Can't parse parameter code from string '%s' for parameter '%s'", text, codeName);
        return -3;
    }
    if (code != NULL)
        *code = (int32_t)value;
    return 0;
}

int32_t c_extendedLogMsg(const c_LogModule_t* module, const c_Digitizer_t* digitizer, uint32_t level, uint32_t line,
                         const char* format, ...) {
    if (module == NULL || format == NULL)
        return DPPL_ERR_GENERIC;
    char prefix[kPrefixSize] = "";
    if (digitizer != NULL && formatBoardPrefix(digitizer, prefix, sizeof prefix) != 0)
        return DPPL_ERR_GENERIC;

    va_list args;
    va_start(args, format);
    bool formed = false;
    char* message = formatPrefixedMessage(prefix, format, args, &formed);
    va_end(args);
    if (message == NULL) {
        if (formed) /* the text could be formed, but not stored */
            c_lprintf(module, level, line, "Can't allocate string buffer to print message.");
        return DPPL_ERR_GENERIC;
    }
    int result = logText(module, level, line, "%s", message);
    c_free(message);
    return result != 0 ? DPPL_ERR_GENERIC : DPPL_OK;
}

} // extern "C"

/* ==========================================================================
 * Digitizer record lifecycle
 * ========================================================================== */

/* The board descriptor heads every raw-data file: its layout is a file
 * format and must not move. */
#include <stddef.h>

#include "ZarnDigitizer.h"

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

#include <math.h>
#include <strings.h>

#include "CBoard_Morvane.h"
#include "CBoard_Scope.h"
#include "ZarnBoard_GENERIC.h"
#include "ZarnComm.h"

namespace {

/* Register of the register-level device that holds how many aggregates one
 * readout may bring. */
const uint32_t kMorvaneAggregatesRegister = 0xEF1C;
const uint64_t kMaxReadoutBytes = 0xFFFFFFFFull;

/* "From <function>: <status text>", the interface's failure line. */
void logFrom(const char* function, int code) {
    c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "From %s: %s", function, c_decodeError(code));
}

bool isOpenRecord(const c_Digitizer_t* digitizer) {
    return digitizer != NULL && (digitizer->kind == DGTZ_KIND_OPEN || digitizer->kind == DGTZ_KIND_GEN2_REPLAY);
}

bool isMorvane(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.FamilyCode == DPPL_FAMILY_MORVANE;
}

/* Counts of the descriptor, kept within the record's slot arrays. */
int32_t channelCount(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.NumChannels < DPPL_MAX_CHANNELS ? digitizer->descriptor.NumChannels
                                                                 : DPPL_MAX_CHANNELS;
}
int32_t groupCount(const c_Digitizer_t* digitizer) {
    return digitizer->descriptor.NumGroups < DPPL_MAX_GROUPS ? digitizer->descriptor.NumGroups : DPPL_MAX_GROUPS;
}

bool hasGen2Prefix(const char* address) {
    return strncasecmp(address, "gen2:", 5) == 0;
}

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
        set->channels[ch] = {channel->events,  channel->nEvents, channel->capacity, channel->waveformsAllocated,
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
            allocator = (digitizer->replay || isMorvane(digitizer)) ? ROBUF_ALLOC_LIBRARY : ROBUF_ALLOC_DIGITIZER;
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

/* ------------------------------------------- record teardown */

void closeDumperFile(c_ROBuffDumper_t* dumper) {
    if (dumper->file != NULL)
        fclose(dumper->file);
    dumper->file = NULL;
    dumper->opened = 0;
}

void freeHeaderBlocks(c_RawDataHeader_t* header) {
    c_free(header->brdparams);
    header->brdparams = NULL;
    auto freeAll = [](double** blocks, int count) {
        for (int i = 0; i < count; i++) {
            c_free(blocks[i]);
            blocks[i] = NULL;
        }
    };
    freeAll(header->grparams, DPPL_MAX_GROUPS);
    freeAll(header->chparams, DPPL_MAX_CHANNELS);
    freeAll(header->lgparams, DPPL_MAX_LVDS_GROUPS);
    freeAll(header->vtparams, DPPL_MAX_VTRACES);
    freeAll(header->hvchparams, DPPL_MAX_HV_CHANNELS);
    freeAll(header->hvrangeparams, DPPL_MAX_HV_CHANNELS);
    freeAll(header->moparams, DPPL_MAX_MONOUTS);
    freeAll(header->vgaparams, DPPL_MAX_VGAS);
}

void freeScopeBuffer(c_Digitizer_t* digitizer) {
    if (digitizer->scope == NULL)
        return;
    c_free(digitizer->scope->items);
    c_free(digitizer->scope);
    digitizer->scope = NULL;
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
    freeScopeBuffer(digitizer);
    freeHeaderBlocks(&digitizer->fileHeader);
    return result;
}

/* The current value of a board parameter that sizes buffers: 0 and the value,
 * or a status after logging "Can't find"/"Can't get". */
int readSizingParameter(c_Digitizer_t* digitizer, int32_t code, const char* codeName, double* value) {
    c_Parameter_t* param = c_pfind(digitizer, code);
    if (param == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't find %s.", codeName);
        return DPPL_ERR_NULL_ARGUMENT;
    }
    int result = digitizer->kind == DGTZ_KIND_GEN2_REPLAY ? DPPL_ERR_NOT_SUPPORTED : c_pget(digitizer, param, value);
    if (result != 0)
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't get %s.", codeName);
    return result;
}

/* Samples of one trace: record length over (down-sampling x sample period),
 * rounded. A quotient that is not a finite, non-negative number (a zero
 * period or down-sampling, a NaN value) is refused. */
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
    *samples = (uint32_t)lround(quotient);
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
int allocFixedChannel(c_Digitizer_t* digitizer, int32_t ch, uint32_t events, uint32_t withWaveform,
                      uint32_t samples) {
    c_ChannelRecord_t* channel = &digitizer->channels[ch];
    channel->events = (c_DPPEvent_t*)c_calloc(events, sizeof(c_DPPEvent_t));
    if (channel->events == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate memory for Event Buffer.");
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
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate memory for scope events.");
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
bool enableValueOn(const c_Parameter_t* param) {
    return param->value > 0.0;
}

/* Families 6111, 6122 and 6133: their recorded files open as kind 1. */
bool isSecondGenerationFamily(uint32_t family) {
    return family == 6111 || family == 6122 || family == 6133;
}

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
        /* The device's own record holds one waveform per channel (its open
         * allocates no more), so its recorded runs decode the same way. */
        uint32_t withWaveform = isMorvane(digitizer) ? 1 : 0;
        int result = _mallocWaveforms(digitizer, ch, withWaveform, header->waveSamples);
        if (result != 0) {
            c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate memory for waveform.");
            return result;
        }
    }
    return DPPL_OK;
}

} // namespace

extern "C" {

/* ------------------------------------------------------ reset and open */

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
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "Can't open buffer dumper from file %s. 'c_bdopenr' error %i.",
                  path != NULL ? path : "(null)", opened);
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
        result = digitizer->kind == DGTZ_KIND_GEN2_REPLAY ? DPPL_ERR_NOT_SUPPORTED
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
    if (!digitizer->replay) {
        /* nothing to do about a failed close */
        if (isMorvane(digitizer))
            XMOR_DGTZ_CloseDigitizer(digitizer->handle);
        else
            ZARN_DGTZ_CloseDigitizer(digitizer->handle);
    }
    c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_DETAIL, __LINE__, "Digitizer Closed.");
    freeScopeBuffer(digitizer);
    freeHeaderBlocks(&digitizer->fileHeader);
    if (result != 0)
        logFrom("c_freeDgtz", result);
    c_mutex_destroy(&digitizer->mutex);
    _resetDgtz(digitizer);
    return result;
}

uint8_t c_isDgtzOpened(const c_Digitizer_t* digitizer) {
    return isOpenRecord(digitizer) ? 1 : 0;
}

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

/* ----------------------------------------------------------- enables */

bool _isChannelEnabled(c_Digitizer_t* digitizer, int32_t channel) {
    c_Parameter_t* enable = c_pfindc(digitizer, channel, DPPL_PARAM_CH_ENABLED);
    if (enable == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, " [%i]: Can't get Channel Enable.", channel);
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

/* ----------------------------------------------------- trace slots */

bool GENERIC_IsTraceSupported(const c_Digitizer_t* digitizer, int32_t slot) {
    if (digitizer == NULL || slot < 0 || slot >= DPPL_TRACE_SLOTS || digitizer->kind == DGTZ_KIND_GEN2_REPLAY)
        return false;
    return (ZarnFirmware_TraceSlots(digitizer) & (1u << slot)) != 0;
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
            c_extendedLogMsg(&ZarnDPPLayer_log, digitizer, C_LOG_ERROR, __LINE__, "Can't allocate memory for waveform.");
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

int c_mallocReadoutBuffer(c_Digitizer_t* digitizer, c_ReadoutBuffer_t* buffer) {
    if (digitizer == NULL || buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    buffer->ROAllocSize = 0;
    int result;
    if (digitizer->kind == DGTZ_KIND_GEN2_REPLAY)
        result = DPPL_ERR_NOT_SUPPORTED;
    else if (isMorvane(digitizer))
        result = allocMorvaneReadout(digitizer, buffer);
    else
        result = allocDigitizerReadout(digitizer, buffer);
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

/* ==========================================================================
 * Acquisition control and readout
 *
 * Start, pause and stop of the board and of single channels, board
 * commands, the readout cycle and the services around it (software
 * triggers, start-mode actions, rise time, real and dead time). The board
 * layer's parts live in ZarnBoard_GENERIC.
 * ========================================================================== */

#include "ZarnBoard_GENERIC.h"
#include "ZarnDigitizer.h"

namespace {

/* A read that finds no data for longer than this while running sends a flush. */
const uint64_t kIdleFlushMs = 75;
/* c_getSWDPPEvents: reads that may satisfy it, and the last read it makes. */
const uint32_t kSoftwareReadsAccepted = 1024;
const uint32_t kSoftwareReadsMax = 1026;

void logAcqFailure(const char* function, int code) {
    c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "From %s: %s", function, c_decodeError(code));
}

/* The failure of an exported function, logged once with its name. */
int failedIn(const char* function, int code) {
    if (code < 0)
        logAcqFailure(function, code);
    return code;
}

bool acqRecordOpen(const c_Digitizer_t* d) {
    return d != NULL && (d->kind == DGTZ_KIND_OPEN || d->kind == DGTZ_KIND_GEN2_REPLAY);
}

bool acqDevice(const c_Digitizer_t* d) { return d->descriptor.FamilyCode == DPPL_FAMILY_MORVANE; }

int32_t acqChannelCount(const c_Digitizer_t* d) {
    return d->descriptor.NumChannels < DPPL_MAX_CHANNELS ? d->descriptor.NumChannels : DPPL_MAX_CHANNELS;
}

/* -3 for a record that is not open, -1 for a channel outside it (logged). */
int checkChannel(c_Digitizer_t* d, int32_t channel) {
    if (!acqRecordOpen(d))
        return DPPL_ERR_DIGITIZER_NOT_OPEN;
    if (channel < 0 || channel >= acqChannelCount(d)) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Invalid Channel %i", channel);
        return DPPL_ERR_INVALID_CHANNEL;
    }
    return 0;
}

/* Moving average of 2^n samples (fewer at the start), unsigned samples. */
void smoothUnsigned(const uint16_t* in, double* out, uint32_t count, uint32_t smoothExp) {
    uint32_t shift = smoothExp < 31 ? smoothExp : 31;
    uint64_t window = 1ull << shift;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        sum += in[i];
        if (i < window) {
            out[i] = (double)(sum / (i + 1));
        } else {
            sum -= in[i - window];
            out[i] = (double)(sum >> shift);
        }
    }
}

/* Where the smoothed trace crosses level between samples k and k + 1,
 * interpolated (k itself when the two samples do not rise). */
double crossingAt(const double* s, uint32_t k, double level) {
    double step = s[k + 1] - s[k];
    return step > 0.0 ? (double)k + (level - s[k]) / step : (double)k;
}

/* Whether every enabled channel got events in the last read. */
bool everyEnabledChannelHasEvents(c_Digitizer_t* d) {
    for (int32_t ch = 0; ch < acqChannelCount(d); ++ch) {
        c_Parameter_t* enable = c_pfindc(d, ch, DPPL_PARAM_CH_ENABLED);
        if (enable == NULL) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, " [%i]: Can't get Channel Enable.", ch);
            continue;
        }
        if (enable->value > 0.0 && d->channels[ch].nEvents == 0)
            return false;
    }
    return true;
}

/* The start mode's code name (empty when no list value equals it). */
int readStartMode(c_Digitizer_t* d, char* codeName, size_t size) {
    codeName[0] = '\0';
    c_Parameter_t* mode = d != NULL ? c_pfind(d, DPPL_PARAM_STARTMODE) : NULL;
    if (mode == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Can't find DPPL_PARAM_STARTMODE parameter");
        return DPPL_ERR_PARAMETER;
    }
    double value = 0.0;
    int code = d->kind == DGTZ_KIND_GEN2_REPLAY ? DPPL_ERR_NOT_SUPPORTED : c_pget(d, mode, &value);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Can't get DPPL_PARAM_STARTMODE parameter value");
        return code;
    }
    uint32_t entries = mode->count < C_PARAM_MAX_VALUES ? mode->count : C_PARAM_MAX_VALUES;
    for (uint32_t i = 0; i < entries; ++i) {
        if (mode->values[i].value == value) {
            snprintf(codeName, size, "%.*s", (int)sizeof mode->values[i].codename - 1, mode->values[i].codename);
            break;
        }
    }
    return 0;
}

/* The idle flush of c_getDPPEvents and the read that fetches what it
 * closed. The flushed buffer is recorded like any other. */
int flushIdleBoard(c_Digitizer_t* d, int handle) {
    int code = c_sendFlush(d);
    d->lastDataTime = c_get_time();
    if (code == DPPL_ERR_NOT_SUPPORTED)
        return 0; /* automatic flush on, or no manual flush: nothing read */
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in flushing data.");
        return DPPL_ERR_DIGITIZER_API;
    }
    code = GENERIC_ReadFlushedData(d, handle);
    if (code == 0 && d->roBuffer.ROBytes > 0)
        d->lastDataTime = c_get_time();
    return code;
}

} // namespace

extern "C" {

/* ------------------------------------------------------ board start, stop */

int c_bstarta(c_Digitizer_t* d) {
    if (!acqRecordOpen(d))
        return failedIn("c_bstarta", DPPL_ERR_DIGITIZER_NOT_OPEN);
    for (int32_t ch = 0; ch < acqChannelCount(d); ++ch)
        _clearChannelTimeState(d, ch);
    d->maxTimeStamp = 0;
    if (!d->replay) {
        int code = _startBoardAcquisition(d);
        if (code != 0)
            return failedIn("c_bstarta", code);
    }
    if (d->acqStatus == ACQSTATUS_STOPPED)
        d->lastTimeStamp = 0;
    int result = 0;
    if (!d->replay && !acqDevice(d)) {
        for (int32_t ch = 0; ch < acqChannelCount(d); ++ch) {
            c_Parameter_t* run = c_pfindc(d, ch, DPPL_PARAM_CH_ACQ_RUN);
            if (run == NULL)
                continue;
            int code = GENERIC_SetParam(d, run, 1.0, C_SETPARAM_SKIP_ACCESS | C_SETPARAM_SKIP_ACQUISITION |
                                                         C_SETPARAM_SKIP_HV);
            if (code != 0) {
                c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                                 "Cannot set DPPL_PARAM_CH_ACQ_RUN to TRUE for channel %u", (unsigned)ch);
                result = code;
            }
        }
    }
    _setAcqStatus(d, ACQSTATUS_RUNNING);
    return failedIn("c_bstarta", result);
}

int c_bpauseas(c_Digitizer_t* d) {
    if (!acqRecordOpen(d))
        return failedIn("c_bpauseas", DPPL_ERR_DIGITIZER_NOT_OPEN);
    int code = _stopBoardAcquisition(d);
    if (code != 0)
        return failedIn("c_bpauseas", code);
    _setAcqStatus(d, ACQSTATUS_PAUSING);
    return 0;
}

int c_bpausea(c_Digitizer_t* d) {
    int code = c_bpauseas(d);
    if (code != 0 || d->replay)
        return failedIn("c_bpausea", code);
    return failedIn("c_bpausea", c_getDPPEvents(d, NULL));
}

int c_bstopas(c_Digitizer_t* d) {
    if (!acqRecordOpen(d))
        return failedIn("c_bstopas", DPPL_ERR_DIGITIZER_NOT_OPEN);
    int code = _stopBoardAcquisition(d);
    if (code != 0)
        return failedIn("c_bstopas", code);
    _setAcqStatus(d, ACQSTATUS_PAUSING);
    if (d->replay) {
        _rewindReplay(d);
        _setAcqStatus(d, ACQSTATUS_STOPPED);
    } else {
        _setAcqStatus(d, ACQSTATUS_STOPPING); /* the next successful read completes it */
    }
    return 0;
}

int c_bstopa(c_Digitizer_t* d) {
    if (!acqRecordOpen(d))
        return failedIn("c_bstopa", DPPL_ERR_DIGITIZER_NOT_OPEN);
    int result = _stopBoardAcquisition(d);
    if (result == 0) {
        _setAcqStatus(d, ACQSTATUS_PAUSING);
        if (d->replay)
            _rewindReplay(d);
        else
            result = c_getDPPEvents(d, NULL); /* drains what the board still holds */
    }
    _setAcqStatus(d, ACQSTATUS_STOPPED);
    return failedIn("c_bstopa", result);
}

/* ---------------------------------------------------- channel start, stop */

int c_cstarta(c_Digitizer_t* d, int32_t channel) {
    int code = checkChannel(d, channel);
    if (code != 0)
        return failedIn("c_cstarta", code);
    _clearChannelTimeState(d, channel);
    if (d->channels[channel].acqStatus == ACQSTATUS_RUNNING) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_WARNING, __LINE__, "Channel acquisition already started");
        return 0;
    }
    if (acqDevice(d)) {
        if ((code = MORVANE_ChannelStart(d, channel)) != 0)
            return failedIn("c_cstarta", code);
        if (d->acqStatus == ACQSTATUS_STOPPED)
            d->lastTimeStamp = 0;
        _setChannelAcqStatus(d, channel, ACQSTATUS_RUNNING);
        return 0;
    }
    c_Parameter_t* running = c_pfind(d, DPPL_PARAM_ACQRUNNING);
    if (running == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         "Can't find parameter DPPL_PARAM_ACQRUNNING. Can't start channel acquisition.");
        return failedIn("c_cstarta", DPPL_ERR_NULL_ARGUMENT);
    }
    double value = 0.0;
    code = d->kind == DGTZ_KIND_GEN2_REPLAY ? DPPL_ERR_NOT_SUPPORTED : c_pget(d, running, &value);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         "Can't get value of parameter DPPL_PARAM_ACQRUNNING. Can't start channel acquisition.");
        return failedIn("c_cstarta", code);
    }
    if (value == 0.0 && (code = _startBoardAcquisition(d)) != 0)
        return failedIn("c_cstarta", code);
    /* A replay's run parameters are pinned to their recorded values, which
     * its decoders ignore: there is no run gate to open. */
    c_Parameter_t* run = d->replay ? NULL : c_pfindc(d, channel, DPPL_PARAM_CH_ACQ_RUN);
    if (run != NULL) {
        code = GENERIC_SetParam(d, run, 1.0, C_SETPARAM_SKIP_ACCESS | C_SETPARAM_SKIP_ACQUISITION | C_SETPARAM_SKIP_HV);
        if (code != 0) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                             "Cannot set DPPL_PARAM_CH_ACQ_RUN to TRUE for channel %u", (unsigned)channel);
            return failedIn("c_cstarta", code);
        }
    }
    if (d->acqStatus == ACQSTATUS_STOPPED)
        d->lastTimeStamp = 0;
    _setChannelAcqStatus(d, channel, ACQSTATUS_RUNNING);
    return 0;
}

/* The channel pause of c_cpauseas and c_cpausea; drain: one read after the
 * stop, whose non-zero result leaves the channel PAUSING. */
static int pauseChannel(c_Digitizer_t* d, int32_t channel, bool drain, const char* function) {
    int code = checkChannel(d, channel);
    if (code != 0)
        return failedIn(function, code);
    if (d->channels[channel].acqStatus != ACQSTATUS_RUNNING) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_WARNING, __LINE__, "Channel acquisition already stopped");
        return 0;
    }
    _setChannelAcqStatus(d, channel, ACQSTATUS_PAUSING);
    code = acqDevice(d) ? XMOR_DGTZ_StopChannelAcquisition(d->handle, (uint32_t)channel)
                        : _stopSingleChannel(d, channel);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in ZARN_DGTZ_SWStopAcquisition: %i", code);
        return failedIn(function, DPPL_ERR_DIGITIZER_API);
    }
    if (drain) {
        code = c_getDPPEvents(d, NULL);
        if (code != 0)
            return failedIn(function, code);
    }
    _setChannelAcqStatus(d, channel, ACQSTATUS_PAUSED);
    return 0;
}

int c_cpauseas(c_Digitizer_t* d, int32_t channel) { return pauseChannel(d, channel, false, "c_cpauseas"); }

int c_cpausea(c_Digitizer_t* d, int32_t channel) { return pauseChannel(d, channel, true, "c_cpausea"); }

/* The pause logs its own failure; the stop logs it again under its name. */
static int stopChannel(c_Digitizer_t* d, int32_t channel, bool drain, const char* function) {
    int code = drain ? c_cpausea(d, channel) : c_cpauseas(d, channel);
    if (code != 0)
        return failedIn(function, code);
    if (d->channels[channel].acqStatus == ACQSTATUS_PAUSED)
        _setChannelAcqStatus(d, channel, ACQSTATUS_STOPPED);
    return 0;
}

int c_cstopas(c_Digitizer_t* d, int32_t channel) { return stopChannel(d, channel, false, "c_cstopas"); }

int c_cstopa(c_Digitizer_t* d, int32_t channel) { return stopChannel(d, channel, true, "c_cstopa"); }

/* ---------------------------------------------------------- board commands */

int c_bdclear(c_Digitizer_t* d) {
    if (!acqRecordOpen(d))
        return failedIn("c_bdclear", DPPL_ERR_DIGITIZER_NOT_OPEN);
    if (d->replay)
        return 0;
    int code;
    if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        code = DPPL_ERR_NOT_SUPPORTED;
    else if (acqDevice(d))
        code = XMOR_DGTZ_ClearData(d->handle);
    else
        code = ZARN_DGTZ_ClearData(d->handle); /* the board-access code, unchanged */
    if (code != 0)
        logAcqFailure("c_bdclear", code);
    return code;
}

int c_breset(c_Digitizer_t* d) {
    if (!acqRecordOpen(d))
        return failedIn("c_breset", DPPL_ERR_DIGITIZER_NOT_OPEN);
    if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        return failedIn("c_breset", DPPL_ERR_NOT_SUPPORTED);
    if (acqDevice(d))
        return failedIn("c_breset", MORVANE_BoardReset(d));
    int outside = ZARN_DGTZ_Reset(d->handle);
    if (outside != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "error %i in ZARN_DGTZ_Reset()", outside);
        return failedIn("c_breset", DPPL_ERR_DIGITIZER_API);
    }
    return 0;
}

int c_bcalib(c_Digitizer_t* d) {
    if (d == NULL || ZARN_DGTZ_Calibrate(d->handle) != 0)
        return failedIn("c_bcalib", DPPL_ERR_DIGITIZER_API);
    return 0;
}

int c_bfreset(c_Digitizer_t* d) {
    if (!acqRecordOpen(d))
        return failedIn("c_bfreset", DPPL_ERR_DIGITIZER_NOT_OPEN);
    return failedIn("c_bfreset", _resetAcquisition(d));
}

int c_cfreset(c_Digitizer_t* d, int32_t channel) {
    int code = checkChannel(d, channel);
    if (code != 0)
        return failedIn("c_cfreset", code);
    _clearChannelTimeState(d, channel);
    return 0;
}

int c_cautosetstart(c_Digitizer_t* d, int32_t channel, uint32_t modeBits) {
    if (d == NULL || !acqDevice(d))
        return 0;
    if (channel < 0 || channel >= DPPL_MAX_CHANNELS)
        return failedIn("c_cautosetstart", DPPL_ERR_INVALID_CHANNEL);
    if (d->channels[channel].acqStatus != ACQSTATUS_RUNNING) {
        /* The device keeps the data of channels 0 to 2 only. */
        int code = channel > 2 ? -13 : c_rwrite(d, ((uint32_t)channel << 8) | 0x1018u, 1);
        if (code != 0) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in ZARN_DGTZ_ClearData: %i", code);
            return failedIn("c_cautosetstart", DPPL_ERR_DIGITIZER_API);
        }
    }
    return failedIn("c_cautosetstart", c_rwrite(d, 0x814C, ((uint32_t)channel | modeBits) & 0xFu));
}

int c_cautosetstop(c_Digitizer_t* d, uint32_t channel, uint32_t modeBits) {
    if (d == NULL || !acqDevice(d))
        return 0;
    return failedIn("c_cautosetstop", c_rwrite(d, 0x8160, (channel | modeBits) & 0xFu));
}

int c_csampleadvance(c_Digitizer_t* d, int32_t channel) {
    if (d == NULL || !acqDevice(d))
        return 0;
    if (channel < 0 || channel > 15)
        return failedIn("c_csampleadvance", DPPL_ERR_INVALID_CHANNEL);
    return failedIn("c_csampleadvance", c_rwrite(d, ((uint32_t)channel << 8) | 0x103Cu, 1));
}

/* ---------------------------------------------------------------- readout */

int c_sendFlush(c_Digitizer_t* d) {
    if (d == NULL)
        return DPPL_ERR_NOT_SUPPORTED;
    bool open = d->kind == DGTZ_KIND_OPEN || d->kind == DGTZ_KIND_GEN2_REPLAY;
    if (open) {
        c_Parameter_t* automatic = c_pfind(d, DPPL_PARAM_AUTOFLUSH_ENABLE);
        if (automatic != NULL && automatic->value != 0.0 && d->acqStatus == ACQSTATUS_RUNNING) {
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "Automatic flush is on: no manual flush.");
            return DPPL_ERR_NOT_SUPPORTED;
        }
    }
    c_Parameter_t* manual = open ? c_pfind(d, DPPL_PARAM_MANUAL_FLUSH) : NULL;
    if (manual == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "The board has no manual flush.");
        return DPPL_ERR_NOT_SUPPORTED;
    }
    manual->preferred = 1.0;
    int code = GENERIC_SetParam(d, manual, 1.0, 0);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_WARNING, __LINE__, "Can't set parameter '%s' value to 1. Error %d",
                         manual->name, code);
        return failedIn("c_sendFlush", DPPL_ERR_PARAMETER);
    }
    return 0;
}

int c_getDPPEvents(c_Digitizer_t* d, int32_t* bytes) {
    if (bytes != NULL)
        *bytes = 0;
    if (!acqRecordOpen(d))
        return failedIn("c_getDPPEvents", DPPL_ERR_DIGITIZER_NOT_OPEN);
    if (d->roBuffer.ROAllocSize == 0)
        return failedIn("c_getDPPEvents", DPPL_ERR_READOUT_BUFFER);
    const int handle = d->handle;
    int code = GENERIC_ReadData(d);
    c_ReadoutBuffer_t* buffer = &d->roBuffer;
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in GENERIC_ReadData: %i", code);
        if (bytes != NULL)
            *bytes = (int32_t)buffer->ROBytes;
        return failedIn("c_getDPPEvents", code);
    }
    uint64_t now = c_get_time();
    /* A replayed file has no board to flush: its end is the end of the data. */
    if (buffer->ROBytes > 0)
        d->lastDataTime = now;
    else if (!d->replay && d->acqStatus == ACQSTATUS_RUNNING && d->idleFlush && now - d->lastDataTime > kIdleFlushMs)
        code = flushIdleBoard(d, handle);
    if (code == 0 && buffer->ROBytes > 0) {
        if (d->kind == DGTZ_KIND_GEN2_REPLAY)
            code = DPPL_ERR_NOT_SUPPORTED;
        else if ((code = GENERIC_GetEvents(d, buffer)) != 0)
            c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in GENERIC_GetEvents: %i", code);
    } else if (code == 0) {
        if (d->scope != NULL)
            d->scope->nEvents = 0;
        for (int32_t ch = 0; ch < acqChannelCount(d); ++ch)
            d->channels[ch].nEvents = 0;
    }
    if (bytes != NULL)
        *bytes = (int32_t)buffer->ROBytes;
    if (code != 0)
        return failedIn("c_getDPPEvents", code);
    GENERIC_MarkEndOfRun(d);
    if (d->acqStatus == ACQSTATUS_STOPPING)
        _setAcqStatus(d, ACQSTATUS_STOPPED);
    else if (d->acqStatus == ACQSTATUS_PAUSING)
        _setAcqStatus(d, ACQSTATUS_PAUSED);
    return 0;
}

/* ------------------------------------------------------- readout services */

int c_sendswtrigger(c_Digitizer_t* d) {
    int code;
    if (d == NULL)
        code = DPPL_ERR_NULL_ARGUMENT;
    else if (d->kind == DGTZ_KIND_GEN2_REPLAY)
        code = DPPL_ERR_NOT_SUPPORTED;
    else if (acqDevice(d))
        code = MORVANE_SWTrigger(d);
    else
        code = ZARN_DGTZ_SendSWtrigger(d->handle) != 0 ? DPPL_ERR_DIGITIZER_API : 0;
    return failedIn("c_sendswtrigger", code);
}

int c_sendcswtrigger(c_Digitizer_t* d, int32_t channel) {
    if (d == NULL || !acqDevice(d))
        return failedIn("c_sendcswtrigger", DPPL_ERR_NOT_SUPPORTED);
    return failedIn("c_sendcswtrigger", MORVANE_ChannelSWTrigger(d, channel));
}

int c_getSWDPPEvents(c_Digitizer_t* d, int32_t* bytes) {
    c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "Starting Readout of SW events");
    int32_t lastBytes = 0;
    int result = DPPL_ERR_GENERIC;
    for (uint32_t read = 1; read <= kSoftwareReadsMax; ++read) {
        int code = c_getDPPEvents(d, &lastBytes);
        if (code != 0) {
            result = code;
            break;
        }
        if (lastBytes > 0 && everyEnabledChannelHasEvents(d)) {
            result = read <= kSoftwareReadsAccepted ? 0 : DPPL_ERR_GENERIC;
            break;
        }
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "Sending SW Trigger");
        if (c_sendswtrigger(d) != 0) {
            result = DPPL_ERR_DIGITIZER_API;
            break;
        }
    }
    c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_DETAIL, __LINE__, "SW events read.");
    if (bytes != NULL)
        *bytes = lastBytes;
    return failedIn("c_getSWDPPEvents", result);
}

int c_sendswstart(c_Digitizer_t* d) {
    char mode[C_PARAM_TEXT_SIZE];
    int code = readStartMode(d, mode, sizeof mode);
    if (code != 0)
        return failedIn("c_sendswstart", code);
    if (strcmp(mode, "START_MODE_FIRST_TRG") != 0)
        return 0;
    c_Parameter_t* atStart = c_pfind(d, DPPL_PARAM_SW_TRG_AT_START);
    if (atStart == NULL) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Can't find DPPL_PARAM_SW_TRG_AT_START parameter");
        return failedIn("c_sendswstart", DPPL_ERR_PARAMETER);
    }
    double value = 0.0;
    code = c_pget(d, atStart, &value);
    if (code != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                         "Can't get DPPL_PARAM_SW_TRG_AT_START parameter value");
        return failedIn("c_sendswstart", code);
    }
    if (value == 1.0 && ZARN_DGTZ_SendSWtrigger(d->handle) != 0) {
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Can't send start SW TRG.");
        return failedIn("c_sendswstart", DPPL_ERR_DIGITIZER_API);
    }
    return 0;
}

int c_sendswstop(c_Digitizer_t* d) {
    char mode[C_PARAM_TEXT_SIZE];
    return failedIn("c_sendswstop", readStartMode(d, mode, sizeof mode));
}

int64_t c_CalcRiseTime(uint32_t smoothExp, const c_Waveform_t* waveform, uint32_t baselineStart,
                       uint32_t baselineEnd) {
    if (waveform == NULL)
        return 0;
    const c_Trace_t* trace = NULL;
    for (int slot = 0; slot < DPPL_ANALOG_TRACES && trace == NULL; ++slot)
        if (waveform->traces[slot].probe == DPPL_PROBE_INPUT && waveform->traces[slot].samples != NULL)
            trace = &waveform->traces[slot];
    uint32_t n = waveform->nSamples;
    if (trace == NULL || n == 0)
        return 0;
    if (n > trace->capacity)
        n = trace->capacity;
    double* smoothed = (double*)c_malloc((size_t)n * sizeof(double));
    if (smoothed == NULL)
        return 0;
    smoothUnsigned((const uint16_t*)trace->samples, smoothed, n, smoothExp);
    double baseline = 0.0;
    uint32_t counted = 0;
    for (uint32_t i = baselineStart; i < baselineEnd && i < n; ++i, ++counted)
        baseline += smoothed[i];
    if (counted == 0) {
        c_free(smoothed); /* no baseline, no levels: neither is ever exceeded */
        return 0;
    }
    baseline /= counted;
    double maximum = 0.0;
    for (uint64_t i = (uint64_t)baselineEnd + 1; i < n; ++i)
        if (smoothed[i] > maximum)
            maximum = smoothed[i];
    double l10 = baseline + 0.1 * (maximum - baseline), l90 = baseline + 0.9 * (maximum - baseline);
    /* One scan: the 10 % level is looked for until the 90 % one is found, which
     * ends the scan (so with a maximum below the baseline, where the 90 %
     * level comes first, the 10 % time stays 0). */
    double t10 = 0.0, t90 = 0.0;
    bool found10 = false;
    for (uint32_t k = 0; k + 1 < n; ++k) {
        if (!found10 && smoothed[k + 1] > l10)
            t10 = crossingAt(smoothed, k, l10), found10 = true;
        if (smoothed[k + 1] > l90) {
            t90 = crossingAt(smoothed, k, l90);
            break;
        }
    }
    c_free(smoothed);
    double rise = (t90 - t10) * 1000.0;
    if (!(rise > -9.2e18 && rise < 9.2e18))
        return 0;
    return (int64_t)rise;
}

int c_getRealtimeAndDeadtime(c_Digitizer_t* d, int32_t channel, uint64_t* realTime, uint64_t* deadTime) {
    int code = 0;
    if (d == NULL || realTime == NULL || deadTime == NULL) {
        code = DPPL_ERR_NULL_ARGUMENT;
    } else if (d->descriptor.DPPCode == 128 && d->descriptor.DPPMinorRev > 64) {
        if (channel < 0 || channel >= acqChannelCount(d)) {
            code = DPPL_ERR_INVALID_CHANNEL;
        } else {
            uint32_t real = 0, dead = 0;
            uint32_t base = (uint32_t)channel << 8;
            int outside = ZARN_DGTZ_ReadRegister(d->handle, base | 0x10DC, &real);
            if (outside != 0) {
                c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                                 " [CH %i]: Can't read realtime. Zarn Digitizer Error %i", channel, outside);
                code = DPPL_ERR_READ_REGISTER;
            } else if ((outside = ZARN_DGTZ_ReadRegister(d->handle, base | 0x10E0, &dead)) != 0) {
                c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__,
                                 " [CH %i]: Can't read deadtime. Zarn Digitizer Error %i", channel, outside);
                code = DPPL_ERR_READ_REGISTER;
            } else {
                double period = d->descriptor.SamplePeriod > 0.0 ? d->descriptor.SamplePeriod : 0.0;
                *realTime = (uint64_t)((double)real * period);
                *deadTime = (uint64_t)((double)dead * period);
            }
        }
    } else if (d->descriptor.DPPCode == DPPL_DPPCODE_MORVANE) {
        code = MORVANE_GetRealtimeAndDeadtime(d, channel, realTime, deadTime);
    } else {
        code = DPPL_ERR_NOT_SUPPORTED;
    }
    if (code != 0)
        c_extendedLogMsg(&ZarnDPPLayer_log, d, C_LOG_ERROR, __LINE__, "Error in GENERIC_GetRealtimeAndDeadtime: %i", code);
    return code;
}

} // extern "C"
