/*
 * ZarnDPPLayerShared: what the pieces of the exported interface and the
 * record memory share: their log record ("ZarnDPPLayerLog.txt", defined below
 * them with the status texts, in ZarnTypes_Status.h) and the interface's
 * failure line; the record queries come with it.
 */
#ifndef ZARN_DPP_LAYER_SHARED_H
#define ZARN_DPP_LAYER_SHARED_H

#include "ZarnRecordQueries.h"
#include "ZarnRecords.h"
#include "ZarnTypes_Status.h"

/* "From <function>: <status text>", the interface's failure line. */
static inline void logFrom(const char* function, int code) {
    c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "From %s: %s", function, c_decodeError(code));
}

/* The failure of an exported function, logged once with its name. */
static inline int failedIn(const char* function, int code) {
    if (code < 0)
        logFrom(function, code);
    return code;
}

#endif
