// The acquisition commands and the quit command.
#include "SRV_AcquisitionControl.h"

static const c_LogModule_t LOG_MODULE = {"SRVAcquisitionControlLog.txt", "SRV_AcquisitionControl"};

void* SRV_CmdQuit(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                  uint32_t* replySize, SRVStatus_t* status)
{
    const uint8_t* end = static_cast<const uint8_t*>(payload) + payloadSize;
    uint64_t maskIn = 0;
    uint64_t maskOut = 0;
    const void* position = deserialize_u64(&maskIn, 1, payload, end);
    position = deserialize_u64(&maskOut, 1, position, end);
    if (position == NULL) {
        *status = SRV_ERR_DESERIALIZE;
        return NULL;
    }
    if (maskIn != 0) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Unsupported cmdMaskIn 0x%llx (0x%llx unknown)", static_cast<unsigned long long>(maskIn),
                         static_cast<unsigned long long>(maskIn));
        *status = SRV_ERR_UNSUPPORTED;
        return NULL;
    }
    // Taking the lock waits for the board thread's cycle in progress.
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    void* reply = SRV_BuildStatusReply(command, SRV_SUCCESS, replySize);
    if (reply == NULL)
        *status = SRV_ERR_SERIALIZE;
    if (maskOut != 0 && *status == SRV_SUCCESS) {
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                         "Unsupported cmdMaskOut 0x%llx (0x%llx unknown)", static_cast<unsigned long long>(maskOut),
                         static_cast<unsigned long long>(maskOut));
        *status = SRV_ERR_UNSUPPORTED;
    }
    SRVStatus_t unlocked = SRV_UnlockBoard(board);
    if (*status == SRV_SUCCESS)
        *status = unlocked;
    if (*status != SRV_SUCCESS) {
        c_free(reply);
        return NULL;
    }
    return reply;
}

// The board and channel starts and stops join with the acquisition commands;
// until then a hand-over of either is refused.
SRVStatus_t SRV_StartAcquisition(SRVBoard_t*)
{
    return SRV_ERR_UNSUPPORTED;
}

SRVStatus_t SRV_StartChannelAcquisition(SRVBoard_t*, uint32_t)
{
    return SRV_ERR_UNSUPPORTED;
}

SRVStatus_t SRV_StopAcquisition(SRVBoard_t*)
{
    return SRV_ERR_UNSUPPORTED;
}

SRVStatus_t SRV_StopChannelAcquisition(SRVBoard_t*, uint32_t)
{
    return SRV_ERR_UNSUPPORTED;
}
