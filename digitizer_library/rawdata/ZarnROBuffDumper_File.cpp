/*
 * ZarnROBuffDumper_File: a dumper's open file, on either side: whether one is
 * open, its close, and the close's answer to the first write that failed,
 * which the dumper keeps (noteWriteFailure) until its next open; a reader's
 * close reports the damaged records its replay has not reported yet.
 */
#include "ZarnROBuffDumper.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "ZarnROBuffDumperShared.h"
#include "ZarnReplayDamage.h"

namespace robuff {

void noteWriteFailure(c_ROBuffDumper_t* dumper, int status, int error) {
    if (dumper->writeError != 0)
        return;
    dumper->writeError = status;
    dumper->writeErrno = error;
}

const char* writeFailureReason(const c_ROBuffDumper_t* dumper) {
    return dumper->writeErrno != 0 ? strerror(dumper->writeErrno) : "short write";
}

} // namespace robuff

using namespace robuff;

extern "C" {

int c_bdclose(c_ROBuffDumper_t* dumper) {
    if (dumper == NULL)
        return -2;
    if (dumper->file == NULL) {
        dumper->opened = 0;
        return 0;
    }
    ZarnReplay_ReportDamaged(dumper); /* a replay closed before its end */
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

uint8_t c_bdopened(const c_ROBuffDumper_t* dumper) {
    return dumper != NULL && dumper->file != NULL && dumper->opened == 1 ? 1 : 0;
}

} // extern "C"
