/*
 * ZarnReplayDamage: the data records of a replayed raw-data file that its
 * replay could not use, kept in the reader. A record whose first word fails
 * the header check or whose aggregates don't decode is skipped: its bytes
 * were read and the next record follows it. A record that loses the framing
 * (size 0, past the readout bound, cut by the end of the file, unreadable)
 * ends the replay. The first few are logged with their byte offsets as they
 * come; the rest are only counted, and the count with the first offsets is
 * logged once, when the replay reaches the end of the file, is rewound or is
 * closed. What the damage means for a run is the caller's to report.
 */
#ifndef ZARN_REPLAY_DAMAGE_H
#define ZARN_REPLAY_DAMAGE_H

#include <stdbool.h>
#include <stdint.h>

#include "ZarnRecords.h"

/* A data record beginning at byte offset that the replay skipped (why says
 * what was wrong with it) or, with endsReplay, that ended the replay. */
void ZarnReplay_NoteDamaged(c_ROBuffDumper_t* reader, int64_t offset, const char* why, bool endsReplay);
/* Where the record that the reader read last, of bytes bytes, began (the
 * reader stands right after it); -1 when the file can't say. */
int64_t ZarnReplay_LastRecordAt(const c_ROBuffDumper_t* reader, uint32_t bytes);
/* Logs how many records were damaged and where the first of them lie, when
 * there were any, and starts the count anew. */
void ZarnReplay_ReportDamaged(c_ROBuffDumper_t* reader);

#endif
