/*
 * MorvaneServerShared: what the pieces of the server process share: their
 * log record ("MorvaneServerLog.txt", every piece as "MorvaneServer") and the
 * steps each piece offers the others.
 *
 * The pieces, each calling only those listed after it:
 * MorvaneServer (SRV_Run: the order of things, and main),
 * MorvaneServer_Startup (the start-up's steps, up to the announcement),
 * MorvaneServer_Options (the command line),
 * MorvaneServer_Shutdown (the shutdown and its report of what is not saved),
 * MorvaneServer_Terminal (the lines the terminal is told, the log paths),
 * MorvaneServer_Signals (the end signals, the shutdown's stage, the lock of
 * the terminal's lines),
 * MorvaneServer_Folders (the working folder, the folders of the environment,
 * the global record).
 */
#ifndef MORVANE_SERVER_SHARED_H
#define MORVANE_SERVER_SHARED_H

#include <stddef.h>

#include "SRV_Status.h"
#include "ZarnUtility.h"

/* The start-up record, declared in MorvaneServer.h. */
struct SRVStartup_t;

static const c_LogModule_t LOG_MODULE = {"MorvaneServerLog.txt", "MorvaneServer"};

namespace morvaneserver {

/* ------------------------------------------------------------- folders */

/* Joins a folder and a name with '/'; false when it does not fit. */
bool joinPath(char* out, size_t size, const char* folder, const char* name);
/* "$(MORVANESERVERDIR)/ServerDefinitions.xml", with the built-in folder when
 * the variable is unset or empty; false when it can't be expanded or does
 * not fit. */
bool serverDefinitionsPath(char* out, size_t size);
/* Makes the folders of the environment absolute, chooses the working folder
 * and has the logs default to it, before the first log line. */
void fixStartupFolders(void);

/* ------------------------------------------------------------- signals */

/* The size of the text that says what a given-up shutdown did not save. */
constexpr size_t kUnsavedTextSize = 512;

/* Blocks SIGINT, SIGTERM and SIGHUP and starts the thread that takes them. */
void watchEndSignals(void);
/* The start-up has told the terminal how it went: the line of an end signal
 * that came meanwhile follows, if the server listens. */
void startupToldTerminal(bool listening);
/* The shutdown begins with unsaved still to save: what a signal that gives
 * it up tells. */
void shutdownBegins(const char* unsaved);
/* The shutdown has saved everything: a signal now gives up nothing. */
void shutdownSaved(void);

/* ------------------------------------------------------------ terminal */

/* Keeps the current folder as the one the process started in. */
void noteLaunchFolder(void);
/* Where a module's log file is: in ZARN_LOG_DIR when it is set, else in the
 * folder that was current when the module first logged (the launch folder
 * when it was opened at launch). */
void logFilePath(char* out, size_t size, const char* logFile, bool openedAtLaunch);
/* The usage text, or the line on stderr that says why the start failed. */
void reportStartFailure(const SRVStartup_t* startup, SRVStatus_t status);
/* The line on stdout that says the server listens. */
void reportListening(const SRVStartup_t* startup);

/* ------------------------------------------------------------ shutdown */

/* Notes what the shutdown about to begin has to save and marks its
 * beginning. */
void beginShutdown(void);
/* Ends the process's records: the status to exit with. */
SRVStatus_t shutDown(SRVStartup_t* startup, SRVStatus_t status);

/* ------------------------------------------------------------ start-up */

/* The start-up, from the global record to the announcement to the -N host. */
SRVStatus_t startUp(int argc, char* argv[], SRVStartup_t* startup);

} // namespace morvaneserver

#endif /* MORVANE_SERVER_SHARED_H */
