// The shutdown: the -N host told, the board closed, the connection and the
// socket layer ended, and on stderr what the board's runs and its end could
// not save.
#include <sqlite3.h>

#include <cstdio>

#include "MorvaneServer.h"
#include "MorvaneServerShared.h"
#include "SRVParameters.h"
#include "SRV_BoardLock.h"
#include "SRV_CommandCodes.h"
#include "SRV_Globals.h"
#include "SRV_RunFailures.h"

using namespace morvaneserver;

// A line on stderr that says what the server could not save, the file, why
// and which log has the details, and the same in the main log.
static void reportUnsaved(const char* what, const char* description, SRVStatus_t status, const char* logFile) {
    char logPath[SRV_PATH_SIZE * 2];
    logFilePath(logPath, sizeof logPath, logFile, false);
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Not saved as the server ended: %s (status %hi).", description,
              static_cast<short>(status));
    std::fprintf(stderr, "MorvaneServer did not save %s: %s (status %hi). Details: %s\n", what, description,
                 static_cast<short>(status), logPath);
}

// One failure of the board's runs that no reply carried, on stderr. A
// replayed file's damage cost the server nothing: it is told, not as a loss.
static void reportRunFailure(const SRVRunFailure_t* failure) {
    char description[SRV_PATH_SIZE + SRV_FAILURE_TEXT_SIZE + 32];
    SRV_DescribeRunFailure(failure, description, sizeof description);
    SRVStatus_t status = failure->failure.status;
    switch (failure->kind) {
    case SRV_RUN_FAILURE_LIST_FILE: reportUnsaved("list events", description, status, "SRV_ListLog.txt"); break;
    case SRV_RUN_FAILURE_RECORDING:
        reportUnsaved("the whole recording", description, status, "SRV_CommonLog.txt");
        break;
    case SRV_RUN_FAILURE_REPLAY: {
        char logPath[SRV_PATH_SIZE * 2];
        logFilePath(logPath, sizeof logPath, "ZarnROBuffDumperLog.txt", false);
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__,
                  "Not told to a client before the server ended: %s (status %hi).", description,
                  static_cast<short>(status));
        std::fprintf(stderr, "MorvaneServer could not replay all of a file: %s (status %hi). Details: %s\n",
                     description, static_cast<short>(status), logPath);
        break;
    }
    default: reportUnsaved("all of a run", description, status, "SRVBoardThreadLog.txt"); break;
    }
}

// What the board's runs and the board thread's end could not save, one line
// each on stderr, in the order they happened: the failures of the runs that
// no reply carried (list files, recordings, stops, damaged replays), then the
// spectrum files. The first status of a line that lost data, or 0.
static SRVStatus_t reportUnsavedData(const SRVBoard_t* board) {
    SRVStatus_t first = SRV_SUCCESS;
    auto keep = [&first](SRVStatus_t status) {
        if (first == SRV_SUCCESS)
            first = status;
    };
    const SRVRunFailures_t& failures = board->runFailures;
    for (uint32_t i = 0; i < failures.count; i++) {
        reportRunFailure(&failures.kept[i]);
        if (SRV_RunFailureLostData(&failures.kept[i]))
            keep(failures.kept[i].failure.status);
    }
    if (failures.uncounted > 0) {
        char logPath[SRV_PATH_SIZE * 2];
        logFilePath(logPath, sizeof logPath, "SRVBoardThreadLog.txt", false);
        std::fprintf(stderr,
                     "MorvaneServer did not save all of its runs: %u more failures are only in the logs. "
                     "Details: %s\n",
                     failures.uncounted, logPath);
        keep(SRV_ERR_GENERIC);
    }
    for (const SRVChannel_t& channel : board->channels) {
        const SRVFileFailure_t& failure = channel.spectrumSaveFailure;
        if (failure.status == SRV_SUCCESS)
            continue;
        char description[SRV_PATH_SIZE + SRV_FAILURE_TEXT_SIZE + 32];
        std::snprintf(description, sizeof description, "spectrum file %s %s", failure.path, failure.reason);
        reportUnsaved("a spectrum", description, failure.status, "SRV_SpectraLog.txt");
        keep(failure.status);
    }
    return first;
}

// Ends the process's records: the status to exit with, which is the given
// one, or, after a clean run, the first failure of what the board thread
// could not save as it ended.
SRVStatus_t morvaneserver::shutDown(SRVStartup_t* startup, SRVStatus_t status) {
    if (startup->notifySocket != NULL) {
        uint32_t size = 0;
        void* packet = c_createheader(0, SRV_CMD_NOTIFY, &size);
        if (packet != NULL)
            packet = serialize_i16(&status, 1, packet, &size);
        if (packet == NULL || c_send(startup->notifySocket, packet, size) < static_cast<int64_t>(size))
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "c_send() failed.");
        c_free(packet);
        c_socket_delete(startup->notifySocket);
        startup->notifySocket = NULL;
    }
    // A board thread that did not end still uses the global record and
    // SQLite: both are left to the end of the process.
    bool boardClosed = SRV_Globals == NULL || SRV_CloseBoard(&SRV_Globals->board) == SRV_SUCCESS;
    if (startup->connectionReady)
        SRV_CloseConnection(&startup->connection);
    else
        c_socket_delete(startup->listenSocket);
    startup->listenSocket = NULL;
    c_socket_cleanup();
    if (!boardClosed) {
        // The process ends with the thread: what it had still to stop, write
        // and save is lost, and the exit code says so.
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "The acquisition thread still runs: its records stay.");
        char logPath[SRV_PATH_SIZE * 2];
        logFilePath(logPath, sizeof logPath, "SRV_CommonLog.txt", false);
        std::fprintf(stderr,
                     "MorvaneServer did not save its data: the acquisition thread did not end in time, so the "
                     "spectra, list files and recording may not be saved (status %hi). Details: %s\n",
                     static_cast<short>(SRV_ERR_GENERIC), logPath);
        return status != SRV_SUCCESS ? status : static_cast<SRVStatus_t>(SRV_ERR_GENERIC);
    }
    if (SRV_Globals != NULL) {
        SRVStatus_t unsaved = reportUnsavedData(&SRV_Globals->board);
        if (status == SRV_SUCCESS)
            status = unsaved;
    }
    shutdownSaved();
    sqlite3_shutdown();
    if (SRV_Globals != NULL) {
        c_xml_freedoc(SRV_Globals->serverDefinitions);
        c_free(SRV_Globals);
        SRV_Globals = NULL;
    }
    return status;
}

// Notes what the shutdown about to begin has to save, for a signal that
// gives it up, and marks its beginning. The board is read under its lock.
void morvaneserver::beginShutdown(void) {
    SRVBoard_t* board = SRV_Globals != NULL ? &SRV_Globals->board : NULL;
    if (board == NULL || !board->open || SRV_LockBoard(board) != SRV_SUCCESS) {
        shutdownBegins("the board was not closed");
        return;
    }
    bool acquiring = board->digitizer.acqStatus != ACQSTATUS_STOPPED;
    unsigned spectra = 0;
    unsigned lists = 0;
    for (uint32_t channel = 0; channel < SRV_ChannelCount(board); channel++) {
        const SRVChannel_t* server = &board->channels[channel];
        spectra += server->energySpectra[0].filePath[0] != '\0';
        lists += server->listSave.saving != 0 && server->listSave.file != NULL;
    }
    bool recording = c_bdopened(&board->digitizer.writer) != 0;
    SRV_UnlockBoard(board);
    char unsaved[kUnsavedTextSize];
    int written = std::snprintf(unsaved, sizeof unsaved,
                                "the spectra of %u channels are not saved (their files keep their last save)", spectra);
    auto add = [&written, &unsaved](const char* text) {
        if (written >= 0 && static_cast<size_t>(written) < sizeof unsaved)
            written += std::snprintf(unsaved + written, sizeof unsaved - written, "%s", text);
    };
    if (acquiring)
        add("; the acquisition is not stopped: the events still on the board are not read");
    if (lists > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "; %u list files miss their buffered events", lists);
        add(text);
    }
    if (recording)
        add("; the raw-data recording misses its end");
    shutdownBegins(unsaved);
}
