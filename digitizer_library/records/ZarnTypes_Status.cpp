/*
 * ZarnTypes_Status: the library's status texts, the parameter-code lookup
 * and board-prefixed logging, which every layer uses (declared in
 * ZarnTypes.h). Their lines go to "ZarnDPPLayerLog.txt" as they always have.
 */
#include "ZarnTypes.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ZarnRecords.h"
#include "ZarnTypes_Status.h"

/* ==========================================================================
 * Status texts, parameter-code lookup and board-prefixed logging
 * ========================================================================== */

namespace {

/* The text of status code -i at index i. */
const char* const kStatusTexts[] = {
    "Success",
    "Invalid Channel Provided",
    "Provided Channel is Not Enabled",
    "The Digitizer is Not Opened",
    "Error Calling ZarnDigitizer API",
    "Error in Waveform Setup",
    "Generic error",
    "Invalid DPPType",
    "Out Of Memory",
    "Configuration Error",
    "Error in Configuration File Parsing",
    "Firmware Not Supported",
    "Dumper Error",
    "Readout Buffer Error",
    "Invalid Event Number",
    "Wrong Acquisition Mode",
    "Error in Waveform System",
    "A Custom Function Returned an Error",
    "Error Opening Histogram Plotter",
    "Error Opening Waveform Plotter",
    "Error Setting Plotter Path",
    "The plotter type is invalid",
    "Invalid data format for list dumping",
    "Invalid Acquisition Status to run this function",
    "Input Range not supported by this board",
    "Error calling HV functionality",
    "Parameter error",
    "Board",
    "Invalid DPP code",
    "Cannot find a suitable event aggregation for the given event size",
    "Invalid NULL argument",
    "Timeout",
    "Read Data failed",
    "Invalid trace",
    "Event buffer overflow",
    "Invalid memory code in Board Info register",
    "ADC shutdown occurred",
    "LVDS Group",
    "Cannot open the buffer dumper",
    "Invalid event",
    "Cannot close the buffer dumper",
    "Invalid Digitizer family",
    "Not supported",
    "Cannot support this feature in a file digitizer",
    "Write register error",
    "Read register error",
    "Unsupported base address",
    "Invalid HV channel",
    "Configuration status",
    "Temperature failure occurred",
    "PLL lock loss occurred",
    "Invalid group",
    "Failed initializing digitizer",
    "Error occurred in c_fetchBoardInfo: ZARN_DGTZ_OpenDigitizer2 failed (digitizer already open)",
    "Error occurred in c_fetchBoardInfo: ZARN_DGTZ_OpenDigitizer2 failed",
    "Cannot get offset calibration",
    "Communication error",
};
static_assert(sizeof kStatusTexts / sizeof kStatusTexts[0] == 1 - DPPL_ERR_LAST, "one text per status code");

const char kUnknownStatusText[] = "Unknown error code";

/* Longest XPath query of a code-name lookup, terminator included. */
const size_t kQuerySize = 500;
/* Longest board prefix, terminator included. */
const size_t kPrefixSize = 100;

/* Code names are identifiers; anything else (quotes, brackets, '|', '/') would
 * change the meaning of the XPath query they are put into. */
bool isPlainCodeName(const char* codeName) {
    if (codeName[0] == '\0')
        return false;
    for (const char* c = codeName; *c != '\0'; c++)
        if (!isalnum((unsigned char)*c) && *c != '_' && *c != '-' && *c != '.')
            return false;
    return true;
}

/* The element of that code name below the first category element of
 * "Parameters" that has one, or NULL. */
xmlNodePtr findParameterDefinition(const char* codeName) {
    if (codeName == NULL || !isPlainCodeName(codeName))
        return NULL;
    char query[kQuerySize];
    int length = snprintf(query, sizeof query, "/Definitions/Parameters/*/%s", codeName);
    if (length < 0 || (size_t)length >= sizeof query)
        return NULL; /* a cut query could name another parameter */
    c_xml_nodeset_t* set = c_xml_getnodeset(c_getLibraryDefinitions(), query);
    xmlNodePtr element = (set != NULL && set->count > 0) ? set->nodes[0] : NULL;
    c_xml_freenodeset(set);
    return element;
}

/* Logs an already formed text (never used as a format). */
int logText(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format, ...) ZARN_PRINTF_LIKE(4, 5);
int logText(const c_LogModule_t* module, uint32_t level, uint32_t line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = c_lvprintf(module, level, line, format, args);
    va_end(args);
    return result;
}

/* "<model name>_<serial number>: " into prefix; the model name field may lack
 * a terminator, so it is read up to its width at most. 0 or -1. */
int formatBoardPrefix(const c_Digitizer_t* digitizer, char* prefix, size_t size) {
    const c_BoardDescriptor_t* board = &digitizer->descriptor;
    int nameLength = (int)strnlen(board->ModelName, sizeof board->ModelName);
    int length = snprintf(prefix, size, "%.*s_%u: ", nameLength, board->ModelName, (unsigned)board->SerialNumber);
    return length < 0 ? -1 : 0; /* a longer prefix is cut */
}

/* A new text: prefix followed by the formatted message; NULL with *formed
 * false when the message cannot be formatted, NULL with *formed true when
 * memory ran out. */
char* formatPrefixedMessage(const char* prefix, const char* format, va_list args, bool* formed) {
    va_list measure;
    va_copy(measure, args);
    int messageLength = vsnprintf(NULL, 0, format, measure);
    va_end(measure);
    *formed = messageLength >= 0;
    if (!*formed)
        return NULL;
    size_t prefixLength = strlen(prefix);
    size_t size = prefixLength + (size_t)messageLength + 1;
    char* text = (char*)c_malloc(size);
    if (text == NULL)
        return NULL;
    memcpy(text, prefix, prefixLength);
    if (vsnprintf(text + prefixLength, size - prefixLength, format, args) < 0) {
        c_free(text);
        *formed = false;
        return NULL;
    }
    return text;
}

} // namespace

extern "C" {

const char* c_errorMessage(int32_t code) {
    if (code > DPPL_OK || code < DPPL_ERR_LAST)
        return kUnknownStatusText;
    return kStatusTexts[-code];
}

const char* c_decodeError(int32_t code) { return c_errorMessage(code); }

int c_getParamCodeFromCodeName(const char* codeName, int32_t* code) {
    xmlNodePtr element = findParameterDefinition(codeName);
    if (element == NULL) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__, "Can't find parameter '%s' in definitions document.",
                  codeName != NULL ? codeName : "(null)");
        return -1;
    }
    const char* text = c_xml_getattributevalue(element, "code", 0);
    if (text == NULL) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Can't find attribute 'code' for parameter '%s' in definitions document.", codeName);
        return -2;
    }
    char* end = NULL;
    long long value = strtoll(text, &end, 0); /* decimal, 0x hexadecimal, 0 octal */
    if (end == text) {
        c_lprintf(&ZarnDPPLayer_log, C_LOG_ERROR, __LINE__,
                  "Can't parse parameter code from string '%s' for parameter '%s'", text, codeName);
        return -3;
    }
    if (code != NULL)
        *code = (int32_t)value;
    return 0;
}

int32_t c_extendedLogMsg(const c_LogModule_t* module, const c_Digitizer_t* digitizer, uint32_t level, uint32_t line,
                         const char* format, ...) {
    if (module == NULL || format == NULL)
        return DPPL_ERR_GENERIC;
    char prefix[kPrefixSize] = "";
    if (digitizer != NULL && formatBoardPrefix(digitizer, prefix, sizeof prefix) != 0)
        return DPPL_ERR_GENERIC;

    va_list args;
    va_start(args, format);
    bool formed = false;
    char* message = formatPrefixedMessage(prefix, format, args, &formed);
    va_end(args);
    if (message == NULL) {
        if (formed) /* the text could be formed, but not stored */
            c_lprintf(module, level, line, "Can't allocate string buffer to print message.");
        return DPPL_ERR_GENERIC;
    }
    int result = logText(module, level, line, "%s", message);
    c_free(message);
    return result != 0 ? DPPL_ERR_GENERIC : DPPL_OK;
}

} // extern "C"
