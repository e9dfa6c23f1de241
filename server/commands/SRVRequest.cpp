// The shared heads of requests and ends of replies of the command handlers.
#include "SRVRequest.h"

#include "SRV_BoardLock.h"

void* SRV_BuildStatusReply(SRVCommand_t command, SRVStatus_t status, uint32_t* replySize) {
    void* reply = c_createheader(0, command, replySize);
    if (reply == NULL)
        return NULL;
    return serialize_i16(&status, 1, reply, replySize);
}

void SRV_LogUnsupportedMask(const c_LogModule_t* module, const SRVBoard_t* board, const char* which, uint64_t mask,
                            uint64_t unknown) {
    c_extendedLogMsg(module, &board->digitizer, C_LOG_ERROR, __LINE__, "Unsupported %s 0x%llx (0x%llx unknown)", which,
                     static_cast<unsigned long long>(mask), static_cast<unsigned long long>(unknown));
}

void* SRV_UnlockAndReply(SRVReply* reply, SRVBoard_t* board, SRVStatus_t result, uint32_t* replySize,
                         SRVStatus_t* status) {
    *status = SRV_UnlockBoardInto(board, result);
    return *status == SRV_SUCCESS ? reply->release(replySize) : NULL;
}
