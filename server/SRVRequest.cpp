// The shared heads of requests and ends of replies of the command handlers.
#include "SRVRequest.h"

void SRV_LogUnsupportedMask(const c_LogModule_t* module, const SRVBoard_t* board, const char* which, uint64_t mask,
                            uint64_t unknown) {
    c_extendedLogMsg(module, &board->digitizer, C_LOG_ERROR, __LINE__, "Unsupported %s 0x%llx (0x%llx unknown)", which,
                     static_cast<unsigned long long>(mask), static_cast<unsigned long long>(unknown));
}

bool SRV_ReadClearRequest(const c_LogModule_t* module, const SRVBoard_t* board, const void* payload,
                          uint32_t payloadSize, uint64_t* maskOut, int32_t path[SRV_INDEX_PATH_MAX], uint32_t* length,
                          SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    uint64_t maskIn = 0;
    if (!request.u64(&maskIn) || !request.u64(maskOut)) {
        *status = request.status();
        return false;
    }
    // A refused cmdMaskIn is reported before a missing index path.
    if (maskIn != 0) {
        SRV_LogUnsupportedMask(module, board, "cmdMaskIn", maskIn, maskIn);
        *status = SRV_ERR_UNSUPPORTED;
        return false;
    }
    if (!request.indexPath(path, length)) {
        *status = request.status();
        return false;
    }
    return true;
}

void* SRV_FinishGetReply(SRVReply* reply, const c_LogModule_t* module, SRVBoard_t* board, uint64_t mask, uint64_t known,
                         SRVStatus_t result, uint32_t* replySize, SRVStatus_t* status) {
    if (result == SRV_SUCCESS && !reply->ok())
        result = SRV_ERR_SERIALIZE;
    if (result == SRV_SUCCESS && (mask & ~known) != 0) {
        SRV_LogUnsupportedMask(module, board, "dataMask", mask, mask & ~known);
        result = SRV_ERR_UNSUPPORTED;
    }
    return SRV_UnlockAndReply(reply, board, result, replySize, status);
}

void* SRV_UnlockAndReply(SRVReply* reply, SRVBoard_t* board, SRVStatus_t result, uint32_t* replySize,
                         SRVStatus_t* status) {
    *status = SRV_UnlockBoardInto(board, result);
    return *status == SRV_SUCCESS ? reply->release(replySize) : NULL;
}
