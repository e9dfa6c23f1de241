// The acquisition commands, the quit command and the run-file commands: they
// read the request, hand the work to the board thread or to the run files
// (SRV_RunFiles), and answer.
#include <cstring>

#include "SRVBoardThread.h"
#include "SRV_AcquisitionControl.h"
#include "SRV_BoardLock.h"
#include "SRV_CommandRequest.h"
#include "SRV_Globals.h"
#include "SRV_RunFailures.h"
#include "SRV_RunFiles.h"

static const c_LogModule_t LOG_MODULE = {"SRVAcquisitionControlLog.txt", "SRV_AcquisitionControl"};

// ------------------------------------------------------ commands 8, 9, 25

// Hands a start or stop of the channel mask to the board thread, under the
// board lock: the thread's result, or a lock failure. The failures the
// command kept are settled: the reply carries the first unless it carries an
// earlier run's (answersEarlier), the server's end tells the others.
static SRVStatus_t handOver(const SRVCommandRequest& request, uint32_t threadCommand, bool answersEarlier) {
    SRVBoard_t* board = request.board;
    SRVStatus_t status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS)
        return status;
    board->channelMask = request.channelMask;
    status = SRV_SendThreadCommand(board, threadCommand);
    // A hand-over that could not take the lock back does not hold it.
    if (status == SRV_ERR_LOCK)
        return status;
    SRV_SettleCommandFailures(&board->runFailures, answersEarlier ? static_cast<SRVStatus_t>(SRV_SUCCESS) : status);
    if (status == SRV_SUCCESS && threadCommand == SRV_THREAD_CMD_START)
        SRV_SetIdle(board, false);
    status = SRV_RefuseUnknownOut(request, status);
    return SRV_UnlockBoardInto(board, status);
}

// The start and stop commands need an open board with its locks.
static bool boardReady(SRVBoard_t* board) {
    if (board->open)
        return true;
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "No board is open.");
    return false;
}

// The first failure of the board's runs that no command 8 or 9 has followed
// (an automatic stop's, or one the last command's reply could not carry):
// taken under the board lock, so that the client's next command 8 or 9
// answers it, once. 0 when none waits, or
// when the request is refused for an output bit it does not know (the
// failure then waits for a request that is answered).
static SRVStatus_t takeStopFailure(const SRVCommandRequest& request) {
    if (!SRV_KnowsOutput(request))
        return SRV_SUCCESS;
    SRVStatus_t status = SRV_LockBoard(request.board);
    if (status != SRV_SUCCESS)
        return status;
    return SRV_UnlockBoardInto(request.board, SRV_TakeStopFailure(request.board, request.command));
}

// Command 8: u64 cmdMaskIn, u64 cmdMaskOut, u32 channel mask. Writes the run
// file named by command 22 (if any), then hands the start to the board
// thread; no mask bit is known. A kept stop failure is answered instead, and
// nothing starts: the client, told of it, starts again.
void* SRV_CmdStartAcquisition(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    if (!boardReady(request.board)) {
        *status = SRV_ERR_OPEN_DIGITIZER;
        return NULL;
    }
    *status = takeStopFailure(request);
    if (*status == SRV_SUCCESS)
        *status = SRV_PrepareRunFile(request.board, SRV_Globals->runFilePath);
    if (*status == SRV_SUCCESS)
        *status = handOver(request, SRV_THREAD_CMD_START, false);
    return NULL;
}

// Command 9: the same request; hands the stop to the board thread. A kept
// failure is answered in place of the stop's own status (a failure of this
// stop is then told by the server's end).
void* SRV_CmdStopAcquisition(SRVCommandRequest& request, uint32_t*, SRVStatus_t* status) {
    if (!boardReady(request.board)) {
        *status = SRV_ERR_OPEN_DIGITIZER;
        return NULL;
    }
    SRVStatus_t kept = takeStopFailure(request);
    *status = handOver(request, SRV_THREAD_CMD_STOP, kept != SRV_SUCCESS);
    if (kept != SRV_SUCCESS)
        *status = kept;
    return NULL;
}

// Command 25: request u64 cmdMaskIn, u64 cmdMaskOut; no mask bit is known.
// With status 0 the command loop ends after the reply.
void* SRV_CmdQuit(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    SRVBoard_t* board = request.board;
    // Without an open board there is no lock to wait on.
    if (!board->open) {
        *status = SRV_RefuseUnknownOut(request, SRV_SUCCESS);
        return NULL;
    }
    // Taking the lock waits for the board thread's cycle in progress.
    *status = SRV_LockBoard(board);
    if (*status != SRV_SUCCESS)
        return NULL;
    SRVReply reply(request.command);
    SRVStatus_t result = reply.ok() ? SRV_SUCCESS : SRV_ERR_SERIALIZE;
    result = SRV_RefuseUnknownOut(request, result);
    return SRV_UnlockAndReply(&reply, board, result, replySize, status);
}

// ----------------------------------------------------- commands 22 to 24

// Command 22: i8 flag and, when it is not 0, the name as an i8 array of at
// most 200 elements. Flag 0 empties the run-file path.
void* SRV_CmdSetRunFile(SRVCommandRequest& command, uint32_t*, SRVStatus_t* status) {
    SRVRequest& request = command.fields;
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

// Command 23: char[200] run-file name; replays its raw-data file.
void* SRV_CmdLoadRunFile(SRVCommandRequest& command, uint32_t*, SRVStatus_t* status) {
    SRVRequest& request = command.fields;
    char name[SRV_RUN_FILE_NAME_SIZE];
    if (!request.text(name, sizeof name)) {
        *status = request.status();
        return NULL;
    }
    *status = SRV_LoadRunFile(command.board, name);
    return NULL;
}

// Command 24: no request fields; reply i32 count, then count names of 200
// characters each.
void* SRV_CmdListRunFiles(SRVCommandRequest& request, uint32_t* replySize, SRVStatus_t* status) {
    auto* names = static_cast<char(*)[SRV_RUN_FILE_NAME_SIZE]>(c_calloc(SRV_RUN_FILES_MAX, SRV_RUN_FILE_NAME_SIZE));
    if (names == NULL) {
        *status = SRV_ERR_RESOURCE;
        return NULL;
    }
    int32_t count = 0;
    SRVStatus_t result = SRV_ListRunFiles(names, &count);
    SRVReply reply(request.command);
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
