// The acquisition commands, the quit command and the run-file commands: they
// read the request, hand the work to the board thread or to the run files
// (SRV_RunFiles), and answer.
#include "SRV_AcquisitionCommands.h"

#include <cstring>

#include "SRVBoardThread.h"
#include "SRVRequest.h"
#include "SRV_AcquisitionControl.h"
#include "SRV_RunFiles.h"

static const c_LogModule_t LOG_MODULE = {"SRVAcquisitionControlLog.txt", "SRV_AcquisitionControl"};

// ------------------------------------------------------ commands 8, 9, 25

// Reads u64 cmdMaskIn and u64 cmdMaskOut, and the channel mask when asked:
// false when a field is missing.
static bool readMasks(const void* payload, uint32_t payloadSize, uint64_t* maskIn, uint64_t* maskOut,
                      uint32_t* channelMask) {
    SRVRequest request(payload, payloadSize);
    return request.u64(maskIn) && request.u64(maskOut) && (channelMask == NULL || request.u32(channelMask));
}

// Logs a cmdMaskIn or cmdMaskOut with any bit set: true when it is refused.
static bool refuseMask(SRVBoard_t* board, const char* which, uint64_t mask) {
    if (mask == 0)
        return false;
    SRV_LogUnsupportedMask(&LOG_MODULE, board, which, mask, mask);
    return true;
}

// Hands a start or stop of the channel mask to the board thread, under the
// board lock: the thread's result, or a lock failure.
static SRVStatus_t handOver(SRVBoard_t* board, uint32_t threadCommand, uint32_t channelMask, uint64_t maskOut) {
    SRVStatus_t status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS)
        return status;
    board->channelMask = channelMask;
    status = SRV_SendThreadCommand(board, threadCommand);
    // A hand-over that could not take the lock back does not hold it.
    if (status == SRV_ERR_LOCK)
        return status;
    if (status == SRV_SUCCESS && threadCommand == SRV_THREAD_CMD_START)
        SRV_SetIdle(board, false);
    if (status == SRV_SUCCESS && refuseMask(board, "cmdMaskOut", maskOut))
        status = SRV_ERR_UNSUPPORTED;
    return SRV_UnlockBoardInto(board, status);
}

// The start and stop commands need an open board with its locks.
static bool boardReady(SRVBoard_t* board) {
    if (board->open)
        return true;
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "No board is open.");
    return false;
}

// Reads and checks the request of a start or stop: false, with the status
// of the refusal, when the command can't go on.
static bool acceptStartStop(SRVBoard_t* board, const void* payload, uint32_t payloadSize, uint64_t* maskOut,
                            uint32_t* channelMask, SRVStatus_t* status) {
    uint64_t maskIn = 0;
    if (!readMasks(payload, payloadSize, &maskIn, maskOut, channelMask)) {
        *status = SRV_ERR_DESERIALIZE;
        return false;
    }
    if (refuseMask(board, "cmdMaskIn", maskIn)) {
        *status = SRV_ERR_UNSUPPORTED;
        return false;
    }
    if (!boardReady(board)) {
        *status = SRV_ERR_OPEN_DIGITIZER;
        return false;
    }
    return true;
}

void* SRV_CmdStartAcquisition(SRVBoard_t* board, SRVCommand_t, const void* payload, uint32_t payloadSize, uint32_t*,
                              SRVStatus_t* status) {
    uint64_t maskOut = 0;
    uint32_t channelMask = 0;
    if (!acceptStartStop(board, payload, payloadSize, &maskOut, &channelMask, status))
        return NULL;
    *status = SRV_PrepareRunFile(board, SRV_Globals->runFilePath);
    if (*status == SRV_SUCCESS)
        *status = handOver(board, SRV_THREAD_CMD_START, channelMask, maskOut);
    return NULL;
}

void* SRV_CmdStopAcquisition(SRVBoard_t* board, SRVCommand_t, const void* payload, uint32_t payloadSize, uint32_t*,
                             SRVStatus_t* status) {
    uint64_t maskOut = 0;
    uint32_t channelMask = 0;
    if (!acceptStartStop(board, payload, payloadSize, &maskOut, &channelMask, status))
        return NULL;
    *status = handOver(board, SRV_THREAD_CMD_STOP, channelMask, maskOut);
    return NULL;
}

void* SRV_CmdQuit(SRVBoard_t* board, SRVCommand_t command, const void* payload, uint32_t payloadSize,
                  uint32_t* replySize, SRVStatus_t* status) {
    uint64_t maskIn = 0;
    uint64_t maskOut = 0;
    if (!readMasks(payload, payloadSize, &maskIn, &maskOut, NULL)) {
        *status = SRV_ERR_DESERIALIZE;
        return NULL;
    }
    if (refuseMask(board, "cmdMaskIn", maskIn)) {
        *status = SRV_ERR_UNSUPPORTED;
        return NULL;
    }
    // Without an open board there is no lock to wait on.
    if (!board->open) {
        *status = refuseMask(board, "cmdMaskOut", maskOut) ? SRV_ERR_UNSUPPORTED : SRV_SUCCESS;
        return NULL;
    }
    // Taking the lock waits for the board thread's cycle in progress.
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    SRVReply reply(command);
    SRVStatus_t result = reply.ok() ? SRV_SUCCESS : SRV_ERR_SERIALIZE;
    if (result == SRV_SUCCESS && refuseMask(board, "cmdMaskOut", maskOut))
        result = SRV_ERR_UNSUPPORTED;
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

// ----------------------------------------------------- commands 22 to 24

void* SRV_CmdSetRunFile(SRVBoard_t*, SRVCommand_t, const void* payload, uint32_t payloadSize, uint32_t*,
                        SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    int8_t flag = 0;
    if (!request.i8(&flag)) {
        *status = request.status();
        return NULL;
    }
    if (flag == 0) {
        SRV_Globals->runFilePath[0] = '\0';
        *status = SRV_SUCCESS;
        return NULL;
    }
    int8_t text[SRV_RUN_FILE_NAME_SIZE];
    uint32_t length = 0;
    if (!request.i8Array(text, SRV_RUN_FILE_NAME_SIZE, &length)) {
        *status = request.status();
        return NULL;
    }
    // The name ends at its first NUL or with the array; one that fills all
    // 200 elements leaves no room for the terminator and is refused.
    char name[SRV_RUN_FILE_NAME_SIZE + 1];
    std::memcpy(name, text, length);
    name[length] = '\0';
    if (!SRV_IsValidRunFileName(name)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Invalid run file name '%s'.", name);
        *status = SRV_ERR_INVALID_FILE_NAME;
        return NULL;
    }
    SRV_RunFilePath(SRV_Globals->runFilePath, name);
    *status = SRV_SUCCESS;
    return NULL;
}

void* SRV_CmdLoadRunFile(SRVBoard_t* board, SRVCommand_t, const void* payload, uint32_t payloadSize, uint32_t*,
                         SRVStatus_t* status) {
    SRVRequest request(payload, payloadSize);
    char name[SRV_RUN_FILE_NAME_SIZE];
    if (!request.text(name, sizeof name)) {
        *status = request.status();
        return NULL;
    }
    *status = SRV_LoadRunFile(board, name);
    return NULL;
}

void* SRV_CmdListRunFiles(SRVBoard_t*, SRVCommand_t command, const void*, uint32_t, uint32_t* replySize,
                          SRVStatus_t* status) {
    auto* names = static_cast<char(*)[SRV_RUN_FILE_NAME_SIZE]>(c_calloc(SRV_RUN_FILES_MAX, SRV_RUN_FILE_NAME_SIZE));
    if (names == NULL) {
        *status = SRV_ERR_RESOURCE;
        return NULL;
    }
    int32_t count = 0;
    SRVStatus_t result = SRV_ListRunFiles(names, &count);
    SRVReply reply(command);
    if (result == SRV_SUCCESS) {
        reply.i32(count);
        for (int32_t i = 0; i < count; i++)
            reply.text(names[i], SRV_RUN_FILE_NAME_SIZE);
        if (!reply.ok())
            result = SRV_ERR_SERIALIZE;
    }
    c_free(names);
    *status = result;
    return result == SRV_SUCCESS ? reply.release(replySize) : NULL;
}
