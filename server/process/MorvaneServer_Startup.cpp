// The start-up's steps: the global record and the options, SQLite and the
// socket layer, the working folder, the board and its data folder, the
// listening socket, the connection manager and the announcement to the -N
// host.
#include <cstdio>

#include <libxml/xmlversion.h>

#include "MorvaneServer.h"
#include "MorvaneServerShared.h"
#include "SRVParameters.h"
#include "SRV_BoardIdentity.h"
#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_CommandCodes.h"
#include "SRV_ConfigurationManagement.h"
#include "SRV_Globals.h"
#include "SRV_List.h"
#include "SRV_Spectra.h"
#include "SRV_SqliteSetup.h"
#include "SRV_Versions.h"

using namespace morvaneserver;

static void logBanners(int argc, char* argv[]) {
    c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "MorvaneServer %s", SRV_GetServerVersion());
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Compiled on %s %s with %s", __DATE__, __TIME__,
              SRV_GetCompilerVersion());
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Commandline: %s", argc > 0 ? argv[0] : "");
    for (int i = 1; i < argc; i++)
        c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "\t%s", argv[i]);
}

static void logVersions(void) {
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Compiled against sqlite version: %s (using %s)",
              SRV_GetSqliteCompiledVersion(), SRV_GetSqliteRuntimeVersion());
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Compiled against ZarnMCA version: %s", SRV_LIBRARY_VERSION);
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Compiled against libxml2 version: %s (using %s)",
              LIBXML_VERSION_STRING, c_xml_parserversion());
}

static SRVStatus_t makeFolder(const char* path) {
    if (c_mkdirp(path) != 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't create folder '%s.'", path);
        return SRV_ERR_GENERIC;
    }
    return SRV_SUCCESS;
}

// The working folder becomes the current folder, with its folder "Run".
static SRVStatus_t prepareWorkingFolder(void) {
    const char* folder = SRV_Globals->workingFolder;
    SRVStatus_t status = makeFolder(folder);
    if (status != SRV_SUCCESS)
        return status;
    if (c_chdir(folder) != 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't chdir to '%s.'", folder);
        return SRV_ERR_GENERIC;
    }
    return makeFolder("Run");
}

// The configuration database: "__default" is rewritten with the values the
// board holds right after its open, then the newest other save is applied,
// high voltage included. None of the three stops the start-up.
static void applyStartupConfiguration(SRVBoard_t* board, const char* databasePath) {
    const c_Digitizer_t* digitizer = &board->digitizer;
    SRVStatus_t status = SRV_DeleteConfiguration(board, databasePath, SRV_DEFAULT_CONFIGURATION);
    if (status != SRV_SUCCESS)
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_WARNING, __LINE__,
                         "Can't delete default configuration from database (error %hi). Going on anyway.", status);
    status = SRV_SaveConfiguration(board, databasePath, SRV_DEFAULT_CONFIGURATION);
    if (status != SRV_SUCCESS)
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_WARNING, __LINE__,
                         "Can't save default configuration from database (error %hi). Going on anyway.", status);
    status = SRV_LoadConfiguration(board, databasePath, NULL, true);
    if (status != SRV_SUCCESS)
        c_extendedLogMsg(&LOG_MODULE, digitizer, C_LOG_WARNING, __LINE__,
                         "Can't load last configuration from database (error %hi). Going on anyway.", status);
}

// The board's data folder and the configuration-database path in it. The
// board thread runs by now, so the steps hold the board lock.
static SRVStatus_t prepareBoardFolder(SRVStartup_t* startup) {
    SRVBoard_t* board = &SRV_Globals->board;
    SRVStatus_t status = SRV_LockBoard(board);
    if (status != SRV_SUCCESS)
        return status;
    char dataPath[SRV_FOLDER_SIZE];
    status = SRV_GetBoardDataPath(board, dataPath);
    if (status == SRV_SUCCESS)
        status = makeFolder(dataPath);
    if (status == SRV_SUCCESS)
        status = SRV_FixServerFolders("Run", dataPath);
    if (status == SRV_SUCCESS &&
        !joinPath(startup->databasePath, sizeof startup->databasePath, dataPath, "boardconfig.info"))
        status = SRV_ERR_GENERIC;
    // The spectrum files, the start-up configuration and the list-mode
    // defaults join here with their modules.
    if (status == SRV_SUCCESS) {
        SRVFileFailure_t failure;
        status = SRV_LoadSpectrumFiles(board, dataPath, &failure);
        if (status != SRV_SUCCESS) {
            std::snprintf(startup->failure, sizeof startup->failure, "spectrum file %s %s", failure.path,
                          failure.reason);
            startup->failureLog = "SRV_SpectraLog.txt";
        }
    }
    if (status == SRV_SUCCESS)
        applyStartupConfiguration(board, startup->databasePath);
    if (status == SRV_SUCCESS)
        status = SRV_InitListSaves(board, dataPath);
    SRVStatus_t unlocked = SRV_UnlockBoard(board);
    return status != SRV_SUCCESS ? status : unlocked;
}

static SRVStatus_t openListeningSocket(SRVStartup_t* startup) {
    if (c_socket_server_init(&startup->listenSocket, startup->bindAddress, &startup->port) != 0) {
        c_socket_delete(startup->listenSocket);
        startup->listenSocket = NULL;
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Cannot init connection. Error %hi.",
                  static_cast<short>(SRV_ERR_SOCKET_LISTEN));
        return SRV_ERR_SOCKET_LISTEN;
    }
    return SRV_SUCCESS;
}

static SRVStatus_t startConnectionManager(SRVStartup_t* startup) {
    int result = SRV_InitConnection(&startup->connection, startup->listenSocket);
    if (result != 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "c_condition_init error (%hi)", static_cast<short>(result));
        return static_cast<SRVStatus_t>(result);
    }
    startup->connectionReady = 1;
    result = SRV_StartConnectionManager(&startup->connection);
    if (result != 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "c_thread_start error (%hi)", static_cast<short>(result));
        return static_cast<SRVStatus_t>(result);
    }
    return SRV_SUCCESS;
}

// Sends command 54 to the -N host: the status and, on success, the port.
static SRVStatus_t sendNotification(SRVStartup_t* startup, SRVStatus_t status) {
    uint32_t size = 0;
    void* packet = c_createheader(0, SRV_CMD_NOTIFY, &size);
    if (packet != NULL)
        packet = serialize_i16(&status, 1, packet, &size);
    if (packet != NULL && status == SRV_SUCCESS)
        packet = serialize_u16(&startup->port, 1, packet, &size);
    if (packet == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't prepare notification. Quitting.");
        return SRV_ERR_BUFFER;
    }
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Sending notification to other host");
    if (c_send(startup->notifySocket, packet, size) < static_cast<int64_t>(size))
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "c_send() failed.");
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Notification sent");
    c_free(packet);
    return SRV_SUCCESS;
}

SRVStatus_t morvaneserver::startUp(int argc, char* argv[], SRVStartup_t* startup) {
    logBanners(argc, argv);
    SRVStatus_t status = SRV_InitGlobals();
    if (status != SRV_SUCCESS)
        return status;
    status = SRV_ParseOptions(argc, argv, startup);
    if (status != SRV_SUCCESS)
        return status;
    logVersions();
    if (ConfigureSqlite() != SRV_SUCCESS) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "ConfigureSqlite() failed.");
        return SRV_ERR_DATABASE;
    }
    if (c_socket_init() != 0) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "c_socket_init() failed.");
        return SRV_ERR_SOCKET_INIT;
    }
    status = prepareWorkingFolder();
    if (status != SRV_SUCCESS)
        return status;
    status = SRV_AddBoard(&startup->connParams, NULL);
    if (status != SRV_SUCCESS) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Cannot open board.");
        return status;
    }
    status = prepareBoardFolder(startup);
    if (status != SRV_SUCCESS)
        return status;
    status = openListeningSocket(startup);
    if (status != SRV_SUCCESS)
        return status;
    status = startConnectionManager(startup);
    if (status != SRV_SUCCESS)
        return status;
    if (startup->notifySocket != NULL) {
        status = sendNotification(startup, SRV_SUCCESS);
        if (status != SRV_SUCCESS)
            return status;
        c_socket_delete(startup->notifySocket);
        startup->notifySocket = NULL;
    }
    return SRV_SUCCESS;
}
