// The lines the terminal is told besides the log files: the usage text, why
// a start failed, the line that says the server listens, and where the log
// files are.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "MorvaneServer.h"
#include "MorvaneServerShared.h"
#include "SRV_Globals.h"

using namespace morvaneserver;

// The server writes two kinds of lines to the terminal besides its log files:
// one line on stdout once it listens, and on a failed start one line on stderr
// that says why and which log file has the details (with the usage text when
// the command line was at fault).

static const char USAGE[] =
    "Usage: MorvaneServer [-p PORT] [-t usb|opt] [-n N] [-c N] [-a ADDR] [-N HOST:PORT]\n"
    "       MorvaneServer -h [-p PORT] [-N HOST:PORT]\n"
    "Serves one board to one TCP client at a time.\n"
    "  -p PORT       TCP port to listen on (default %u)\n"
    "  -t usb|opt    link type of the board (default usb)\n"
    "  -n N          link number (default 0)\n"
    "  -c N          node on the link (default 0)\n"
    "  -a ADDR       VME base address, e.g. 0x32100000 (default 0)\n"
    "  -h            open the register-level device instead: -t, -n, -c and -a are ignored\n"
    "  -N HOST:PORT  tell that host the listening port once serving (command 54), and listen\n"
    "                only on the local address of that connection\n"
    "  --help        print this text\n"
    "Numbers take 0x for hexadecimal. The environment chooses the folders: ZARNWORKINGDIR\n"
    "(working folder), ZARN_LOG_DIR (log files), DRAVIKDIR and MORVANESERVERDIR (definitions).\n";

// The folder the process started in: the log files opened before the server
// entered its working folder are there when ZARN_LOG_DIR is not set.
static char launchFolder[SRV_PATH_SIZE];

void morvaneserver::noteLaunchFolder(void) {
    if (getcwd(launchFolder, sizeof launchFolder) == NULL)
        launchFolder[0] = '\0';
}

void morvaneserver::logFilePath(char* out, size_t size, const char* logFile, bool openedAtLaunch) {
    const char* folder = std::getenv("ZARN_LOG_DIR");
    char current[SRV_PATH_SIZE] = "";
    if (folder == NULL || folder[0] == '\0') {
        folder = openedAtLaunch || getcwd(current, sizeof current) == NULL ? launchFolder : current;
        if (folder[0] == '\0')
            folder = ".";
    }
    joinPath(out, size, folder, logFile);
}

// What the start-up failed at and the log file that has its messages, told
// from the status and from how far the start-up came.
static void describeStartFailure(const SRVStartup_t* startup, SRVStatus_t status, char* reason, size_t size,
                                 const char** logFile) {
    const SRVBoard_t* board = SRV_Globals != NULL ? &SRV_Globals->board : NULL;
    *logFile = "MorvaneServerLog.txt";
    if (startup->failure[0] != '\0') {
        std::snprintf(reason, size, "%s", startup->failure);
        if (startup->failureLog != NULL)
            *logFile = startup->failureLog;
    } else if (SRV_Globals == NULL) {
        std::snprintf(reason, size, "out of memory");
    } else if (!startup->optionsRead && status == SRV_ERR_RESOURCE) {
        std::snprintf(reason, size, "cannot expand the folder paths (ZARNWORKINGDIR, APPDATA, MORVANESERVERDIR)");
    } else if (!startup->optionsRead) {
        char path[SRV_PATH_SIZE * 2] = "ServerDefinitions.xml";
        serverDefinitionsPath(path, sizeof path);
        std::snprintf(reason, size, "cannot read the server definitions %s (check MORVANESERVERDIR)", path);
        *logFile = "SRV_CommonLog.txt";
    } else if (status == SRV_ERR_DATABASE) {
        std::snprintf(reason, size, "cannot set up SQLite");
        *logFile = "SRV_CommonLog.txt";
    } else if (status == SRV_ERR_SOCKET_INIT) {
        std::snprintf(reason, size, "cannot set up the socket layer");
    } else if (!board->open && status == SRV_ERR_GENERIC) {
        std::snprintf(reason, size, "cannot create or enter the working folder %s (check ZARNWORKINGDIR)",
                      SRV_Globals->workingFolder);
    } else if (!board->open && SRV_Globals->noConnection) {
        std::snprintf(reason, size, "cannot open the register-level device (-h)");
        *logFile = "SRV_CommonLog.txt";
    } else if (!board->open) {
        const SRVConnParams_t* link = &startup->connParams;
        std::snprintf(reason, size, "cannot open the board at -t %s -n %d -c %d -a 0x%x (see SimulatedBoards.xml)",
                      link->linkType == 1 ? "opt" : "usb", link->linkNumber, link->node, link->vmeBase);
        *logFile = "SRV_CommonLog.txt";
    } else if (status == SRV_ERR_SOCKET_LISTEN) {
        std::snprintf(reason, size, "cannot listen on TCP port %u: is another server using it? (-p chooses another)",
                      startup->port);
    } else if (startup->listenSocket == NULL) {
        std::snprintf(reason, size, "cannot prepare the board's data folder in %s", SRV_Globals->workingFolder);
    } else if (status == SRV_ERR_BUFFER) {
        std::snprintf(reason, size, "cannot announce the port to the -N host");
    } else {
        std::snprintf(reason, size, "cannot start the connection thread");
    }
}

void morvaneserver::reportStartFailure(const SRVStartup_t* startup, SRVStatus_t status) {
    if (startup->usage == SRV_USAGE_HELP) {
        std::printf(USAGE, SRV_DEFAULT_PORT);
        std::fflush(stdout);
        return;
    }
    if (startup->usage == SRV_USAGE_FAULT) {
        // The option parser has named a bad option itself.
        if (startup->failure[0] != '\0')
            std::fprintf(stderr, "MorvaneServer: %s\n", startup->failure);
        std::fprintf(stderr, USAGE, SRV_DEFAULT_PORT);
        return;
    }
    char reason[SRV_PATH_SIZE * 2];
    const char* logFile = NULL;
    describeStartFailure(startup, status, reason, sizeof reason, &logFile);
    char logPath[SRV_PATH_SIZE * 2];
    logFilePath(logPath, sizeof logPath, logFile, std::strcmp(logFile, "MorvaneServerLog.txt") == 0);
    std::fprintf(stderr, "MorvaneServer did not start: %s (status %hi). Details: %s\n", reason,
                 static_cast<short>(status), logPath);
}

// The line that tells a user the server is ready: port, board, folders.
void morvaneserver::reportListening(const SRVStartup_t* startup) {
    const c_BoardDescriptor_t* descriptor = &SRV_Globals->board.digitizer.descriptor;
    char address[INET_ADDRSTRLEN] = "every interface";
    if (startup->bindAddress != 0) {
        struct in_addr bound;
        bound.s_addr = htonl(startup->bindAddress);
        inet_ntop(AF_INET, &bound, address, sizeof address);
    }
    char folder[SRV_PATH_SIZE] = "";
    if (getcwd(folder, sizeof folder) == NULL)
        std::snprintf(folder, sizeof folder, "%s", SRV_Globals->workingFolder);
    char logPath[SRV_PATH_SIZE * 2];
    logFilePath(logPath, sizeof logPath, "MorvaneServerLog.txt", true);
    std::printf("MorvaneServer listens on TCP port %u (%s); board %.*s serial %u, %u channels; "
                "working folder %s; log %s\n",
                startup->port, address, static_cast<int>(strnlen(descriptor->ModelName, sizeof descriptor->ModelName)),
                descriptor->ModelName, descriptor->SerialNumber, descriptor->NumChannels, folder, logPath);
    std::fflush(stdout);
}
