/*
 * ZarnROBuffDumper_Replay: what a replay record takes from a raw-data file:
 * the buffer sizes of its header, checked against what a board's own record
 * could need and bounded by the bytes of data the file holds; then one data
 * record per read, its size checked against the readout buffer and its first
 * word against the board family; and the way back to the first record when
 * the replay stops.
 */
#include "ZarnROBuffDumper.h"

#include <stdio.h>
#include <string.h>

#include "ZarnFamilyRows.h"
#include "ZarnROBuffDumperShared.h"
#include "ZarnReplayDamage.h"

namespace {

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
/* A replay decodes one data record at a time, so the largest record the
 * file could hold bounds what it can use: no event of any firmware takes
 * less than one 32-bit word of a record, and no trace sample less than one
 * byte. */
constexpr uint32_t kMinEventBytes = 4;
constexpr uint32_t kMinSampleBytes = 1;
/* What a replay keeps whatever its records hold. */
constexpr uint32_t kMinReplayReadoutBytes = 4;
constexpr uint32_t kMinReplayEvents = 1;

/* A value brought into [low, high]. */
uint32_t clampTo(uint32_t value, uint32_t low, uint32_t high) {
    return value < low ? low : value > high ? high : value;
}

/* Families whose buffers begin with the second-generation marker. */
constexpr uint32_t kGen2Families[] = {6111, 6122, 6133};
constexpr uint32_t kGen2HeaderMask = 0xFFF00000u, kGen2HeaderValue = 0x5B900000u;
constexpr uint32_t kAggregateHeaderBits = 0xA0000000u;

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

/* A data record that loses the framing ends the replay there: what follows
 * it can't be trusted to be framed as records. The reader is left at the end
 * of the file, so that the next read finds the end as after the last record. */
int endReplayAt(c_ROBuffDumper_t* dumper, long long offset) {
    ZarnReplay_NoteDamaged(dumper, offset, NULL, true);
    fseeko(dumper->file, 0, SEEK_END);
    return DPPL_ERR_READ_DATA;
}

} // namespace

namespace robuff {

bool largestPossibleRecord(FILE* file, uint32_t* largest) {
    long long left = bytesLeft(file);
    if (left < 0)
        return false;
    long long bytes = left - (long long)sizeof(uint32_t);
    *largest = bytes <= 0 ? 0 : bytes >= (long long)UINT32_MAX ? UINT32_MAX : (uint32_t)bytes;
    return true;
}

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
        DLOG(C_LOG_DETAIL,
             "Replay buffers bounded by the largest record the file can hold (%u bytes): readout %u, "
             "trace length %u.",
             (unsigned)largest, (unsigned)header->roSize, (unsigned)header->waveSamples);
}

bool replaySizeIsSane(const c_RawDataHeader_t* header) {
    double perEvent = (double)sizeof(c_DPPEvent_t), perWaveform = 0.0;
    if (header->waveSamples != 0)
        perWaveform = (double)sizeof(c_Waveform_t) + kWaveformBytesPerSample * header->waveSamples +
                      kBlockOverheadBytes * kWaveformBlocks;
    /* A family's replay gives a waveform to as many events of a channel as
     * its own record holds (the device's: one). */
    uint32_t waveformEvents = ZarnFamily_Find(header->descriptor.FamilyCode)->waveformEvents;
    double total = header->roSize;
    for (uint32_t ch = 0; ch < header->descriptor.NumChannels; ch++) {
        double events = header->eventsPerChannel[ch];
        total += perEvent * events +
                 perWaveform * (waveformEvents != 0 && events > waveformEvents ? waveformEvents : events);
    }
    if (total > kMaxReplayBytes) {
        DLOG(C_LOG_ERROR, "Header asks for %.0f bytes of buffers (readout %u, trace length %u). Data seems corrupted.",
             total, (unsigned)header->roSize, (unsigned)header->waveSamples);
        return false;
    }
    return true;
}

} // namespace robuff

using namespace robuff;

extern "C" {

int c_bdreadrecord(c_ROBuffDumper_t* dumper, c_ReadoutBuffer_t* buffer, uint32_t familyCode) {
    if (buffer == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    buffer->ROBytes = 0;
    if (dumper == NULL || dumper->file == NULL)
        return DPPL_ERR_NULL_ARGUMENT;
    FILE* file = dumper->file;
    /* Where the record began, asked only when it fails: a read of many
     * small records asks the file nothing but the records. */
    uint32_t size = 0;
    size_t got = fread(&size, 1, sizeof size, file);
    if (got < sizeof size) {
        if (feof(file)) {
            ZarnReplay_ReportDamaged(dumper);
            return BD_END_OF_FILE; /* a size cut by the end of the file ends the data too */
        }
        DLOG(C_LOG_ERROR, "Can't read buffer size from file.");
        return endReplayAt(dumper, (long long)ftello(file) - (long long)got);
    }
    const long long sizeWord = (long long)sizeof size;
    if (size == 0) {
        DLOG(C_LOG_ERROR, "Data record of 0 bytes.");
        return endReplayAt(dumper, (long long)ftello(file) - sizeWord);
    }
    if (size > buffer->ROAllocSize || buffer->ROBuf == NULL) {
        DLOG(C_LOG_ERROR, "Not enough space on Readout buffer: avail=%u, required=%u.", (unsigned)buffer->ROAllocSize,
             (unsigned)size);
        return endReplayAt(dumper, (long long)ftello(file) - sizeWord);
    }
    size_t read = fread(buffer->ROBuf, 1, size, file);
    if (read != size) {
        if (feof(file))
            DLOG(C_LOG_ERROR, "Data record of %u bytes cut by the end of the file after %lld.", (unsigned)size,
                 (long long)read);
        else
            DLOG(C_LOG_ERROR, "Buffersize read (%u) differs than expected (%u).", (unsigned)read, (unsigned)size);
        return endReplayAt(dumper, (long long)ftello(file) - (long long)read - sizeWord);
    }
    /* The framing holds: the record alone is lost, and the next read goes on
     * with the record after it. */
    if (!bufferHeaderOk(buffer->ROBuf, size, familyCode)) {
        ZarnReplay_NoteDamaged(dumper, ZarnReplay_LastRecordAt(dumper, size),
                               "Buffer Header failed check. Data seems corrupted.", false);
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
    ZarnReplay_ReportDamaged(dumper);
    clearerr(dumper->file);
    return 0;
}

} // extern "C"
