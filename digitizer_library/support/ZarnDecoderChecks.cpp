/*
 * ZarnDecoderChecks: the decoders' refusal messages, formed only when a check
 * fails.
 */
#include "ZarnDecoderChecks.h"

#include <stdarg.h>
#include <stdio.h>

void GENERIC_LogAt(const GENERIC_DecoderPlace_t& at, const char* format, ...) {
    char place[32] = "";
    if (at.kind == GENERIC_PLACE_CHANNEL)
        snprintf(place, sizeof place, "[%u] ", (unsigned)at.first);
    else if (at.kind != GENERIC_PLACE_BOARD)
        snprintf(place, sizeof place, "[%u%c%u] ", (unsigned)at.first, at.kind == GENERIC_PLACE_COUPLE ? '|' : ':',
                 (unsigned)at.second);
    char text[160];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    c_extendedLogMsg(at.log, at.digitizer, C_LOG_ERROR, __LINE__, "%s%s", place, text);
}
