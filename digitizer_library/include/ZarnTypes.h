/*
 * ZarnTypes: library-wide definitions of Dravik.
 *
 * The status codes of every interface function, the log levels, the exported
 * parameter codes DPPL_PARAM_* (filled from "Definitions.xml" when the library
 * is loaded, -1 when the definitions lack a code) and the accessors of the
 * state prepared at load: base folder, definitions document, access-type and
 * unit tables.
 */
#ifndef ZARN_TYPES_H
#define ZARN_TYPES_H

#include <stdint.h>

#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DRAVIK_API __attribute__((visibility("default")))
#else
#define DRAVIK_API
#endif

/* The digitizer record of one board (defined in ZarnRecords.h). */
typedef struct c_Digitizer_t c_Digitizer_t;

/* ----------------------------------------------------------- status codes */

/* Status of every interface function: 0 on success, a negative code otherwise.
 * The numbers are part of the interface (the plug-in returns them, the server
 * receives them); c_decodeError gives the text of each. */
typedef enum c_ErrorCode_t {
    DPPL_OK = 0,
    DPPL_ERR_INVALID_CHANNEL = -1,
    DPPL_ERR_CHANNEL_NOT_ENABLED = -2,
    DPPL_ERR_DIGITIZER_NOT_OPEN = -3,
    DPPL_ERR_DIGITIZER_API = -4,
    DPPL_ERR_WAVEFORM_SETUP = -5,
    DPPL_ERR_GENERIC = -6,
    DPPL_ERR_INVALID_DPP_TYPE = -7,
    DPPL_ERR_OUT_OF_MEMORY = -8,
    DPPL_ERR_CONFIGURATION = -9,
    DPPL_ERR_CONFIG_FILE_PARSING = -10,
    DPPL_ERR_FIRMWARE_NOT_SUPPORTED = -11,
    DPPL_ERR_DUMPER = -12,
    DPPL_ERR_READOUT_BUFFER = -13,
    DPPL_ERR_INVALID_EVENT_NUMBER = -14,
    DPPL_ERR_WRONG_ACQ_MODE = -15,
    DPPL_ERR_WAVEFORM_SYSTEM = -16,
    DPPL_ERR_CUSTOM_FUNCTION = -17,
    DPPL_ERR_HISTOGRAM_PLOTTER = -18,
    DPPL_ERR_WAVEFORM_PLOTTER = -19,
    DPPL_ERR_PLOTTER_PATH = -20,
    DPPL_ERR_INVALID_PLOTTER_TYPE = -21,
    DPPL_ERR_INVALID_LIST_FORMAT = -22,
    DPPL_ERR_INVALID_ACQ_STATUS = -23,
    DPPL_ERR_INPUT_RANGE_NOT_SUPPORTED = -24,
    DPPL_ERR_HV = -25,
    DPPL_ERR_PARAMETER = -26,
    DPPL_ERR_BOARD = -27,
    DPPL_ERR_INVALID_DPP_CODE = -28,
    DPPL_ERR_NO_EVENT_AGGREGATION = -29,
    DPPL_ERR_NULL_ARGUMENT = -30,
    DPPL_ERR_TIMEOUT = -31,
    DPPL_ERR_READ_DATA = -32,
    DPPL_ERR_INVALID_TRACE = -33,
    DPPL_ERR_EVENT_BUFFER_OVERFLOW = -34,
    DPPL_ERR_INVALID_MEMORY_CODE = -35,
    DPPL_ERR_ADC_SHUTDOWN = -36,
    DPPL_ERR_LVDS_GROUP = -37,
    DPPL_ERR_DUMPER_OPEN = -38,
    DPPL_ERR_INVALID_EVENT = -39,
    DPPL_ERR_DUMPER_CLOSE = -40,
    DPPL_ERR_INVALID_FAMILY = -41,
    DPPL_ERR_NOT_SUPPORTED = -42,
    DPPL_ERR_FILE_DIGITIZER = -43,
    DPPL_ERR_WRITE_REGISTER = -44,
    DPPL_ERR_READ_REGISTER = -45,
    DPPL_ERR_UNSUPPORTED_BASE_ADDRESS = -46,
    DPPL_ERR_INVALID_HV_CHANNEL = -47,
    DPPL_ERR_CONFIGURATION_STATUS = -48,
    DPPL_ERR_TEMPERATURE_FAILURE = -49,
    DPPL_ERR_PLL_LOCK_LOSS = -50,
    DPPL_ERR_INVALID_GROUP = -51,
    DPPL_ERR_INIT_DIGITIZER = -52,
    DPPL_ERR_DIGITIZER_ALREADY_OPEN = -53,
    DPPL_ERR_OPEN_DIGITIZER = -54,
    DPPL_ERR_OFFSET_CALIBRATION = -55,
    DPPL_ERR_COMMUNICATION = -56
} c_ErrorCode_t;

/* The lowest status code that has a text of its own. */
#define DPPL_ERR_LAST DPPL_ERR_COMMUNICATION

/* ------------------------------------------------------------- log levels */

/* Level argument of every log call (same values as the utility library's). */
typedef enum c_LogLevel_t {
    DPPL_LOG_ERROR = 1,
    DPPL_LOG_WARNING = 2,
    DPPL_LOG_INFO = 4,
    DPPL_LOG_DETAIL = 8
} c_LogLevel_t;

/* -------------------------------------------------------- parameter codes */

/* DPPL_PARAM_<NAME>: the code of the parameter of code name "DPPL_PARAM_<NAME>"
 * in "Definitions.xml"; -1 when the definitions lack it (no such parameter). */
#define DPPL_PARAM_CODE(name) extern DRAVIK_API int32_t DPPL_PARAM_##name;
#include "ZarnParamCodes.def"
#undef DPPL_PARAM_CODE

/* Value of a code variable whose parameter is missing from the definitions. */
#define DPPL_INVALID_PARAMETER (-1)

/* ----------------------------------------------------- library-wide state */

/* The library's base folder: the expansion of "$(DRAVIKDIR)", or the built-in
 * default folder. Owned by the library. */
DRAVIK_API const char* c_getBasePath(void);
/* The parsed "Definitions.xml" of the base folder, or NULL when it could not
 * be read. Borrowed: callers never free it. */
DRAVIK_API xmlDocPtr c_getLibraryDefinitions(void);
/* Code of the access type / unit of that element name of "AccessTypes" /
 * "UnitsOfMeasurement"; 0xFF when the name is unknown. */
DRAVIK_API uint8_t c_getAccessTypeCode(const char* name);
DRAVIK_API uint8_t c_getUomCode(const char* name);

/*
 * The code of the parameter of that code name, searched in every category
 * element of the definitions' "Parameters" section (the first element in
 * document order wins). 0 with the code stored through code; -1 parameter not
 * found, -2 no "code" attribute, -3 the attribute is not a number. The code is
 * stored only on success.
 */
DRAVIK_API int c_getParamCodeFromCodeName(const char* codeName, int32_t* code);

/* ------------------------------------------------ status texts and logging */

/* The fixed text of a status code; "Unknown error code" for any value that is
 * not a status code. Never NULL, never freed by the caller. */
DRAVIK_API const char* c_decodeError(int32_t code);

/*
 * Logs a message about one board: with a digitizer the line begins with
 * "<model name>_<serial number>: ", without one (NULL) the caller's text
 * stands alone. 0, or -6 when the message could not be formed or written.
 */
DRAVIK_API int32_t c_extendedLogMsg(const c_LogModule_t* module, const c_Digitizer_t* digitizer, uint32_t level,
                                    uint32_t line, const char* format, ...) ZARN_PRINTF_LIKE(5, 6);

#ifdef __cplusplus
}
#endif

#endif
