/*
 * ZarnROBuffDumper_Writer: recording. The writer opens a numbered file and
 * emits the header from an open record: its descriptor, readout size,
 * per-channel event capacities, trace length and one block of values for
 * every instance of every parameter category; then the readout appends each
 * buffer as a data record. The first failed write is logged once and kept:
 * nothing more is written to that file, and its close answers it.
 */
#include "ZarnROBuffDumper.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "ZarnParameters.h"
#include "ZarnROBuffDumperShared.h"
#include "ZarnRecordQueries.h"

using namespace robuff;

namespace {

constexpr uint64_t kIdLimit = 100000000000000ull; /* ids are below 10^14 */
constexpr size_t kMaxBaseLength = DPPL_DUMPER_BASE_SIZE - 1;

bool fileExists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

/* ------------------------------------------------------ value categories */

/* One parameter category as the header stores it: its word meaning and the
 * name of its block in the writer's messages. */
struct Category {
    uint32_t meaning;
    const char* blockName; /* in the writer's allocation message */
};

/* Value categories in the order the writer emits their words. */
constexpr Category kCategories[] = {
    {BD_WORD_BOARD_PARAMS, "brdparams"},       {BD_WORD_GROUP_PARAMS, "grparams"},
    {BD_WORD_CHANNEL_PARAMS, "chparams"},      {BD_WORD_LVDS_PARAMS, "lgparams"},
    {BD_WORD_VTRACE_PARAMS, "vtparams"},       {BD_WORD_HVCHANNEL_PARAMS, "hvchparams"},
    {BD_WORD_HVRANGE_PARAMS, "hvrangeparams"}, {BD_WORD_MONOUT_PARAMS, "moparams"},
    {BD_WORD_VGA_PARAMS, "vgaparams"},
};
constexpr size_t kCategoryCount = sizeof kCategories / sizeof kCategories[0];

/* The first instance's collection of a category. */
const c_ParamCollection_t* firstCollection(const c_Digitizer_t* d, uint32_t meaning) {
    switch (meaning) {
    case BD_WORD_BOARD_PARAMS: return d->boardColl;
    case BD_WORD_GROUP_PARAMS: return d->groupColl[0];
    case BD_WORD_CHANNEL_PARAMS: return d->channels[0].coll;
    case BD_WORD_LVDS_PARAMS: return d->lvdsColl[0];
    case BD_WORD_VTRACE_PARAMS: return d->vtrace[0].coll;
    case BD_WORD_HVCHANNEL_PARAMS: return d->hv[0].coll;
    case BD_WORD_HVRANGE_PARAMS: return d->hv[0].ranges[0].coll;
    case BD_WORD_MONOUT_PARAMS: return d->monOutColl;
    case BD_WORD_VGA_PARAMS: return d->vgaColl[0];
    default: return NULL;
    }
}

/* Instances of a category that the descriptor counts. */
uint64_t instanceCount(const c_BoardDescriptor_t* board, uint32_t meaning) {
    switch (meaning) {
    case BD_WORD_BOARD_PARAMS: return 1;
    case BD_WORD_GROUP_PARAMS: return board->NumGroups;
    case BD_WORD_CHANNEL_PARAMS: return board->NumChannels;
    case BD_WORD_LVDS_PARAMS: return board->LVDSGroups;
    case BD_WORD_VTRACE_PARAMS: return (uint64_t)board->AnalogVTraces + board->DigitalVTraces;
    case BD_WORD_HVCHANNEL_PARAMS:
    case BD_WORD_HVRANGE_PARAMS: return board->HVChannels;
    case BD_WORD_MONOUT_PARAMS: return board->MonOuts;
    case BD_WORD_VGA_PARAMS: return board->VGAs;
    default: return 0;
    }
}

/* Bytes of a value block: one double per code of the collection. */
uint64_t blockBytes(const c_ParamCollection_t* collection) {
    if (collection == NULL || collection->lastCode < collection->firstCode)
        return 0;
    return ((uint64_t)collection->lastCode - (uint64_t)collection->firstCode + 1) * sizeof(double);
}

/* ------------------------------------------------------------ the writer */

/* A header being written: its word list and one work block per category. */
struct HeaderPlan {
    uint32_t* words;
    uint32_t count;
    bool overflow;
    double* blocks[kCategoryCount];
    uint64_t lengths[kCategoryCount];
    int32_t firstCodes[kCategoryCount];
    int32_t lastCodes[kCategoryCount];
};

void addWord(HeaderPlan* plan, uint32_t word) {
    if (plan->count >= DPPL_HEADER_MAX_WORDS) {
        plan->overflow = true;
        return;
    }
    plan->words[plan->count++] = word;
}

void freePlanBlocks(HeaderPlan* plan) {
    for (double*& block : plan->blocks) {
        c_free(block);
        block = NULL;
    }
}

/* The nine block lengths and their zeroed work buffers; -1 on allocation
 * failure, -7 for a block too long for its word. */
int allocatePlanBlocks(const c_Digitizer_t* d, HeaderPlan* plan) {
    for (size_t k = 0; k < kCategoryCount; k++) {
        const c_ParamCollection_t* collection = firstCollection(d, kCategories[k].meaning);
        uint64_t bytes = blockBytes(collection);
        uint32_t limit = hasWideLength(kCategories[k].meaning) ? kWideLengthMask : kNarrowLengthMask;
        if (bytes > limit) {
            DLOG(C_LOG_ERROR, "Parameter block %s too long for the header (%llu bytes).", kCategories[k].blockName,
                 (unsigned long long)bytes);
            return -7;
        }
        plan->lengths[k] = bytes;
        plan->firstCodes[k] = collection != NULL ? collection->firstCode : 0;
        plan->lastCodes[k] = collection != NULL ? collection->lastCode : -1;
        plan->blocks[k] = (double*)c_calloc(1, (size_t)bytes);
        if (plan->blocks[k] == NULL) {
            DLOG(C_LOG_ERROR, "Can't allocate %s (%u bytes). Out of memory.", kCategories[k].blockName,
                 (unsigned)bytes);
            return -1;
        }
    }
    return 0;
}

void planWords(const c_Digitizer_t* d, HeaderPlan* plan) {
    const c_BoardDescriptor_t* board = &d->descriptor;
    plan->count = 1; /* word 0 is filled last */
    addWord(plan, makeWord(BD_WORD_DESCRIPTOR, 0, sizeof(c_BoardDescriptor_t)));
    addWord(plan, makeWord(BD_WORD_READOUT_SIZE, 0, sizeof(uint32_t)));
    for (uint32_t ch = 0; ch < board->NumChannels; ch++)
        addWord(plan, makeWord(BD_WORD_CHANNEL_EVENTS, ch, sizeof(uint32_t)));
    addWord(plan, makeWord(BD_WORD_WAVE_SAMPLES, 0, sizeof(uint32_t)));
    for (size_t k = 0; k < kCategoryCount; k++) {
        uint64_t instances = instanceCount(board, kCategories[k].meaning);
        for (uint64_t i = 0; i < instances; i++)
            addWord(plan, makeWord(kCategories[k].meaning, (uint32_t)i, (uint32_t)plan->lengths[k]));
    }
}

/* Largest trace capacity among the waveforms of every channel's first event. */
uint32_t largestTraceCapacity(const c_Digitizer_t* d) {
    uint32_t largest = 0;
    for (uint32_t ch = 0; ch < d->descriptor.NumChannels && ch < DPPL_MAX_CHANNELS; ch++) {
        const c_ChannelRecord_t* channel = &d->channels[ch];
        if (channel->events == NULL || channel->capacity == 0 || channel->events[0].waveform == NULL)
            continue;
        for (const c_Trace_t& trace : channel->events[0].waveform->traces)
            if (trace.capacity > largest)
                largest = trace.capacity;
    }
    return largest;
}

size_t categorySlot(uint32_t meaning) {
    for (size_t k = 0; k < kCategoryCount; k++)
        if (kCategories[k].meaning == meaning)
            return k;
    return kCategoryCount;
}

/* The payload of one header word, written at the stream's position. */
int writePayload(c_Digitizer_t* d, FILE* file, HeaderPlan* plan, uint32_t word) {
    uint32_t meaning = wordMeaning(word);
    uint32_t index = wordIndex(word);
    uint32_t value = 0;
    switch (meaning) {
    case BD_WORD_DESCRIPTOR: return writeExactly(file, &d->descriptor, sizeof d->descriptor) ? 0 : -5;
    case BD_WORD_READOUT_SIZE:
        value = d->roBuffer.ROAllocSize;
        return writeExactly(file, &value, sizeof value) ? 0 : -5;
    case BD_WORD_CHANNEL_EVENTS:
        value = d->channels[index].capacity;
        return writeExactly(file, &value, sizeof value) ? 0 : -5;
    case BD_WORD_WAVE_SAMPLES:
        value = largestTraceCapacity(d);
        return writeExactly(file, &value, sizeof value) ? 0 : -5;
    default: break;
    }
    size_t k = categorySlot(meaning);
    if (k == kCategoryCount) {
        DLOG(C_LOG_ERROR, "Unknown word meaning %u.", (unsigned)meaning);
        return -5;
    }
    /* An instance without parameters still gets a full block (of -1.0), so
     * that every payload is as long as its word says. */
    c_readParamBlock(d, plan->blocks[k], (int32_t)index, plan->firstCodes[k], plan->lastCodes[k]);
    return writeExactly(file, plan->blocks[k], (size_t)plan->lengths[k]) ? 0 : -5;
}

} // namespace

extern "C" {

int c_bdopenw(c_Digitizer_t* digitizer, c_ROBuffDumper_t* dumper, const char* baseName, uint32_t mode, uint64_t id) {
    if (dumper == NULL || baseName == NULL)
        return -2;
    if (mode != BD_MODE_CREATE && mode != BD_MODE_APPEND)
        return -3;
    if (id >= kIdLimit)
        return -6;
    size_t baseLength = strnlen(baseName, kMaxBaseLength + 1);
    if (baseLength > kMaxBaseLength)
        return -7;

    /* baseName may be the dumper's own: copy it before anything changes. */
    char base[DPPL_DUMPER_BASE_SIZE];
    memcpy(base, baseName, baseLength);
    base[baseLength] = '\0';
    char fileName[DPPL_DUMPER_NAME_SIZE];
    snprintf(fileName, sizeof fileName, "%s_%llu.dat", base, (unsigned long long)id);
    bool headerDue = mode == BD_MODE_CREATE || !fileExists(fileName);

    memcpy(dumper->baseName, base, baseLength + 1);
    c_bdclose(dumper); /* logs a file it replaces that misses bytes */
    dumper->writeError = 0;
    dumper->writeErrno = 0;
    dumper->file = fopen(fileName, mode == BD_MODE_CREATE ? "wb" : "ab");
    if (dumper->file == NULL) {
        DLOG(C_LOG_ERROR, "Can't open raw-data file %s (%s).", fileName, strerror(errno));
        return -1;
    }
    memcpy(dumper->fileName, fileName, sizeof fileName);
    dumper->opened = 1;
    if (headerDue) {
        int result = c_bdwriteheader(digitizer, dumper);
        if (result != 0)
            return result;
        if (fgetpos(dumper->file, &dumper->dataStart) != 0)
            return -1;
        /* The header reaches the file now: a file that can't take it fails
         * the open, not a read of the run. */
        if (fflush(dumper->file) != 0) {
            noteWriteFailure(dumper, -5, errno);
            DLOG(C_LOG_ERROR, "Can't write the header of %s (%s).", dumper->fileName, writeFailureReason(dumper));
            return -5;
        }
    }
    dumper->id = id;
    return 0;
}

int c_bdnext(c_Digitizer_t* digitizer, c_ROBuffDumper_t* dumper, uint32_t mode) {
    if (dumper == NULL || dumper->baseName[0] == '\0')
        return -2;
    uint64_t id = c_getCurrentTimeRepresentation();
    /* A new file within the same second must not truncate the previous one
     * (appending to it loses nothing). */
    if (mode == BD_MODE_CREATE && dumper->id != 0 && id <= dumper->id)
        id = dumper->id + 1;
    return c_bdopenw(digitizer, dumper, dumper->baseName, mode, id);
}

int c_bdsetbf(c_ROBuffDumper_t* dumper, const char* baseName) {
    if (dumper == NULL || baseName == NULL)
        return -2;
    size_t length = strnlen(baseName, kMaxBaseLength + 1);
    if (length > kMaxBaseLength)
        return -7;
    memmove(dumper->baseName, baseName, length);
    dumper->baseName[length] = '\0';
    return 0;
}

int c_bdwriteheader(c_Digitizer_t* digitizer, c_ROBuffDumper_t* dumper) {
    if (digitizer == NULL || dumper == NULL)
        return -2;
    if (dumper->file == NULL)
        return -1;
    if (!countsFitSlots(&digitizer->descriptor)) {
        DLOG(C_LOG_ERROR, "Out of bounds, maximum header number of words");
        return -7;
    }
    HeaderPlan plan{};
    plan.words = dumper->headerWords;
    int result = allocatePlanBlocks(digitizer, &plan);
    if (result == 0) {
        planWords(digitizer, &plan);
        if (plan.overflow) {
            DLOG(C_LOG_ERROR, "Out of bounds, maximum header number of words");
            result = -7;
        }
    }
    errno = 0;
    if (result == 0) {
        dumper->headerWords[0] = kHeaderMagic | plan.count;
        dumper->headerWordCount = plan.count;
        if (!writeExactly(dumper->file, dumper->headerWords, plan.count * sizeof(uint32_t)))
            result = -5;
    }
    for (uint32_t w = 1; result == 0 && w < plan.count; w++)
        result = writePayload(digitizer, dumper->file, &plan, dumper->headerWords[w]);
    freePlanBlocks(&plan);
    if (result == -5) {
        noteWriteFailure(dumper, -5, errno);
        DLOG(C_LOG_ERROR, "Can't write the header of %s (%s).", dumper->fileName, writeFailureReason(dumper));
    }
    return result;
}

int c_readParamBlock(c_Digitizer_t* digitizer, double* out, int32_t instance, int32_t first, int32_t last) {
    if (out == NULL)
        return -2;
    for (int64_t code = first; code <= last; code++) {
        double* value = &out[code - first];
        *value = -1.0;
        if (!isOpenRecord(digitizer) || isSecondGenerationReplay(digitizer))
            continue;
        c_Parameter_t* param = NULL;
        int32_t c = (int32_t)code;
        switch (c_getParamCategory(digitizer, c)) {
        case PARAM_CATEGORY_BOARD: param = c_pfind(digitizer, c); break;
        case PARAM_CATEGORY_CHANNEL: param = c_pfindc(digitizer, instance, c); break;
        case PARAM_CATEGORY_LVDSGROUP: param = c_pfindlg(digitizer, instance, c); break;
        case PARAM_CATEGORY_VIRTUALTRACE: param = c_pfindvt(digitizer, instance, c); break;
        case PARAM_CATEGORY_HVCHANNEL: param = c_pfindhvc(digitizer, instance, c); break;
        case PARAM_CATEGORY_HVRANGE: {
            int32_t range = 0;
            if (instance >= 0 && instance < DPPL_MAX_HV_CHANNELS && digitizer->hv[instance].rangeCount > 1)
                range = digitizer->hv[instance].activeRange;
            param = c_pfindhvr(digitizer, instance, range, c);
            break;
        }
        case PARAM_CATEGORY_MONOUT: param = c_pfindmo(digitizer, instance, c); break;
        case PARAM_CATEGORY_GROUP: param = c_pfindg(digitizer, instance, c); break;
        case PARAM_CATEGORY_VGA: param = c_pfindvga(digitizer, instance, c); break;
        default: break;
        }
        double read = 0.0;
        if (param != NULL && c_pget(digitizer, param, &read) == 0)
            *value = read;
    }
    return 0;
}

int c_bdwriterecord(c_ROBuffDumper_t* dumper, const void* bytes, uint32_t count) {
    if (dumper == NULL || (bytes == NULL && count != 0))
        return -2;
    if (!c_bdopened(dumper))
        return -1;
    /* After a failed write the file ends where it failed: a record written
     * after a lost one would be read as part of it. */
    if (dumper->writeError != 0)
        return dumper->writeError;
    const char* failure = NULL;
    errno = 0;
    if (!writeExactly(dumper->file, &count, sizeof count))
        failure = "Can't write buffer size to file.";
    else if (!writeExactly(dumper->file, bytes, count))
        failure = "Can't write buffer to file.";
    if (failure == NULL)
        return 0;
    noteWriteFailure(dumper, -5, errno);
    DLOG(C_LOG_ERROR, "%s %s: %s. Nothing more is recorded in it.", failure, dumper->fileName,
         writeFailureReason(dumper));
    return -5;
}

int c_bddumpbuffer(c_Digitizer_t* digitizer) {
    if (digitizer == NULL || !digitizer->dumpEnabled || !c_bdopened(&digitizer->writer) ||
        digitizer->roBuffer.ROBytes == 0 || digitizer->roBuffer.ROBuf == NULL)
        return 0;
    return c_bdwriterecord(&digitizer->writer, digitizer->roBuffer.ROBuf, digitizer->roBuffer.ROBytes);
}

} // extern "C"
