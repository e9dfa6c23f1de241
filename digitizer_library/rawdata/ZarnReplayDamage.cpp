/* ZarnReplayDamage: the damaged data records of a replay, counted in its
 * reader and logged as "ZarnROBuffDumper", the raw-data files' own log. */
#include "ZarnReplayDamage.h"

#include <stdio.h>
#include <string.h>

namespace {

const c_LogModule_t ZarnReplayDamage_log = {"ZarnROBuffDumperLog.txt", "ZarnROBuffDumper"};

#define RLOG(level, ...) c_lprintf(&ZarnReplayDamage_log, (level), __LINE__, __VA_ARGS__)

const char* fileOf(const c_ROBuffDumper_t* reader) {
    return reader->fileName[0] != '\0' ? reader->fileName : "the raw-data file";
}

} // namespace

void ZarnReplay_NoteDamaged(c_ROBuffDumper_t* reader, int64_t offset, const char* why, bool endsReplay) {
    if (reader->damagedRecords < DPPL_DAMAGED_SHOWN)
        reader->damagedAt[reader->damagedRecords] = offset;
    reader->damagedRecords++;
    /* The end comes once a pass; skipped records can come by the million. */
    if (endsReplay)
        RLOG(C_LOG_ERROR, "The replay of %s ends at the unreadable data record at byte %lld.", fileOf(reader),
             (long long)offset);
    else if (reader->damagedRecords <= DPPL_DAMAGED_SHOWN)
        RLOG(C_LOG_ERROR, "The replay of %s skips the data record at byte %lld: %s", fileOf(reader), (long long)offset,
             why);
    if (!endsReplay && reader->damagedRecords == DPPL_DAMAGED_SHOWN)
        RLOG(C_LOG_ERROR, "Further damaged data records of %s are counted, not shown, until the replay's end.",
             fileOf(reader));
}

int64_t ZarnReplay_LastRecordAt(const c_ROBuffDumper_t* reader, uint32_t bytes) {
    if (reader->file == NULL)
        return -1;
    off_t after = ftello(reader->file);
    return after < 0 ? -1 : (int64_t)after - (int64_t)sizeof(uint32_t) - (int64_t)bytes;
}

void ZarnReplay_ReportDamaged(c_ROBuffDumper_t* reader) {
    if (reader->damagedRecords == 0)
        return;
    char offsets[DPPL_DAMAGED_SHOWN * 24] = "";
    size_t used = 0;
    for (uint64_t i = 0; i < reader->damagedRecords && i < DPPL_DAMAGED_SHOWN && used < sizeof offsets; i++)
        used += (size_t)snprintf(offsets + used, sizeof offsets - used, "%s%lld", i == 0 ? "" : ", ",
                                 (long long)reader->damagedAt[i]);
    RLOG(C_LOG_ERROR, "%llu damaged data record%s of %s not replayed, at byte%s %s%s.",
         (unsigned long long)reader->damagedRecords, reader->damagedRecords == 1 ? "" : "s", fileOf(reader),
         reader->damagedRecords == 1 ? "" : "s", offsets, reader->damagedRecords > DPPL_DAMAGED_SHOWN ? ", ..." : "");
    reader->damagedRecords = 0;
    memset(reader->damagedAt, 0, sizeof reader->damagedAt);
}
