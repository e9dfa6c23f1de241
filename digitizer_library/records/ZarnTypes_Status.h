/*
 * ZarnTypes_Status: the log record of "ZarnDPPLayerLog.txt", where the status
 * texts' lines go, and the failure line of the exported calls. It sits at the
 * level of the records, below every layer: the exported interface, the board
 * layer's board commands and the record memory write to the same file.
 */
#ifndef ZARN_TYPES_STATUS_H
#define ZARN_TYPES_STATUS_H

#include "ZarnTypes.h"
#include "ZarnUtility.h"

/* The text of a status code, from the table of c_decodeError, for the
 * library's own messages. */
extern "C" const char* c_errorMessage(int32_t code);

static const c_LogModule_t ZarnDPPLayer_log = {"ZarnDPPLayerLog.txt", "ZarnDPPLayer"};

/* "From <function>: <status text>", the failure line of an exported call. */
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
