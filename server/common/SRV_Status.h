/*
 * SRV_Status: the status of every reply, and its text in the command loop's
 * log.
 */
#ifndef SRV_STATUS_H
#define SRV_STATUS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status of every reply, and the process's exit code: 0 success, negative
 * otherwise. */
typedef int16_t SRVStatus_t;

enum {
    SRV_SUCCESS = 0,
    SRV_ERR_GENERIC = -1,
    SRV_ERR_SOCKET_INIT = -2,
    SRV_ERR_SOCKET_LISTEN = -3,
    SRV_ERR_SOCKET_ACCEPT = -4,
    SRV_ERR_SERIALIZE = -5,
    SRV_ERR_DESERIALIZE = -6,
    SRV_ERR_OPEN_DIGITIZER = -7,
    SRV_ERR_COMMUNICATION = -8,
    SRV_ERR_INVALID_COMMAND = -9,
    SRV_ERR_INVALID_PARAMETER = -10,
    SRV_ERR_LOCK = -13,
    SRV_ERR_UNLOCK = -14,
    SRV_ERR_RESOURCE = -17,
    SRV_ERR_LIBRARY = -25,
    SRV_ERR_DUMPER_OPEN = -26,
    SRV_ERR_DUMPER_CLOSE = -27,
    SRV_ERR_FILE_NOT_FOUND = -28,
    SRV_ERR_INVALID_FILE_NAME = -30,
    SRV_ERR_SERVER_PARAMETERS = -31,
    SRV_ERR_UNSUPPORTED = -33,
    SRV_ERR_FILE_READ = -34,
    SRV_ERR_FILE_OPEN = -36,
    SRV_ERR_PARAMETER_VALUE = -37,
    SRV_ERR_NO_WAVEFORM = -40,
    SRV_ERR_BUFFER = -41,
    SRV_ERR_HV_POLARITY = -42,
    SRV_ERR_DATABASE = -43,
    SRV_ERR_LIST_RECORD = -44,
    SRV_ERR_LOW_STATISTICS = -47
};

/* The text of a status in the command loop's log: -10 to -2 have texts of
 * their own, every other value is "Generic Error.". */
const char* SRV_GetStatusText(SRVStatus_t status);
/* Logs a failed reply: "From main command loop: <text>" (error level). */
void SRV_LogServerError(SRVStatus_t status);

#ifdef __cplusplus
}
#endif

#endif /* SRV_STATUS_H */
