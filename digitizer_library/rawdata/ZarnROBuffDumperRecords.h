/*
 * ZarnROBuffDumperRecords: the raw-data file's calls beneath the exported
 * dumper calls of ZarnROBuffDumper.h, which the library's recording, read
 * path and replay use: the header writer and reader, the parameter blocks,
 * the data records and the rewind. Not exported.
 */
#ifndef ZARN_RO_BUFF_DUMPER_RECORDS_H
#define ZARN_RO_BUFF_DUMPER_RECORDS_H

#include "ZarnROBuffDumper.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Result of c_bdreadrecord when the file holds no further record. */
#define BD_END_OF_FILE 1

/* Writes the header of the record at the dumper's position. */
int c_bdwriteheader(c_Digitizer_t* digitizer, c_ROBuffDumper_t* dumper);
/* Parses the payloads of the header words held by the dumper, reading from
 * its position. Every count and length is checked against the record's slots
 * and the bytes left in the file before anything is allocated or read. The
 * buffer sizes a replay takes from the header (readout size, events per
 * channel, trace length) are then bounded by what the file's data bytes can
 * fill; sizes no board could have are refused (-5). */
int c_bdreadheader(c_ROBuffDumper_t* dumper, c_RawDataHeader_t* header);
/* One value per code from first to last: the value of the parameter of that
 * code in the given instance of its category, read through the get path, or
 * -1.0 (no parameter, unknown category, second-generation replay, failed
 * read). out holds last - first + 1 doubles. */
int c_readParamBlock(c_Digitizer_t* digitizer, double* out, int32_t instance, int32_t first, int32_t last);
/* Appends one data record {count, bytes} to the dumper's file. 0, -2 NULL
 * argument, -1 no open file, -5 short write. The first failed write is logged
 * with the system's reason and kept in the dumper; every later call returns
 * it without writing, so that the file ends where the recording failed. */
int c_bdwriterecord(c_ROBuffDumper_t* dumper, const void* bytes, uint32_t count);
/* The recording step of a read: appends the record's readout buffer to its
 * writer while dumpEnabled is set, the writer is open and the buffer holds
 * bytes. Returns the write's result (0 when nothing was due). */
int c_bddumpbuffer(c_Digitizer_t* digitizer);
/* Reads the next data record of the dumper's file into buffer->ROBuf and
 * checks its first word against the board family (familyCode). 0 with
 * ROBytes the record's size; BD_END_OF_FILE with ROBytes 0 when no record is
 * left; -30 no open file; -32 (ROBytes 0) for a damaged record. A record
 * whose first word fails the check is skipped: the next call reads the
 * record after it. A record that loses the framing (unreadable, empty, cut
 * by the end of the file, too large for the buffer) ends the replay there:
 * the next call finds the end of the file. The reader counts its damaged
 * records; the first few are logged with their offsets, and the count at the
 * end of the file, at the rewind or at the close. */
int c_bdreadrecord(c_ROBuffDumper_t* dumper, c_ReadoutBuffer_t* buffer, uint32_t familyCode);
/* Moves a reader back to its first data record. 0, -2 NULL, -1 no file or a
 * failed position. */
int c_bdrewind(c_ROBuffDumper_t* dumper);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_RO_BUFF_DUMPER_RECORDS_H */
