/*
 * ZarnDPPLayerShared: what the pieces of the exported interface, the record
 * memory and the status texts share: their log record ("ZarnDPPLayerLog.txt")
 * and the interface's failure line; the record queries come with it.
 */
#ifndef ZARN_DPP_LAYER_SHARED_H
#define ZARN_DPP_LAYER_SHARED_H

#include "ZarnRecordQueries.h"
#include "ZarnRecords.h"

static const c_LogModule_t ZarnDPPLayer_log = {"ZarnDPPLayerLog.txt", "ZarnDPPLayer"};

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
