// The acquisition server's main: the order of its start-up, command loop and
// shutdown. The pieces are MorvaneServer_Folders, _Options, _Startup,
// _Signals, _Shutdown and _Terminal; the command loop that serves the
// clients is in SRV_CommandLoop.
#include "MorvaneServer.h"

#include <signal.h>

#include "MorvaneServerShared.h"
#include "SRV_CommandLoop.h"
#include "SRV_Globals.h"

using namespace morvaneserver;

SRVStatus_t SRV_Run(int argc, char* argv[]) {
    noteLaunchFolder();
    // A send to a client that has gone must not end the process, nor a write
    // past the file-size limit: that write fails (EFBIG) and is reported like
    // a full disk, and what the process holds is kept.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    fixStartupFolders();
    watchEndSignals();

    SRVStartup_t* startup = static_cast<SRVStartup_t*>(c_calloc(1, sizeof(SRVStartup_t)));
    if (startup == NULL)
        return SRV_ERR_RESOURCE;
    startup->port = SRV_DEFAULT_PORT;
    SRVStatus_t status = startUp(argc, argv, startup);
    if (status != SRV_SUCCESS)
        reportStartFailure(startup, status);
    if (status == SRV_SUCCESS)
        reportListening(startup);
    startupToldTerminal(status == SRV_SUCCESS);
    if (status == SRV_SUCCESS) {
        c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Waiting for commands...");
        SRV_RunCommandLoop(&startup->connection, &SRV_Globals->board, startup->databasePath);
    }
    beginShutdown();
    // The usage asked for with --help is what the server was to do; the -N
    // host is still told that it does not serve.
    bool helpAsked = startup->usage == SRV_USAGE_HELP;
    status = shutDown(startup, status);
    c_free(startup);
    if (helpAsked)
        return SRV_SUCCESS;
    return status;
}

#ifndef MORVANE_SERVER_NO_MAIN
int main(int argc, char* argv[]) { return static_cast<int>(SRV_Run(argc, argv)); }
#endif
