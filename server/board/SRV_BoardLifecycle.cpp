// The board's lifecycle: the open of the global record's board (digitizer
// record, server parameters, locks, board thread) and its close.
#include "SRV_BoardLifecycle.h"

#include <cstdio>
#include <cstring>

#include "SRVBoardThread.h"
#include "SRV_BoardIdentity.h"
#include "SRV_BoardLock.h"
#include "SRV_Globals.h"
#include "SRV_ParameterBuild.h"
#include "SRV_Versions.h"
#include "ZarnROBuffDumper.h"

// The open and close log into the file of the shared server module, as they
// always have.
static const c_LogModule_t LOG_MODULE = {"SRV_CommonLog.txt", "SRV_Common"};

SRVStatus_t SRV_AddBoard(const SRVConnParams_t* connParams, const char* rawDataFile) {
    if (connParams != NULL && rawDataFile == NULL)
        c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Adding board with LT=%hi, LN=%hi, CN=%hi, VB=%u.",
                  connParams->linkType, connParams->linkNumber, connParams->node, connParams->vmeBase);
    else
        c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Adding board from file %s.",
                  rawDataFile != NULL ? rawDataFile : "");
    SRVStatus_t status = SRV_OpenBoard(connParams, rawDataFile);
    if (status != SRV_SUCCESS)
        return status;
    const c_BoardDescriptor_t* descriptor = &SRV_Globals->board.digitizer.descriptor;
    c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Connected to board %.*s_%u with %.*s (Number of ch.=%u).",
              SRV_DESCRIPTOR_TEXT(descriptor->ModelName), descriptor->SerialNumber,
              SRV_DESCRIPTOR_TEXT(descriptor->DPPTypeName), static_cast<unsigned>(descriptor->NumChannels));
    return SRV_SUCCESS;
}

static SRVStatus_t openDigitizer(SRVBoard_t* board, const SRVConnParams_t* connParams, const char* rawDataFile) {
    int result;
    if (rawDataFile != NULL) {
        result = c_newFileDigitizer(&board->digitizer, rawDataFile);
        if (result != 0) {
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Error %i opening digitizer from file %s.", result,
                      rawDataFile);
            return SRV_ERR_OPEN_DIGITIZER;
        }
        return SRV_SUCCESS;
    }
    SRVConnParams_t none = {0, 0, 0, 0};
    const SRVConnParams_t* given = connParams != NULL ? connParams : &none;
    c_ConnParams_t params;
    std::memset(&params, 0, sizeof params);
    params.linkType = given->linkType;
    params.linkNumber = given->linkNumber;
    params.node = given->node;
    params.vmeBase = given->vmeBase;
    bool noConnection = connParams == NULL || (SRV_Globals != NULL && SRV_Globals->noConnection);
    result = c_newDigitizer(&board->digitizer, noConnection ? NULL : &params);
    if (result != 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Error %i opening digitizer with parameters T=%hi, L=%hi, C=%hi, A=%u.", result, given->linkType,
                  given->linkNumber, given->node, given->vmeBase);
        return SRV_ERR_OPEN_DIGITIZER;
    }
    return SRV_SUCCESS;
}

static void freeServerParameters(SRVBoard_t* board) { SRV_FreeServerParameters(board); }

// Raw-data files are written into the folder "Run" of the working folder.
static void pointRecordingAtRunFolder(SRVBoard_t* board) {
    c_ROBuffDumper_t* writer = &board->digitizer.writer;
    char baseName[205];
    std::snprintf(baseName, sizeof baseName, "%s%s%.*s", "Run", "/",
                  static_cast<int>(strnlen(writer->baseName, sizeof writer->baseName)), writer->baseName);
    if (c_bdsetbf(writer, baseName) != 0)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Can't set raw-data base name '%s'.",
                         baseName);
}

// Creates the locks, semaphores and the idle condition of the board; on a
// failure the ones already made are destroyed.
static bool initSynchronisation(SRVBoard_t* board) {
    if (c_ticket_init(&board->boardLock) != 0)
        return false;
    if (c_ticket_init(&board->flagsLock) != 0) {
        c_ticket_delete(&board->boardLock);
        return false;
    }
    if (c_semaphore_init(&board->startedSem, 0) != 0) {
        c_ticket_delete(&board->flagsLock);
        c_ticket_delete(&board->boardLock);
        return false;
    }
    if (c_condition_init(&board->idleCondition) != 0) {
        c_semaphore_destroy(&board->startedSem);
        c_ticket_delete(&board->flagsLock);
        c_ticket_delete(&board->boardLock);
        return false;
    }
    if (c_semaphore_init(&board->doneSem, 0) != 0) {
        c_condition_destroy(&board->idleCondition);
        c_semaphore_destroy(&board->startedSem);
        c_ticket_delete(&board->flagsLock);
        c_ticket_delete(&board->boardLock);
        return false;
    }
    return true;
}

SRVStatus_t SRV_OpenBoard(const SRVConnParams_t* connParams, const char* rawDataFile) {
    if (SRV_Globals == NULL)
        return SRV_ERR_OPEN_DIGITIZER;
    SRVBoard_t* board = &SRV_Globals->board;
    SRVStatus_t status = openDigitizer(board, connParams, rawDataFile);
    if (status != SRV_SUCCESS)
        return status;

    if (SRV_InitServerParameters(board) != SRV_SUCCESS) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't initialize server parameters.");
        c_freeDgtz(&board->digitizer);
        return SRV_ERR_OPEN_DIGITIZER;
    }
    pointRecordingAtRunFolder(board);

    if (!initSynchronisation(board)) {
        freeServerParameters(board);
        c_freeDgtz(&board->digitizer);
        return SRV_ERR_OPEN_DIGITIZER;
    }
    board->quit = 0;
    board->pending = 0;
    board->open = 1;
    board->idle = 1;
    SRV_StartBoardThread(board);

    if (board->digitizer.descriptor.FamilyCode == DPPL_FAMILY_MORVANE) {
        // The board thread runs by now: the descriptor changes under the lock.
        // The field keeps at most 19 characters and its terminator.
        c_BoardDescriptor_t* descriptor = &board->digitizer.descriptor;
        SRV_LockBoard(board);
        std::snprintf(descriptor->BoardFirmwareRel, sizeof descriptor->BoardFirmwareRel, "%s", SRV_GetServerVersion());
        SRV_UnlockBoard(board);
    }
    return SRV_SUCCESS;
}

// How long a close waits for the board thread to end.
static const uint32_t BOARD_THREAD_JOIN_MS = 10000;

static void destroySynchronisation(SRVBoard_t* board) {
    if (c_ticket_delete(&board->boardLock) != 0)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Error deleting ticket.");
    if (c_ticket_delete(&board->flagsLock) != 0)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Error deleting ticket.");
    if (c_semaphore_destroy(&board->startedSem) != 0)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Error destroying semaphore.");
    if (c_condition_destroy(&board->idleCondition) != 0)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Error destroying semaphore.");
    if (c_semaphore_destroy(&board->doneSem) != 0)
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__, "Error destroying semaphore.");
}

SRVStatus_t SRV_CloseBoard(SRVBoard_t* board) {
    if (board == NULL || !board->open)
        return SRV_SUCCESS;
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "Setting QUIT flag to TRUE...");
    SRV_SetQuitFlag(board);
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__, "QUIT flag set to TRUE.");
    c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_DETAIL, __LINE__,
                     "Waiting acquisition thread to terminate...");
    if (board->thread != NULL) {
        if (c_thread_timedjoin(board->thread, NULL, BOARD_THREAD_JOIN_MS) != 0) {
            // The thread still uses the digitizer record, the server
            // parameters and the locks: the board stays open with all of it,
            // and its handle is kept so that a later close can join it.
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_WARNING, __LINE__,
                             "It seems that acquisition thread won't terminate! Going on anyway...");
            c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_ERROR, __LINE__,
                             "The acquisition thread did not end within %u ms: the board stays open and nothing "
                             "it uses is freed.",
                             BOARD_THREAD_JOIN_MS);
            return SRV_ERR_GENERIC;
        }
        c_extendedLogMsg(&LOG_MODULE, &board->digitizer, C_LOG_INFO, __LINE__,
                         "Acquisition thread correctly terminated.");
        board->thread = NULL;
    }
    destroySynchronisation(board);
    freeServerParameters(board);
    c_freeDgtz(&board->digitizer);
    board->open = 0;
    return SRV_SUCCESS;
}
