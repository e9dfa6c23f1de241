/*
 * ZarnROBuffDumper_Reader: a raw-data file opened for reading and its
 * header, parsed back for a replay record. The reader refuses anything it
 * cannot trust: counts beyond the record's slots, payloads longer than the
 * file, blocks that are not a whole number of values, repeated words, or
 * descriptor values no board could have; the buffer sizes a replay takes
 * from the header are then checked and bounded by ZarnROBuffDumper_Replay.
 */
#include "ZarnROBuffDumper.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "ZarnROBuffDumperShared.h"
#include "ZarnReplayDamage.h"

using namespace robuff;

namespace {

/* Descriptor fields the decoders use as shift widths and scale factors. */
constexpr uint32_t kMaxTimeTagBits = 47; /* the tag is extended by up to 16 more bits */
constexpr uint32_t kMaxValueBits = 32;
constexpr double kMaxSamplePeriodNs = 1.0e6;

/* Drops the file a dumper holds before or after a failed read: nothing was
 * written through it, so there is nothing for the close to answer. */
void closeFile(c_ROBuffDumper_t* dumper) {
    if (dumper->file != NULL)
        fclose(dumper->file);
    dumper->file = NULL;
    dumper->opened = 0;
}

/* The replayed file's path in fileName, for the replay's messages; a path
 * longer than fileName keeps its end, which names the file. */
void keepPathForMessages(c_ROBuffDumper_t* dumper, const char* path) {
    size_t length = strlen(path);
    size_t room = sizeof dumper->fileName - 1;
    const char* kept = length > room ? path + (length - room) : path;
    memcpy(dumper->fileName, kept, strlen(kept) + 1);
}

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

} // namespace

extern "C" {

int c_bdopenr(c_ROBuffDumper_t* dumper, c_RawDataHeader_t* header, const char* path) {
    if (dumper == NULL || header == NULL)
        return -2;
    dumper->id = 0;
    ZarnReplay_ReportDamaged(dumper); /* of the file it replaces */
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
    keepPathForMessages(dumper, path);
    dumper->opened = 1;
    return 0;
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
     * bounded by what the file's data bytes can fill. */
    if (result == 0 && (!descriptorIsSane(&header->descriptor) || !replaySizeIsSane(header)))
        result = -5;
    uint32_t largest = 0;
    if (result == 0 && !largestPossibleRecord(dumper->file, &largest)) {
        DLOG(C_LOG_ERROR, "Can't tell the size of the data records of the file.");
        result = -5;
    }
    if (result == 0)
        boundByRecords(header, largest);
    if (result != 0)
        c_bdfreeheader(header);
    return result;
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

} // extern "C"
