/*
 * ZarnROBuffDumperShared: what the pieces of the raw-data files share: their
 * log record ("ZarnROBuffDumperLog.txt", every piece as "ZarnROBuffDumper"),
 * the layout of a header word, the byte helpers of the file, the bookkeeping
 * of the first failed write, and the steps the header reader hands to the
 * replay: the buffer sizes a replay record takes from a header.
 *
 * The pieces: ZarnROBuffDumper_File (a dumper's open file and its close,
 * either side), ZarnROBuffDumper_Writer (recording: the header and the data
 * records), ZarnROBuffDumper_Reader (a file opened for reading and its
 * header), ZarnROBuffDumper_Replay (the replay's buffer sizes, its records,
 * its rewind).
 */
#ifndef ZARN_RO_BUFF_DUMPER_SHARED_H
#define ZARN_RO_BUFF_DUMPER_SHARED_H

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include "ZarnROBuffDumper.h"
#include "ZarnROBuffDumperRecords.h"
#include "ZarnRecords.h"

static const c_LogModule_t ZarnROBuffDumper_log = {"ZarnROBuffDumperLog.txt", "ZarnROBuffDumper"};

#define DLOG(level, ...) c_lprintf(&ZarnROBuffDumper_log, (level), __LINE__, __VA_ARGS__)

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "raw-data files are written in host byte order");

namespace robuff {

/* ------------------------------------------------------- header words */

constexpr uint32_t kHeaderMagic = 0x10000000u;
constexpr uint32_t kHeaderMagicMask = 0xF0000000u;
constexpr uint32_t kWordCountMask = 0x0FFFFFFFu;
constexpr uint32_t kWideLengthMask = 0xFFFFFFu; /* meanings 1, 2, 4, 5 */
constexpr uint32_t kNarrowLengthMask = 0xFFFFu; /* every other meaning */
constexpr uint32_t kMaxWordIndex = 0x3Fu;

inline uint32_t wordMeaning(uint32_t word) { return word >> 24; }
inline uint32_t wordIndex(uint32_t word) { return (word >> 18) & kMaxWordIndex; }
inline bool hasWideLength(uint32_t meaning) {
    return meaning == BD_WORD_DESCRIPTOR || meaning == BD_WORD_READOUT_SIZE || meaning == BD_WORD_WAVE_SAMPLES ||
           meaning == BD_WORD_BOARD_PARAMS;
}
inline uint32_t wordLength(uint32_t word) {
    return word & (hasWideLength(wordMeaning(word)) ? kWideLengthMask : kNarrowLengthMask);
}
inline uint32_t makeWord(uint32_t meaning, uint32_t index, uint32_t length) {
    return (meaning << 24) | ((index & kMaxWordIndex) << 18) | length;
}

/* Whether every count of the descriptor fits the record's slot arrays. */
inline bool countsFitSlots(const c_BoardDescriptor_t* board) {
    return board->NumChannels <= DPPL_MAX_CHANNELS && board->NumGroups <= DPPL_MAX_GROUPS &&
           board->LVDSGroups <= DPPL_MAX_LVDS_GROUPS &&
           (uint64_t)board->AnalogVTraces + board->DigitalVTraces <= DPPL_MAX_VTRACES &&
           board->HVChannels <= DPPL_MAX_HV_CHANNELS && board->MonOuts <= DPPL_MAX_MONOUTS &&
           board->VGAs <= DPPL_MAX_VGAS;
}

/* --------------------------------------------------------------- bytes */

/* Bytes between the stream's position and its end; -1 when unknown. */
inline long long bytesLeft(FILE* file) {
    struct stat info;
    long long position = ftello(file);
    if (position < 0 || fstat(fileno(file), &info) != 0)
        return -1;
    return (long long)info.st_size - position;
}

inline bool readExactly(FILE* file, void* out, size_t bytes) {
    return bytes == 0 || fread(out, 1, bytes, file) == bytes;
}
inline bool writeExactly(FILE* file, const void* bytes, size_t count) {
    return count == 0 || fwrite(bytes, 1, count, file) == count;
}

/* ------------------------------------- a failed write (ZarnROBuffDumper_File) */

/* The first failed write, flush or close of the dumper's file, with the
 * system's error number taken where it failed. Later failures of the same
 * file keep the first. */
void noteWriteFailure(c_ROBuffDumper_t* dumper, int status, int error);
/* The system's text of the kept failure, or "short write". */
const char* writeFailureReason(const c_ROBuffDumper_t* dumper);

/* ----------------------------- a replay's buffer sizes (ZarnROBuffDumper_Replay) */

/* What a replay record would allocate for this header must stay within
 * what a board's own record could need. */
bool replaySizeIsSane(const c_RawDataHeader_t* header);
/* The largest data record that the bytes after the stream's position could
 * hold: those bytes less one record's size word. The records themselves are
 * not read (each record's size is checked as the replay reads it), so that
 * opening a long recording costs no more than a short one. False when the
 * file's size or the position can't be had. */
bool largestPossibleRecord(FILE* file, uint32_t* largest);
/* Bounds the buffer sizes the header asks for by what the file's largest
 * possible record can fill: a replay never uses more, and a corrupted header
 * can't make it allocate what the file could never fill. Whatever its
 * records, a replay keeps a readout buffer of one word (a read refuses an
 * empty buffer) and one event on every channel (the end-of-run mark): a run
 * recorded with no data record replays and ends like any other. */
void boundByRecords(c_RawDataHeader_t* header, uint32_t largest);

} // namespace robuff

#endif
