/*
 * ZarnROBuffDumper: raw-data files.
 *
 * A raw-data file records what a board delivered: a header describing the
 * board and every parameter value at the moment the file was opened, then
 * every readout buffer as a record {u32 byte count, the bytes}. The record's
 * writer dumper records while acquiring; a replay record reads a file back
 * through its reader dumper. The types c_ROBuffDumper_t and
 * c_RawDataHeader_t are in ZarnRecords.h.
 *
 * Header (little-endian): word 0 = 0x10000000 | N (N words, word 0 included,
 * at most 256); words 1..N-1 = meaning (bits 24-31), index (bits 18-23),
 * payload length in bytes (bits 0-17; the reader takes bits 0-23 for meanings
 * 1, 2, 4, 5 and bits 0-15 for the others); then the payloads in word order.
 *
 * Dumper status codes: -1 open or position failure (and the header writer's
 * allocation failures), -2 NULL dumper or empty base name (and the header
 * reader's allocation failures), -3 bad mode, -4 not a raw-data file, -5 short
 * read or write or a malformed header, -6 id too large, -7 base name too long
 * or too many header words.
 */
#ifndef ZARN_RO_BUFF_DUMPER_H
#define ZARN_RO_BUFF_DUMPER_H

#include <stdint.h>

#include "ZarnRecords.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Modes of c_bdopenw. */
#define BD_MODE_CREATE 1 /* create or truncate, header written */
#define BD_MODE_APPEND 2 /* append; a header only when the file is new */

/* Header word meanings, in the order the writer emits them. */
#define BD_WORD_DESCRIPTOR       1
#define BD_WORD_READOUT_SIZE     2
#define BD_WORD_CHANNEL_EVENTS   3
#define BD_WORD_WAVE_SAMPLES     4
#define BD_WORD_BOARD_PARAMS     5
#define BD_WORD_CHANNEL_PARAMS   6
#define BD_WORD_LVDS_PARAMS      7
#define BD_WORD_VTRACE_PARAMS    8
#define BD_WORD_GROUP_PARAMS     9
#define BD_WORD_HVCHANNEL_PARAMS 10
#define BD_WORD_HVRANGE_PARAMS   11
#define BD_WORD_MONOUT_PARAMS    12
#define BD_WORD_VGA_PARAMS       13

/* ------------------------------------------------------------- exported */

/* Opens "<base>_<id>.dat" for writing (mode 1 truncates, mode 2 appends) and
 * writes the record's header, except when mode 2 finds the file already
 * there; the header is flushed to the file before the open succeeds. A
 * failing header write returns its code (-5) with the file left open. */
DRAVIK_API int c_bdopenw(c_Digitizer_t* digitizer, c_ROBuffDumper_t* dumper, const char* baseName, uint32_t mode,
                         uint64_t id);
/* c_bdopenw with the dumper's own base name and the current date-time number
 * as id. In mode 1 the id is kept above that of the dumper's previous file,
 * so that a file opened within the same second never truncates it. */
DRAVIK_API int c_bdnext(c_Digitizer_t* digitizer, c_ROBuffDumper_t* dumper, uint32_t mode);
/* Opens a raw-data file for reading and parses its header into *header,
 * whose value blocks then belong to the caller (c_bdfreeheader). On failure
 * the file is closed and *header holds no block. The path is kept in
 * fileName (its end when longer) for the messages of the replay. */
DRAVIK_API int c_bdopenr(c_ROBuffDumper_t* dumper, c_RawDataHeader_t* header, const char* path);
/* Closes the dumper's file; -5 when the file misses bytes written to it:
 * the last buffered ones could not be written, or an earlier write failed
 * (writeError and writeErrno keep the first failure until the next open). */
DRAVIK_API int c_bdclose(c_ROBuffDumper_t* dumper);
/* Sets the base name (at most 200 characters). */
DRAVIK_API int c_bdsetbf(c_ROBuffDumper_t* dumper, const char* baseName);
/* Byte boolean: a file is open through the dumper. */
DRAVIK_API uint8_t c_bdopened(const c_ROBuffDumper_t* dumper);

/* Frees the header's value blocks. */
DRAVIK_API void c_bdfreeheader(c_RawDataHeader_t* header);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_RO_BUFF_DUMPER_H */
