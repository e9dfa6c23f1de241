/*
 * ZarnParametersShared: what the parameter build and the value engine share:
 * the board-prefixed message, the read-only access code, the collection
 * code range. Each including
 * file defines its own ZarnParameters_log record first.
 */
#ifndef ZARN_PARAMETERS_SHARED_H
#define ZARN_PARAMETERS_SHARED_H

#include <string.h>

#include "ZarnRecords.h"

static inline int boardNameLength(const c_Digitizer_t* digitizer) {
    return (int)strnlen(digitizer->descriptor.ModelName, sizeof digitizer->descriptor.ModelName);
}

/*
 * Message about one board: "<model name>_<serial number>: " and the text, as
 * c_extendedLogMsg writes it, but formed in one call without a heap copy of
 * the format (these messages sit on the set and get paths).
 */
#define BLOG(digitizer, level, format, ...)                                                                            \
    do {                                                                                                               \
        const c_Digitizer_t* blogBoard_ = (digitizer);                                                                 \
        if (blogBoard_ != NULL)                                                                                        \
            c_lprintf(&ZarnParameters_log, (level), __LINE__, "%.*s_%u: " format, boardNameLength(blogBoard_),         \
                      blogBoard_->descriptor.ModelName, (unsigned)blogBoard_->descriptor.SerialNumber, ##__VA_ARGS__); \
        else                                                                                                           \
            c_lprintf(&ZarnParameters_log, (level), __LINE__, format, ##__VA_ARGS__);                                  \
    } while (0)

/* The access-type table is filled once when the library loads: the codes are
 * looked up by name once, not on every set and get. */
static inline uint8_t readOnlyCode() {
    static const uint8_t code = c_getAccessTypeCode("READONLY");
    return code;
}

/* Whether code falls in the collection's code range. */
static inline bool holdsCode(const c_ParamCollection_t* collection, int32_t code) {
    return code >= collection->firstCode && code <= collection->lastCode;
}

#endif
