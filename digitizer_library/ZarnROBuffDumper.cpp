/*
 * ZarnROBuffDumper: raw-data files (header, data records, replay reader).
 *
 * The writer emits the header from an open record: its descriptor, readout
 * size, per-channel event capacities, trace length and one block of values
 * for every instance of every parameter category. The reader parses it back
 * for a replay record and refuses anything it cannot trust: counts beyond
 * the record's slots, payloads longer than the file, blocks that are not a
 * whole number of values, repeated words, or buffers no board could need.
 */
#include "ZarnROBuffDumper.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "ZarnParameters.h"
#include "ZarnRecordQueries.h"

static const c_LogModule_t ZarnROBuffDumper_log = {"ZarnROBuffDumperLog.txt", "ZarnROBuffDumper"};

#define DLOG(level, ...) c_lprintf(&ZarnROBuffDumper_log, (level), __LINE__, __VA_ARGS__)

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "raw-data files are written in host byte order");

namespace {

constexpr uint32_t kHeaderMagic = 0x10000000u;
constexpr uint32_t kHeaderMagicMask = 0xF0000000u;
constexpr uint32_t kWordCountMask = 0x0FFFFFFFu;
constexpr uint64_t kIdLimit = 100000000000000ull; /* ids are below 10^14 */
constexpr size_t kMaxBaseLength = DPPL_DUMPER_BASE_SIZE - 1;
constexpr uint32_t kWideLengthMask = 0xFFFFFFu; /* meanings 1, 2, 4, 5 */
constexpr uint32_t kNarrowLengthMask = 0xFFFFu; /* every other meaning */
constexpr uint32_t kMaxWordIndex = 0x3Fu;

/* Families whose buffers begin with the second-generation marker. */
constexpr uint32_t kGen2Families[] = {6111, 6122, 6133};
constexpr uint32_t kGen2HeaderMask = 0xFFF00000u, kGen2HeaderValue = 0x5B900000u;
constexpr uint32_t kAggregateHeaderBits = 0xA0000000u;

/* A replay record allocates what the header says it needs: the readout
 * buffer, every channel's events and their waveforms. A header asking for
 * more than this is taken for a corrupted one. */
constexpr double kMaxReplayBytes = 1024.0 * 1024.0 * 1024.0;
/* Bytes per waveform sample over every trace slot (3 analog of 2 bytes, 6
 * digital of 1): an upper bound of what a replay allocates. */
constexpr double kWaveformBytesPerSample = 3 * 2 + 6 * 1;
/* What the heap spends on each block besides its bytes (the allocator's
 * header and the C library's chunk): a waveform is 1 + 9 blocks, so that
 * short traces on many events cost far more than their samples. */
constexpr double kBlockOverheadBytes = 64;
constexpr double kWaveformBlocks = 1 + DPPL_TRACE_SLOTS;
/* A replay decodes one data record at a time, so the largest record bounds
 * what it can use: no event of any firmware takes less than one 32-bit word
 * of a record, and no trace sample less than one byte. */
constexpr uint32_t kMinEventBytes = 4;
constexpr uint32_t kMinSampleBytes = 1;
/* What a replay keeps whatever its records hold. */
constexpr uint32_t kMinReplayReadoutBytes = 4;
constexpr uint32_t kMinReplayEvents = 1;
/* Descriptor fields the decoders use as shift widths and scale factors. */
constexpr uint32_t kMaxTimeTagBits = 47; /* the tag is extended by up to 16 more bits */
constexpr uint32_t kMaxValueBits = 32;
constexpr double kMaxSamplePeriodNs = 1.0e6;

uint32_t wordMeaning(uint32_t word) { return word >> 24; }
uint32_t wordIndex(uint32_t word) { return (word >> 18) & kMaxWordIndex; }
bool hasWideLength(uint32_t meaning) {
    return meaning == BD_WORD_DESCRIPTOR || meaning == BD_WORD_READOUT_SIZE || meaning == BD_WORD_WAVE_SAMPLES ||
           meaning == BD_WORD_BOARD_PARAMS;
}
uint32_t wordLength(uint32_t word) {
    return word & (hasWideLength(wordMeaning(word)) ? kWideLengthMask : kNarrowLengthMask);
}
uint32_t makeWord(uint32_t meaning, uint32_t index, uint32_t length) {
    return (meaning << 24) | ((index & kMaxWordIndex) << 18) | length;
}

/* The first failed write, flush or close of the dumper's file, with the
 * system's error number taken where it failed. Later failures of the same
 * file keep the first. */
void noteWriteFailure(c_ROBuffDumper_t* dumper, int status, int error) {
    if (dumper->writeError != 0)
        return;
    dumper->writeError = status;
    dumper->writeErrno = error;
}

const char* writeFailureReason(const c_ROBuffDumper_t* dumper) {
    return dumper->writeErrno != 0 ? strerror(dumper->writeErrno) : "short write";
}

void closeFile(c_ROBuffDumper_t* dumper) {
    if (dumper->file != NULL)
        fclose(dumper->file);
    dumper->file = NULL;
    dumper->opened = 0;
}

bool fileExists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

/* Bytes between the stream's position and its end; -1 when unknown. */
long long bytesLeft(FILE* file) {
    struct stat info;
    long long position = ftello(file);
    if (position < 0 || fstat(fileno(file), &info) != 0)
        return -1;
    return (long long)info.st_size - position;
}

bool readExactly(FILE* file, void* out, size_t bytes) { return bytes == 0 || fread(out, 1, bytes, file) == bytes; }
bool writeExactly(FILE* file, const void* bytes, size_t count) {
    return count == 0 || fwrite(bytes, 1, count, file) == count;
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

/* Whether every count of the descriptor fits the record's slot arrays. */
bool countsFitSlots(const c_BoardDescriptor_t* board) {
    return board->NumChannels <= DPPL_MAX_CHANNELS && board->NumGroups <= DPPL_MAX_GROUPS &&
           board->LVDSGroups <= DPPL_MAX_LVDS_GROUPS &&
           (uint64_t)board->AnalogVTraces + board->DigitalVTraces <= DPPL_MAX_VTRACES &&
           board->HVChannels <= DPPL_MAX_HV_CHANNELS && board->MonOuts <= DPPL_MAX_MONOUTS &&
           board->VGAs <= DPPL_MAX_VGAS;
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

/* ------------------------------------------------------------ the reader */

/* Where the reader keeps the block of one value word, with its messages. */
struct BlockTarget {
    double** slot;
    const char* invalidIndex; /* NULL: every index of the word fits */
    const char* allocFailed;
    const char* readFailed;
};

BlockTarget blockTarget(c_RawDataHeader_t* header, uint32_t meaning, uint32_t index) {
    auto within = [](uint32_t i, uint32_t size) { return i < size; };
    switch (meaning) {
    case BD_WORD_BOARD_PARAMS:
        return {&header->brdparams, NULL, "Can't allocate BrdParams. Can't read header (out of memory).",
                "Can't read board parameters."};
    case BD_WORD_CHANNEL_PARAMS:
        return {within(index, DPPL_MAX_CHANNELS) ? &header->chparams[index] : NULL, "Invalid channel %u.",
                "Can't allocate ChParams for channel %u. Can't read header (out of memory).",
                "Can't read parameters for channel %u from file."};
    case BD_WORD_LVDS_PARAMS:
        return {within(index, DPPL_MAX_LVDS_GROUPS) ? &header->lgparams[index] : NULL, "Invalid LVDSGroups %u.",
                "Can't allocate LGParams for channel %u. Can't read header (out of memory).",
                "Can't read parameters for LVDS Group %u from file."};
    case BD_WORD_VTRACE_PARAMS:
        return {within(index, DPPL_MAX_VTRACES) ? &header->vtparams[index] : NULL, "Invalid Virtual Trace %u.",
                "Can't allocate VTParams for channel %u. Can't read header (out of memory).",
                "Can't read parameters for Virtual Trace %u from file."};
    case BD_WORD_GROUP_PARAMS:
        return {within(index, DPPL_MAX_GROUPS) ? &header->grparams[index] : NULL, "Invalid group %u.",
                "Can't allocate GrParams for group %u. Can't read header (out of memory).",
                "Can't read parameters for group %u from file."};
    case BD_WORD_HVCHANNEL_PARAMS:
        return {within(index, DPPL_MAX_HV_CHANNELS) ? &header->hvchparams[index] : NULL, "Invalid HV channel %u.",
                "Can't allocate HVChParams for channel %u. Can't read header (out of memory).",
                "Can't read parameters for HV channel %u from file."};
    case BD_WORD_HVRANGE_PARAMS:
        return {within(index, DPPL_MAX_HV_CHANNELS) ? &header->hvrangeparams[index] : NULL, "Invalid HV channel %u.",
                "Can't allocate HVRangeParams for channel %u. Can't read header (out of memory).",
                "Can't read range parameters for HV channel %u from file."};
    case BD_WORD_MONOUT_PARAMS:
        return {within(index, DPPL_MAX_MONOUTS) ? &header->moparams[index] : NULL, "Invalid MonOut %u.",
                "Can't allocate MOParams for channel %u. Can't read header (out of memory).",
                "Can't read monout parameters for channel %u from file."};
    case BD_WORD_VGA_PARAMS:
        return {within(index, DPPL_MAX_VGAS) ? &header->vgaparams[index] : NULL, "Invalid VGA %u.",
                "Can't allocate VGAParams for index %u. Can't read header (out of memory).",
                "Can't read VGAParams for channel %u from file."};
    default: return {NULL, NULL, NULL, NULL};
    }
}

/* Logs one of the reader's messages, which name the index with "%u". */
void logIndexed(const char* format, uint32_t index) {
    c_lprintf(&ZarnROBuffDumper_log, C_LOG_ERROR, __LINE__, format, (unsigned)index);
}

/* Whether a payload of that length can still be read from the file. */
bool payloadFits(FILE* file, uint32_t length) {
    long long left = bytesLeft(file);
    return left >= 0 && (unsigned long long)left >= length;
}

/* The payload of one value word: one double per code. */
int readValueBlock(FILE* file, c_RawDataHeader_t* header, uint32_t meaning, uint32_t index, uint32_t length) {
    BlockTarget target = blockTarget(header, meaning, index);
    if (target.slot == NULL) {
        logIndexed(target.invalidIndex, index);
        return -5;
    }
    if (*target.slot != NULL) {
        DLOG(C_LOG_ERROR, "Header word of meaning %u repeats index %u.", (unsigned)meaning, (unsigned)index);
        return -5;
    }
    if (length % sizeof(double) != 0) {
        DLOG(C_LOG_ERROR, "Parameter block of meaning %u, index %u: %u bytes are not a whole number of values.",
             (unsigned)meaning, (unsigned)index, (unsigned)length);
        return -5;
    }
    if (!payloadFits(file, length)) {
        logIndexed(target.readFailed, index);
        return -5;
    }
    if (length == 0)
        return 0; /* the recorder had no parameters of this category */
    double* block = (double*)c_malloc(length);
    if (block == NULL) {
        logIndexed(target.allocFailed, index);
        return -2;
    }
    if (!readExactly(file, block, length)) {
        c_free(block);
        logIndexed(target.readFailed, index);
        return -5;
    }
    *target.slot = block;
    return 0;
}

/* A u32 payload (readout size, event capacity, trace length). */
int readCount(FILE* file, uint32_t length, uint32_t* out, const char* failure, uint32_t index) {
    if (length != sizeof(uint32_t) || !payloadFits(file, length) || !readExactly(file, out, sizeof *out)) {
        logIndexed(failure, index);
        return -5;
    }
    return 0;
}

int readDescriptor(FILE* file, c_RawDataHeader_t* header, uint32_t length) {
    if (length > sizeof header->descriptor) {
        DLOG(C_LOG_ERROR, "c_BoardDescriptor_t size is too small. Probably Board Infos has been shrinked.");
        return -5;
    }
    if (length < sizeof header->descriptor)
        DLOG(C_LOG_WARNING, "c_BoardDescriptor_t size doesn't match. Board Infos may be corrupted.");
    if (!payloadFits(file, length) || !readExactly(file, &header->descriptor, length)) {
        DLOG(C_LOG_ERROR, "Can't read Board Infos from file.");
        return -5;
    }
    return 0;
}

/* Which words a header held, to refuse repeated ones. */
struct SeenWords {
    bool descriptor, readoutSize, waveSamples;
    bool channelEvents[DPPL_MAX_CHANNELS];
};

bool markSeen(bool* seen, uint32_t meaning, uint32_t index) {
    if (*seen) {
        DLOG(C_LOG_ERROR, "Header word of meaning %u repeats index %u.", (unsigned)meaning, (unsigned)index);
        return false;
    }
    *seen = true;
    return true;
}

int readWord(FILE* file, c_RawDataHeader_t* header, SeenWords* seen, uint32_t word) {
    uint32_t meaning = wordMeaning(word);
    uint32_t index = wordIndex(word);
    uint32_t length = wordLength(word);
    switch (meaning) {
    case BD_WORD_DESCRIPTOR:
        return markSeen(&seen->descriptor, meaning, index) ? readDescriptor(file, header, length) : -5;
    case BD_WORD_READOUT_SIZE:
        if (!markSeen(&seen->readoutSize, meaning, index))
            return -5;
        return readCount(file, length, &header->roSize, "Can't read Readout Buffer Size from file.", index);
    case BD_WORD_CHANNEL_EVENTS:
        if (!markSeen(&seen->channelEvents[index], meaning, index))
            return -5;
        return readCount(file, length, &header->eventsPerChannel[index],
                         "Can't read number of allocated events for channel %u from file.", index);
    case BD_WORD_WAVE_SAMPLES:
        if (!markSeen(&seen->waveSamples, meaning, index))
            return -5;
        return readCount(file, length, &header->waveSamples, "Can't read Number of Wave Samples from file.", index);
    default: break;
    }
    if (blockTarget(header, meaning, 0).readFailed == NULL) {
        DLOG(C_LOG_ERROR, "Unknown word meaning %u.", (unsigned)meaning);
        return -5;
    }
    return readValueBlock(file, header, meaning, index, length);
}

/* The descriptor fields that size the replay record or feed the decoders'
 * arithmetic must be values a board can have. */
bool descriptorIsSane(const c_BoardDescriptor_t* board) {
    if (!countsFitSlots(board)) {
        DLOG(C_LOG_ERROR,
             "Board Infos give counts beyond the library's limits (channels %u, groups %u, LVDS groups %u, "
             "virtual traces %u+%u, HV channels %u, monitor outputs %u, VGAs %u).",
             (unsigned)board->NumChannels, (unsigned)board->NumGroups, (unsigned)board->LVDSGroups,
             (unsigned)board->AnalogVTraces, (unsigned)board->DigitalVTraces, (unsigned)board->HVChannels,
             (unsigned)board->MonOuts, (unsigned)board->VGAs);
        return false;
    }
    bool periodOk =
        isfinite(board->SamplePeriod) && board->SamplePeriod >= 0.0 && board->SamplePeriod <= kMaxSamplePeriodNs;
    if (!periodOk || board->TimeTagBits > kMaxTimeTagBits || board->EnergyBits > kMaxValueBits ||
        board->ADCBits > kMaxValueBits || board->ADC_NBits > kMaxValueBits) {
        DLOG(C_LOG_ERROR,
             "Board Infos hold impossible values (sample period %g ns, time-tag bits %u, energy bits %u, "
             "ADC bits %u/%u).",
             board->SamplePeriod, (unsigned)board->TimeTagBits, (unsigned)board->EnergyBits, (unsigned)board->ADCBits,
             (unsigned)board->ADC_NBits);
        return false;
    }
    return true;
}

/* The largest data record that the file holds whole, from the record sizes
 * after the header (a record cut by the end of the file is never replayed).
 * The stream's position is kept. False when the file can't be walked. */
bool largestRecord(FILE* file, uint32_t* largest) {
    *largest = 0;
    off_t start = ftello(file);
    if (start < 0)
        return false;
    uint32_t size = 0;
    while (fread(&size, 1, sizeof size, file) == sizeof size) {
        long long left = bytesLeft(file);
        if (left < 0 || (unsigned long long)left < size)
            break;
        if (size > *largest)
            *largest = size;
        if (fseeko(file, (off_t)size, SEEK_CUR) != 0)
            break;
    }
    clearerr(file);
    return fseeko(file, start, SEEK_SET) == 0;
}

/* A value brought into [low, high]. */
uint32_t clampTo(uint32_t value, uint32_t low, uint32_t high) {
    return value < low ? low : value > high ? high : value;
}

/* Bounds the buffer sizes the header asks for by what the file's largest
 * record can fill: a replay never uses more, and a corrupted header can't
 * make it allocate what the file could never fill. Whatever its records, a
 * replay keeps a readout buffer of one word (a read refuses an empty buffer)
 * and one event on every channel (the end-of-run mark): a run recorded with
 * no data record replays and ends like any other. */
void boundByRecords(c_RawDataHeader_t* header, uint32_t largest) {
    uint32_t readout = largest > kMinReplayReadoutBytes ? largest : kMinReplayReadoutBytes;
    uint32_t events = largest / kMinEventBytes > kMinReplayEvents ? largest / kMinEventBytes : kMinReplayEvents;
    uint32_t samples = largest / kMinSampleBytes;
    uint32_t asked = header->roSize, askedSamples = header->waveSamples;
    header->roSize = clampTo(header->roSize, kMinReplayReadoutBytes, readout);
    if (header->waveSamples > samples)
        header->waveSamples = samples;
    bool bounded = header->roSize != asked || header->waveSamples != askedSamples;
    for (uint32_t ch = 0; ch < header->descriptor.NumChannels && ch < DPPL_MAX_CHANNELS; ch++) {
        uint32_t bound = clampTo(header->eventsPerChannel[ch], kMinReplayEvents, events);
        bounded = bounded || bound != header->eventsPerChannel[ch];
        header->eventsPerChannel[ch] = bound;
    }
    if (bounded)
        DLOG(C_LOG_DETAIL, "Replay buffers bounded by the largest record (%u bytes): readout %u, trace length %u.",
             (unsigned)largest, (unsigned)header->roSize, (unsigned)header->waveSamples);
}

/* What a replay record would allocate for this header must stay within
 * what a board's own record could need. */
bool replaySizeIsSane(const c_RawDataHeader_t* header) {
    double perEvent = (double)sizeof(c_DPPEvent_t), perWaveform = 0.0;
    if (header->waveSamples != 0)
        perWaveform = (double)sizeof(c_Waveform_t) + kWaveformBytesPerSample * header->waveSamples +
                      kBlockOverheadBytes * kWaveformBlocks;
    /* The device's replay gives a waveform to one event per channel only. */
    bool oneWaveform = header->descriptor.FamilyCode == DPPL_FAMILY_MORVANE;
    double total = header->roSize;
    for (uint32_t ch = 0; ch < header->descriptor.NumChannels; ch++) {
        double events = header->eventsPerChannel[ch];
        total += perEvent * events + perWaveform * (oneWaveform && events > 1 ? 1.0 : events);
    }
    if (total > kMaxReplayBytes) {
        DLOG(C_LOG_ERROR, "Header asks for %.0f bytes of buffers (readout %u, trace length %u). Data seems corrupted.",
             total, (unsigned)header->roSize, (unsigned)header->waveSamples);
        return false;
    }
    return true;
}

bool isGen2Family(uint32_t family) {
    for (uint32_t code : kGen2Families)
        if (family == code)
            return true;
    return false;
}

bool bufferHeaderOk(const char* bytes, uint32_t size, uint32_t family) {
    if (size < sizeof(uint32_t))
        return false;
    uint32_t first = 0;
    memcpy(&first, bytes, sizeof first);
    if (isGen2Family(family))
        return (first & kGen2HeaderMask) == kGen2HeaderValue;
    return (first & kAggregateHeaderBits) == kAggregateHeaderBits;
}

} // namespace

extern "C" {

/* ------------------------------------------------------------- exported */

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

int c_bdopenr(c_ROBuffDumper_t* dumper, c_RawDataHeader_t* header, const char* path) {
    if (dumper == NULL || header == NULL)
        return -2;
    dumper->id = 0;
    closeFile(dumper);
    memset(header, 0, sizeof *header);
    if (path == NULL || (dumper->file = fopen(path, "rb")) == NULL) {
        DLOG(C_LOG_ERROR, "Can't open raw-data file %s.", path != NULL ? path : "(null)");
        return -1;
    }
    uint32_t first = 0;
    if (!readExactly(dumper->file, &first, sizeof first)) {
        DLOG(C_LOG_ERROR, "Can't read the header of %s.", path);
        closeFile(dumper);
        return -5;
    }
    /* The whole word list is read before word 0's type bits are judged; a
     * count the word store cannot hold is refused first (-4 when the type
     * bits already say it is no raw-data file). */
    bool rawData = (first & kHeaderMagicMask) == kHeaderMagic;
    uint32_t count = first & kWordCountMask;
    if (count == 0 || count > DPPL_HEADER_MAX_WORDS) {
        DLOG(C_LOG_ERROR, "Invalid number of header words %u in %s.", (unsigned)count, path);
        closeFile(dumper);
        return rawData ? -5 : -4;
    }
    dumper->headerWords[0] = first;
    if (!readExactly(dumper->file, &dumper->headerWords[1], (count - 1) * sizeof(uint32_t))) {
        DLOG(C_LOG_ERROR, "Can't read the %u header words of %s.", (unsigned)count, path);
        closeFile(dumper);
        return -5;
    }
    dumper->headerWordCount = count;
    if (!rawData) {
        DLOG(C_LOG_ERROR, "%s is not a raw-data file (first word 0x%08X).", path, (unsigned)first);
        closeFile(dumper);
        return -4;
    }

    int result = c_bdreadheader(dumper, header);
    if (result == 0 && fgetpos(dumper->file, &dumper->dataStart) != 0)
        result = -1;
    if (result != 0) {
        c_bdfreeheader(header);
        closeFile(dumper);
        return result;
    }
    dumper->opened = 1;
    return 0;
}

int c_bdclose(c_ROBuffDumper_t* dumper) {
    if (dumper == NULL)
        return -2;
    if (dumper->file == NULL) {
        dumper->opened = 0;
        return 0;
    }
    bool failedBefore = dumper->writeError != 0;
    if (fclose(dumper->file) != 0) {
        noteWriteFailure(dumper, -5, errno);
        if (!failedBefore) /* an earlier failure was logged when it happened */
            DLOG(C_LOG_ERROR, "Can't write the last bytes of %s (%s).", dumper->fileName, writeFailureReason(dumper));
    }
    dumper->file = NULL;
    dumper->opened = 0;
    return dumper->writeError != 0 ? -5 : 0;
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

uint8_t c_bdopened(const c_ROBuffDumper_t* dumper) {
    return dumper != NULL && dumper->file != NULL && dumper->opened == 1 ? 1 : 0;
}

/* ------------------------------------------------------------- internal */

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

int c_bdreadheader(c_ROBuffDumper_t* dumper, c_RawDataHeader_t* header) {
    if (dumper == NULL || header == NULL || dumper->file == NULL)
        return -2;
    memset(header, 0, sizeof *header);
    uint32_t count = dumper->headerWordCount;
    if (count == 0 || count > DPPL_HEADER_MAX_WORDS) {
        DLOG(C_LOG_ERROR, "Invalid number of header words %u.", (unsigned)count);
        return -5;
    }
    SeenWords seen{};
    int result = 0;
    for (uint32_t w = 1; result == 0 && w < count; w++)
        result = readWord(dumper->file, header, &seen, dumper->headerWords[w]);
    if (result == 0 && !seen.descriptor) {
        DLOG(C_LOG_ERROR, "Can't read Board Infos from file.");
        result = -5;
    }
    /* Sizes no board could have mark a corrupted header; the others are
     * bounded by what the file's records can fill. */
    if (result == 0 && (!descriptorIsSane(&header->descriptor) || !replaySizeIsSane(header)))
        result = -5;
    uint32_t largest = 0;
    if (result == 0 && !largestRecord(dumper->file, &largest)) {
        DLOG(C_LOG_ERROR, "Can't walk the data records of the file.");
        result = -5;
    }
    if (result == 0)
        boundByRecords(header, largest);
    if (result != 0)
        c_bdfreeheader(header);
    return result;
}

int c_readParamBlock(c_Digitizer_t* digitizer, double* out, int32_t instance, int32_t first, int32_t last) {
    if (out == NULL)
        return -2;
    for (int64_t code = first; code <= last; code++) {
        double* value = &out[code - first];
        *value = -1.0;
        if (!isOpenRecord(digitizer) || digitizer->kind == DGTZ_KIND_GEN2_REPLAY)
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

void c_bdfreeheader(c_RawDataHeader_t* header) {
    if (header == NULL)
        return;
    auto freeAll = [](double** blocks, size_t count) {
        for (size_t i = 0; i < count; i++) {
            c_free(blocks[i]);
            blocks[i] = NULL;
        }
    };
    freeAll(&header->brdparams, 1);
    freeAll(header->grparams, DPPL_MAX_GROUPS);
    freeAll(header->chparams, DPPL_MAX_CHANNELS);
    freeAll(header->lgparams, DPPL_MAX_LVDS_GROUPS);
    freeAll(header->vtparams, DPPL_MAX_VTRACES);
    freeAll(header->hvchparams, DPPL_MAX_HV_CHANNELS);
    freeAll(header->hvrangeparams, DPPL_MAX_HV_CHANNELS);
    freeAll(header->moparams, DPPL_MAX_MONOUTS);
    freeAll(header->vgaparams, DPPL_MAX_VGAS);
}

/* ----------------------------------------------------------- data records */

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

int c_bdreadrecord(c_ROBuffDumper_t* dumper, c_ReadoutBuffer_t* buffer, uint32_t familyCode) {
    if (buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    buffer->ROBytes = 0;
    if (dumper == NULL || dumper->file == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    FILE* file = dumper->file;
    uint32_t size = 0;
    size_t got = fread(&size, 1, sizeof size, file);
    if (got < sizeof size) {
        if (feof(file))
            return BD_END_OF_FILE; /* a size cut by the end of the file ends the data too */
        DLOG(C_LOG_ERROR, "Can't read buffer size from file.");
        return DPPL_ERR_READ_DATA;
    }
    if (size > buffer->ROAllocSize || buffer->ROBuf == NULL) {
        DLOG(C_LOG_ERROR, "Not enough space on Readout buffer: avail=%u, required=%u.", (unsigned)buffer->ROAllocSize,
             (unsigned)size);
        long long left = bytesLeft(file);
        if (left >= 0 && (unsigned long long)left >= size)
            fseeko(file, (off_t)size, SEEK_CUR); /* the next call reads the next record */
        else
            fseeko(file, 0, SEEK_END);
        return DPPL_ERR_READ_DATA;
    }
    size_t read = fread(buffer->ROBuf, 1, size, file);
    if (read != size) {
        DLOG(C_LOG_ERROR, "Buffersize read (%u) differs than expected (%u).", (unsigned)read, (unsigned)size);
        return DPPL_ERR_READ_DATA;
    }
    if (!bufferHeaderOk(buffer->ROBuf, size, familyCode)) {
        DLOG(C_LOG_ERROR, "Buffer Header failed check. Data seems corrupted.");
        return DPPL_ERR_READ_DATA;
    }
    buffer->ROBytes = size;
    return 0;
}

int c_bdrewind(c_ROBuffDumper_t* dumper) {
    if (dumper == NULL)
        return -2;
    if (dumper->file == NULL || fsetpos(dumper->file, &dumper->dataStart) != 0)
        return -1;
    clearerr(dumper->file);
    return 0;
}

} // extern "C"
