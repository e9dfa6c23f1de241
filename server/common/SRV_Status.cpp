// The texts of the reply statuses and the log of a failed reply.
#include "SRV_Status.h"

#include "ZarnUtility.h"

// Failed replies are logged in the command loop's file.
static const c_LogModule_t LOOP_LOG_MODULE = {"MorvaneServerLog.txt", "MorvaneServer"};

const char* SRV_GetStatusText(SRVStatus_t status) {
    switch (status) {
    case SRV_ERR_SOCKET_INIT: return "Socket Init Error.";
    case SRV_ERR_SOCKET_LISTEN: return "Socket Listen Error.";
    case SRV_ERR_SOCKET_ACCEPT: return "Socket Accept Error.";
    case SRV_ERR_SERIALIZE: return "Serialize Error.";
    case SRV_ERR_DESERIALIZE: return "Deserialize Error.";
    case SRV_ERR_OPEN_DIGITIZER: return "Open Digitizer Error.";
    case SRV_ERR_COMMUNICATION: return "Communication Error.";
    case SRV_ERR_INVALID_COMMAND: return "Invalid Command.";
    case SRV_ERR_INVALID_PARAMETER: return "Invalid Parameter.";
    default: return "Generic Error.";
    }
}

void SRV_LogServerError(SRVStatus_t status) {
    c_lprintf(&LOOP_LOG_MODULE, C_LOG_ERROR, __LINE__, "From %s: %s", "main command loop", SRV_GetStatusText(status));
}
