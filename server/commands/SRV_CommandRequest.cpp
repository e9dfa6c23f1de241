// The opening of a request that every command shares: the head read as the
// row says, unknown mask bits refused, the object found, the board lock
// taken; and what handlers ask of their request.
#include "SRV_CommandRequest.h"

#include "SRV_BoardLock.h"

// The board-open check logs with the server's shared records.
static const c_LogModule_t COMMON_LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

namespace {

// ------------------------------------------------------------ the opening

// Logs unknown bits of a mask and refuses them: 0, or -33.
SRVStatus_t refuseUnknown(const SRVCommandRequest& request, const char* which, uint64_t mask, uint64_t known) {
    if (known == SRV_MASK_ANY || (mask & ~known) == 0)
        return SRV_SUCCESS;
    SRV_LogUnsupportedMask(request.entry->log, request.board, which, mask, mask & ~known);
    return SRV_ERR_UNSUPPORTED;
}

SRVStatus_t refuseUnknownIn(const SRVCommandRequest& request) {
    if (request.entry->form == SRV_FORM_MASKS)
        return refuseUnknown(request, "cmdMaskIn", request.maskIn, request.entry->knownIn);
    return refuseUnknown(request, "dataMask", request.dataMask, request.entry->knownIn);
}

SRVStatus_t refuseUnknownOut(const SRVCommandRequest& request) {
    if (request.entry->form == SRV_FORM_MASKS)
        return refuseUnknown(request, "cmdMaskOut", request.maskOut, request.entry->knownOut);
    return refuseUnknown(request, "dataMask", request.dataMask, request.entry->knownOut);
}

// Reads the object that follows the masks.
bool readObject(SRVCommandRequest& request) {
    switch (request.entry->object) {
    case SRV_OBJECT_CHANNEL: return request.fields.i32(&request.channel);
    case SRV_OBJECT_CHANNEL_MASK: return request.fields.u32(&request.channelMask);
    case SRV_OBJECT_PATH: return request.fields.indexPath(request.path, &request.pathLength);
    default: return true;
    }
}

// The head of the request and its refusals, as the row says: 0, or the
// status of the refusal.
SRVStatus_t readHead(SRVCommandRequest& request) {
    const SRVCommandEntry_t* entry = request.entry;
    const bool checksIn = (entry->opening & SRV_OPEN_OWN_IN_CHECK) == 0;
    SRVRequest& fields = request.fields;
    if (entry->form == SRV_FORM_DATA) {
        if (!fields.u64(&request.dataMask) || !readObject(request))
            return fields.status();
        return checksIn ? refuseUnknownIn(request) : static_cast<SRVStatus_t>(SRV_SUCCESS);
    }
    if (!fields.u64(&request.maskIn) || !fields.u64(&request.maskOut))
        return fields.status();
    const bool refusesFirst = (entry->opening & SRV_OPEN_REFUSE_FIRST) != 0;
    if (checksIn && refusesFirst && refuseUnknownIn(request) != SRV_SUCCESS)
        return SRV_ERR_UNSUPPORTED;
    if (!readObject(request))
        return fields.status();
    if ((entry->opening & SRV_OPEN_IN_WORDS) != 0) {
        for (int bit = 0; bit < 64 && fields.ok(); bit++)
            if ((entry->knownIn & request.maskIn & (1ull << bit)) != 0)
                fields.u32(&request.words[bit]);
        if (!fields.ok())
            return fields.status();
    }
    return checksIn && !refusesFirst ? refuseUnknownIn(request) : static_cast<SRVStatus_t>(SRV_SUCCESS);
}

} // namespace

SRVStatus_t SRV_CheckBoardOpen(const SRVBoard_t* board, const SRVCommandEntry_t* entry) {
    if (board->open || !entry->needsBoard)
        return SRV_SUCCESS;
    c_lprintf(&COMMON_LOG_MODULE, C_LOG_ERROR, __LINE__,
              "No board is open (the last board open failed): command %hu refused. A run file that loads opens "
              "a board again.",
              entry->code);
    return SRV_ERR_OPEN_DIGITIZER;
}

void* SRV_RunCommand(const SRVCommandEntry_t* entry, SRVBoard_t* board, const void* payload, uint32_t payloadSize,
                     char* databasePath, uint32_t* replySize, SRVStatus_t* status) {
    SRVCommandRequest request(entry, board, payload, payloadSize, databasePath);
    request.command = entry->code;
    if (entry->form != SRV_FORM_OWN) {
        *status = readHead(request);
        if (*status == SRV_SUCCESS && entry->finder != NULL && (entry->opening & SRV_OPEN_FIND_LATER) == 0)
            *status = entry->finder(board, request.path, request.pathLength, &request.object);
        if (*status != SRV_SUCCESS)
            return NULL;
    }
    if ((entry->opening & SRV_OPEN_LOCKED) == 0)
        return entry->handler(request, replySize, status);
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    void* reply = entry->handler(request, replySize, status);
    SRVStatus_t result = *status;
    // The command has acted: an unknown output bit only changes the answer.
    if (result == SRV_SUCCESS)
        result = refuseUnknownOut(request);
    result = SRV_UnlockBoardInto(board, result);
    if (result != SRV_SUCCESS) {
        c_free(reply);
        reply = NULL;
    }
    *status = result;
    return reply;
}

// ------------------------------------------------------- for the handlers

SRVStatus_t SRV_RefuseUnknownIn(const SRVCommandRequest& request) { return refuseUnknownIn(request); }

SRVStatus_t SRV_RefuseUnknownOut(const SRVCommandRequest& request, SRVStatus_t result) {
    return result == SRV_SUCCESS ? refuseUnknownOut(request) : result;
}

bool SRV_KnowsOutput(const SRVCommandRequest& request) {
    uint64_t known = request.entry->knownOut;
    uint64_t mask = request.entry->form == SRV_FORM_MASKS ? request.maskOut : request.dataMask;
    return known == SRV_MASK_ANY || (mask & ~known) == 0;
}

void* SRV_GiveReply(SRVReply* reply, SRVStatus_t result, uint32_t* replySize, SRVStatus_t* status) {
    if (result == SRV_SUCCESS && !reply->ok())
        result = SRV_ERR_SERIALIZE;
    *status = result;
    return result == SRV_SUCCESS ? reply->release(replySize) : NULL;
}

SRVStatus_t SRV_FindAndLockObject(SRVCommandRequest& request) {
    SRVStatus_t result = request.entry->finder(request.board, request.path, request.pathLength, &request.object);
    return result == SRV_SUCCESS ? SRV_LockBoard(request.board) : result;
}
