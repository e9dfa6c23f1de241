// The data folder that names the open board.
#include "SRV_BoardIdentity.h"

#include <cstdio>

static const c_LogModule_t LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

bool SRV_FormatDataPath(const c_BoardDescriptor_t* descriptor, char dataPath[SRV_FOLDER_SIZE]) {
    int written = std::snprintf(dataPath, SRV_FOLDER_SIZE, "%.*s_%u", SRV_DESCRIPTOR_TEXT(descriptor->ModelName),
                                descriptor->SerialNumber);
    return written >= 0 && written < SRV_FOLDER_SIZE;
}

SRVStatus_t SRV_GetBoardDataPath(const SRVBoard_t* board, char dataPath[SRV_FOLDER_SIZE]) {
    if (board == NULL || dataPath == NULL || !board->open || !c_isDgtzOpened(&board->digitizer)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "NULL or invalid digitizer pointer. Can't get board data path");
        return SRV_ERR_RESOURCE;
    }
    if (!SRV_FormatDataPath(&board->digitizer.descriptor, dataPath)) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Can't get board data path because of snprintf error.");
        return SRV_ERR_GENERIC;
    }
    return SRV_SUCCESS;
}
