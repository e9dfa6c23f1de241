// Start-up, options and shutdown of the acquisition server, and its main.
// The command loop that serves the clients is in SRV_CommandLoop.
#include "MorvaneServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <libxml/xmlversion.h>

#include "SRVParameters.h"
#include "SRV_BoardIdentity.h"
#include "SRV_BoardLifecycle.h"
#include "SRV_BoardLock.h"
#include "SRV_ClientPaths.h"
#include "SRV_CommandCodes.h"
#include "SRV_CommandLoop.h"
#include "SRV_ConfigurationManagement.h"
#include "SRV_ConnectionManager.h"
#include "SRV_Globals.h"
#include "SRV_List.h"
#include "SRV_RunFailures.h"
#include "SRV_Spectra.h"
#include "SRV_SqliteSetup.h"
#include "SRV_Versions.h"

static const c_LogModule_t LOG_MODULE = {"MorvaneServerLog.txt", "MorvaneServer"};

// ------------------------------------------------------------------ globals

// Joins a folder and a name with '/'; false when it does not fit.
static bool joinPath(char* out, size_t size, const char* folder, const char* name) {
    int written = std::snprintf(out, size, "%s/%s", folder, name);
    return written >= 0 && static_cast<size_t>(written) < size;
}

// The expansion of a text with path macros, or an empty text when the
// expansion is empty. False when it failed.
static bool expandInto(const char* text, char* out, size_t size) {
    char* expanded = c_getExpandedString(text);
    if (expanded == NULL)
        return false;
    bool fits = std::strlen(expanded) < size;
    if (fits)
        std::strcpy(out, expanded);
    c_free(expanded);
    return fits;
}

// The working folder: "$(ZARNWORKINGDIR)" when it is set, else
// "$(APPDATA)/MorvaneServer", where a missing APPDATA stands for the user's
// data folder ($XDG_DATA_HOME, else ~/.local/share).
static bool chooseWorkingFolder(char folder[SRV_FOLDER_SIZE]) {
    char base[SRV_PATH_SIZE];
    if (!expandInto("$(ZARNWORKINGDIR)", folder, SRV_FOLDER_SIZE))
        return false;
    if (folder[0] != '\0')
        return true;
    if (!expandInto("$(APPDATA)", base, sizeof base))
        return false;
    if (base[0] == '\0' && !expandInto("$(XDG_DATA_HOME)", base, sizeof base))
        return false;
    if (base[0] == '\0' && !expandInto("$(HOME)/.local/share", base, sizeof base))
        return false;
    return joinPath(folder, SRV_FOLDER_SIZE, base, "MorvaneServer");
}

// "$(MORVANESERVERDIR)/ServerDefinitions.xml", with the built-in folder when
// the variable is unset or empty.
static bool serverDefinitionsPath(char* out, size_t size) {
    char folder[SRV_PATH_SIZE];
    if (!expandInto("$(MORVANESERVERDIR)", folder, sizeof folder))
        return false;
    if (folder[0] == '\0')
        std::snprintf(folder, sizeof folder, "%s", MORVANE_DEFAULT_SERVER_DIR);
    return joinPath(out, size, folder, "ServerDefinitions.xml");
}

// ------------------------------------------------------- start-up folders

// Variables that name a folder or file the process uses after it has changed
// into its working folder.
static const char* const PATH_VARIABLES[] = {"DRAVIKDIR",    "MORVANESERVERDIR", "ZARNWORKINGDIR",
                                             "ZARN_LOG_DIR", "ZARN_PLUGIN_DIR",  "ZARN_SIMBOARD_FILE"};

static std::string absolutePath(const std::string& launch, const std::string& path) {
    return path.empty() || path[0] == '/' ? path : launch + "/" + path;
}

// A list of folders separated by ':', each relative one taken in launch.
static std::string absoluteFolders(const std::string& launch, const char* list) {
    std::string result;
    for (const char* at = list; at != NULL;) {
        const char* colon = std::strchr(at, ':');
        result += absolutePath(launch, colon != NULL ? std::string(at, colon) : std::string(at));
        if (colon != NULL)
            result += ':';
        at = colon != NULL ? colon + 1 : NULL;
    }
    return result;
}

// Fixes the folders once, before the first log line: relative folders of the
// environment are taken in the folder the server was started from (the
// start-up changes into the working folder later, and each folder must mean
// the same before and after), the working folder is chosen, and the log
// folder defaults to it, so that every log file, the first lines of the main
// log included, lands in one folder.
static void fixStartupFolders(void) {
    char launch[4096];
    if (getcwd(launch, sizeof launch) == NULL)
        return; // the folders stay as given; the start-up reports what fails
    try {
        for (const char* name : PATH_VARIABLES) {
            const char* value = std::getenv(name);
            if (value != NULL && value[0] != '\0')
                setenv(name, absolutePath(launch, value).c_str(), 1);
        }
        const char* dataFolders = std::getenv(SRV_DATA_FOLDERS_VARIABLE);
        if (dataFolders != NULL)
            setenv(SRV_DATA_FOLDERS_VARIABLE, absoluteFolders(launch, dataFolders).c_str(), 1);
        char workingFolder[SRV_FOLDER_SIZE];
        if (chooseWorkingFolder(workingFolder)) {
            setenv("ZARNWORKINGDIR", absolutePath(launch, workingFolder).c_str(), 1);
            const char* logFolder = std::getenv("ZARN_LOG_DIR");
            if (logFolder == NULL || logFolder[0] == '\0')
                setenv("ZARN_LOG_DIR", std::getenv("ZARNWORKINGDIR"), 1);
        }
    } catch (...) {
        // Out of memory this early: the folders stay as given.
    }
}

SRVStatus_t SRV_InitGlobals(void) {
    SRV_Globals = static_cast<SRVGlobals_t*>(c_calloc(1, sizeof(SRVGlobals_t)));
    if (SRV_Globals == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't allocate global flags.");
        return SRV_ERR_RESOURCE;
    }
    if (!chooseWorkingFolder(SRV_Globals->workingFolder)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't get path.");
        return SRV_ERR_RESOURCE;
    }
    char definitionsPath[SRV_PATH_SIZE * 2];
    if (!serverDefinitionsPath(definitionsPath, sizeof definitionsPath)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't get path.");
        return SRV_ERR_RESOURCE;
    }
    // A document that can't be read shows up as the level failure below.
    SRV_Globals->serverDefinitions = c_xml_newfile(definitionsPath);
    SRV_Globals->libraryDefinitions = c_getLibraryDefinitions();
    if (SRV_GetCategoryIndexLevels() != 0)
        return SRV_ERR_GENERIC;
    return SRV_SUCCESS;
}

// ------------------------------------------------------------------ options

// A command line the server can't take: the reason for the terminal, which
// shows it with the usage text.
static void noteCommandLineFault(SRVStartup_t* startup, const char* fault, const char* argument) {
    std::snprintf(startup->failure, sizeof startup->failure, "%s '%s'", fault, argument);
    startup->usage = SRV_USAGE_FAULT;
}

// A whole number from 0 to maximum, with base detection (decimal, 0x
// hexadecimal, leading-0 octal): false for a text that is anything else, a
// sign or blanks included.
static bool parseNumber(const char* text, unsigned long maximum, unsigned long* value) {
    if (!std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char* end = NULL;
    errno = 0;
    unsigned long number = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || number > maximum)
        return false;
    *value = number;
    return true;
}

// The value of a numeric option: -33 with the option and the value named
// when it is not a number or does not fit the field it sets.
static SRVStatus_t numericOption(int option, const char* text, unsigned long maximum, unsigned long* value,
                                 SRVStartup_t* startup) {
    if (parseNumber(text, maximum, value))
        return SRV_SUCCESS;
    c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Invalid value '%s' of option -%c.", text, option);
    char fault[64];
    std::snprintf(fault, sizeof fault, "-%c takes a number from 0 to %lu, not", option, maximum);
    noteCommandLineFault(startup, fault, text);
    return SRV_ERR_UNSUPPORTED;
}

// "--help" where the parser is about to read an option word: the server then
// only prints its usage. The server has one-letter options only, so the word
// can't mean anything else.
static bool asksForHelp(int argc, char* argv[], const c_getopt_t* state, SRVStartup_t* startup) {
    int word = state->optind < 1 ? 1 : state->optind;
    if (state->position != 0 || word >= argc || std::strcmp(argv[word], "--help") != 0)
        return false;
    startup->usage = SRV_USAGE_HELP;
    return true;
}

// Option -N: connects to host:port for the announcement and takes the local
// address of that connection as the listening address.
static SRVStatus_t connectNotificationHost(const char* argument, SRVStartup_t* startup) {
    char text[SRV_NOTIFY_ARG_MAX + 1];
    const char* colon = std::strchr(argument, ':');
    if (std::strlen(argument) > SRV_NOTIFY_ARG_MAX || colon == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Invalid notification host:port '%s'.", argument);
        noteCommandLineFault(startup, "-N takes HOST:PORT, not", argument);
        return SRV_ERR_UNSUPPORTED;
    }
    std::strcpy(text, argument);
    text[colon - argument] = '\0';
    const char* host = text;
    unsigned long portNumber = 0;
    if (!parseNumber(colon + 1, UINT16_MAX, &portNumber)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Invalid notification host:port '%s'.", argument);
        noteCommandLineFault(startup, "-N takes HOST:PORT with a port from 0 to 65535, not", argument);
        return SRV_ERR_UNSUPPORTED;
    }
    uint16_t port = static_cast<uint16_t>(portNumber);

    // A second -N replaces the first connection.
    c_socket_delete(startup->notifySocket);
    startup->notifySocket = NULL;
    startup->bindAddress = 0;

    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Connecting to host '%s:%hu'.", host, port);
    if (c_socket_client_connect(&startup->notifySocket, host, port) != 0) {
        c_socket_delete(startup->notifySocket);
        startup->notifySocket = NULL;
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Can't connect to host '%s:%hu'.", host, port);
        std::snprintf(startup->failure, sizeof startup->failure, "cannot connect to the -N host %s:%hu", host, port);
        return SRV_ERR_GENERIC;
    }
    if (startup->notifySocket == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "notification socket is null!");
        return SRV_ERR_GENERIC;
    }
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    std::memset(&local, 0, sizeof local);
    if (getsockname(c_socket_fd(startup->notifySocket), reinterpret_cast<struct sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "getsockname() failed with error %d. Will accept connections from any host.", errno);
    } else {
        startup->bindAddress = ntohl(local.sin_addr.s_addr);
    }
    c_lprintf(&LOG_MODULE, C_LOG_DETAIL, __LINE__, "Connected to host '%s:%hu'.", host, port);
    return SRV_SUCCESS;
}

// The parser has told the terminal what is wrong with the option already.
static SRVStatus_t reportOptionError(int option, SRVStartup_t* startup) {
    startup->usage = SRV_USAGE_FAULT;
    if (option == 'p')
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Option -%c requires an argument.", option);
    else if (std::isprint(option))
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Unknown option '-%c'.", option);
    else
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Unknown option character '\\x%x'.",
                  static_cast<unsigned>(option) & 0xFFu);
    return SRV_ERR_UNSUPPORTED;
}

SRVStatus_t SRV_ParseOptions(int argc, char* argv[], SRVStartup_t* startup) {
    // The parser names the program in its own lines: as the server's other
    // lines do, whatever path started it.
    static char programName[] = "MorvaneServer";
    std::vector<char*> words;
    try {
        words.assign(argv, argv + argc);
    } catch (...) {
        return SRV_ERR_RESOURCE;
    }
    if (argc > 0)
        words[0] = programName;
    argv = words.data();
    c_getopt_t state = C_GETOPT_INIT;
    int option;
    while (!asksForHelp(argc, argv, &state, startup) && (option = c_mp_getopt(argc, argv, SRV_OPTIONS, &state)) != -1) {
        SRVStatus_t status = SRV_SUCCESS;
        unsigned long number = 0;
        switch (option) {
        case 'h': SRV_Globals->noConnection = 1; break;
        case 'p':
            status = numericOption(option, state.optarg, UINT16_MAX, &number, startup);
            startup->port = static_cast<uint16_t>(number);
            break;
        case 'N': status = connectNotificationHost(state.optarg, startup); break;
        case 't':
            if (std::strcmp(state.optarg, "usb") == 0) {
                startup->connParams.linkType = 0;
            } else if (std::strcmp(state.optarg, "opt") == 0) {
                startup->connParams.linkType = 1;
            } else {
                c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Unknown connection type '%s'.", state.optarg);
                noteCommandLineFault(startup, "-t takes usb or opt, not", state.optarg);
                status = SRV_ERR_UNSUPPORTED;
            }
            break;
        case 'n':
            status = numericOption(option, state.optarg, INT16_MAX, &number, startup);
            startup->connParams.linkNumber = static_cast<int16_t>(number);
            break;
        case 'c':
            status = numericOption(option, state.optarg, INT16_MAX, &number, startup);
            startup->connParams.node = static_cast<int16_t>(number);
            break;
        case 'a':
            status = numericOption(option, state.optarg, UINT32_MAX, &number, startup);
            startup->connParams.vmeBase = static_cast<uint32_t>(number);
            break;
        case '?': status = reportOptionError(state.optopt, startup); break;
        default:
            startup->usage = SRV_USAGE_FAULT;
            status = SRV_ERR_UNSUPPORTED;
            break;
        }
        if (status != SRV_SUCCESS)
            return status;
    }
    if (startup->usage == SRV_USAGE_HELP)
        return SRV_ERR_UNSUPPORTED;
    for (int i = state.optind; i < argc; i++)
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "Unused non-option argument: '%s'", argv[i]);
    if (state.optind < argc) {
        noteCommandLineFault(startup, "unexpected argument", argv[state.optind]);
        return SRV_ERR_UNSUPPORTED;
    }
    startup->optionsRead = 1;
    return SRV_SUCCESS;
}

// ------------------------------------------------------------------ start-up

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

static SRVStatus_t startUp(int argc, char* argv[], SRVStartup_t* startup) {
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

// ------------------------------------------------------------------ signals

// SIGINT, SIGTERM and SIGHUP (the terminal of a console server closed) end
// the server as command 25 does: the acquisition is stopped with its drain,
// the list files and the recording closed, the spectra saved, with the
// quit's exit code and stderr lines. They are blocked in every thread from
// the start (each thread inherits the mask) and one thread takes them with
// sigwait, so that what they cause runs as ordinary code: the first ends the
// command loop, and the main thread shuts down as after the quit. One that
// comes while the server ends (after command 25 as well) gives the shutdown
// up: a line on stderr says what is not saved, and the process ends at once,
// killed by that signal. A signal the server was started ignoring (nohup)
// stays ignored.

// How far the shutdown has come, for a signal that gives it up.
enum { SHUTDOWN_NOT_BEGUN = 0, SHUTDOWN_SAVING = 1, SHUTDOWN_SAVED = 2 };
static int shutdownStage = SHUTDOWN_NOT_BEGUN; // atomic access
static int firstEndSignal = 0;                 // atomic access: the signal that ends the server
// What the shutdown has to save, written before the stage becomes SAVING.
static char unsavedOnGiveUp[512];

static const int END_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

static const char* signalName(int number) {
    switch (number) {
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "SIGTERM";
    }
}

// The line on stdout that says the server ends on a signal comes after the
// line that says it listens, or, when the start-up fails, not at all: a
// signal in the start-up's first moments waits for the start-up's line.
static pthread_mutex_t terminalLock = PTHREAD_MUTEX_INITIALIZER;
static bool startupTold = false; // under terminalLock
static int endSignalUntold = 0;  // under terminalLock: the signal whose line waits

static void printEndSignal(int number) {
    std::printf("MorvaneServer ends on %s as on command 25; another SIGINT, SIGTERM or SIGHUP gives up saving.\n",
                signalName(number));
    std::fflush(stdout);
}

// The start-up has told the terminal how it went: the line of a signal that
// came meanwhile follows, if the server listens.
static void startupToldTerminal(bool listening) {
    pthread_mutex_lock(&terminalLock);
    startupTold = true;
    if (endSignalUntold != 0 && listening)
        printEndSignal(endSignalUntold);
    endSignalUntold = 0;
    pthread_mutex_unlock(&terminalLock);
}

static void tellEndSignal(int number) {
    pthread_mutex_lock(&terminalLock);
    if (startupTold)
        printEndSignal(number);
    else
        endSignalUntold = number;
    pthread_mutex_unlock(&terminalLock);
}

static void setShutdownStage(int stage) { __atomic_store_n(&shutdownStage, stage, __ATOMIC_SEQ_CST); }

// Ends the process at once, as the signal would have without the watch.
static void giveUpShutdown(int number) {
    c_lflushrepeats(); // the exit handlers that would write the log's repeat counts do not run
    const char* name = signalName(number);
    switch (__atomic_load_n(&shutdownStage, __ATOMIC_SEQ_CST)) {
    case SHUTDOWN_NOT_BEGUN:
        std::fprintf(stderr,
                     "MorvaneServer gave up ending on %s before its shutdown began: the acquisition was not stopped, "
                     "no spectrum, list file or recording was saved.\n",
                     name);
        break;
    case SHUTDOWN_SAVING:
        std::fprintf(stderr, "MorvaneServer gave up its shutdown on %s: %s.\n", name, unsavedOnGiveUp);
        break;
    default:
        std::fprintf(stderr, "MorvaneServer gave up its shutdown on %s: everything was saved already.\n", name);
        break;
    }
    std::fflush(stderr);
    ::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    pthread_sigmask(SIG_UNBLOCK, &only, NULL);
    raise(number);
    _exit(128 + number); // not reached: the signal's default action ends the process
}

// The thread that takes the end signals (argument: their set).
static void* endSignalThread(void* argument) {
    const sigset_t* signals = static_cast<const sigset_t*>(argument);
    for (;;) {
        int number = 0;
        if (sigwait(signals, &number) != 0)
            continue;
        int none = 0;
        if (__atomic_load_n(&shutdownStage, __ATOMIC_SEQ_CST) != SHUTDOWN_NOT_BEGUN ||
            !__atomic_compare_exchange_n(&firstEndSignal, &none, number, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            giveUpShutdown(number);
        c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "%s received: ending as on command 25.", signalName(number));
        tellEndSignal(number);
        SRV_EndCommandLoop();
    }
    return NULL;
}

// Whether the process was started with the signal ignored (a background
// job of a shell, nohup): it then stays ignored.
static bool startedIgnoring(int number) {
    struct sigaction action;
    return sigaction(number, NULL, &action) == 0 && action.sa_handler == SIG_IGN;
}

// Blocks the end signals and starts the thread that takes them. Should that
// fail, they keep their default action.
static void watchEndSignals(void) {
    static sigset_t signals;
    static c_thread_t* watcher = NULL;
    sigemptyset(&signals);
    for (int number : END_SIGNALS)
        if (!startedIgnoring(number))
            sigaddset(&signals, number);
    if (sigisemptyset(&signals))
        return;
    if (pthread_sigmask(SIG_BLOCK, &signals, NULL) != 0 || c_thread_create(&watcher, endSignalThread, &signals) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &signals, NULL);
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__,
                  "Can't watch SIGINT, SIGTERM and SIGHUP: they end the server without saving.");
    }
}

// Notes what the shutdown about to begin has to save, for a signal that
// gives it up, and marks its beginning. The board is read under its lock.
static void beginShutdown(void) {
    SRVBoard_t* board = SRV_Globals != NULL ? &SRV_Globals->board : NULL;
    if (board == NULL || !board->open || SRV_LockBoard(board) != SRV_SUCCESS) {
        std::snprintf(unsavedOnGiveUp, sizeof unsavedOnGiveUp, "the board was not closed");
        setShutdownStage(SHUTDOWN_SAVING);
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
    int written = std::snprintf(unsavedOnGiveUp, sizeof unsavedOnGiveUp,
                                "the spectra of %u channels are not saved (their files keep their last save)", spectra);
    auto add = [&written](const char* text) {
        if (written >= 0 && static_cast<size_t>(written) < sizeof unsavedOnGiveUp)
            written += std::snprintf(unsavedOnGiveUp + written, sizeof unsavedOnGiveUp - written, "%s", text);
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
    setShutdownStage(SHUTDOWN_SAVING);
}

static void logFilePath(char* out, size_t size, const char* logFile, bool openedAtLaunch);

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
static SRVStatus_t shutDown(SRVStartup_t* startup, SRVStatus_t status) {
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
    setShutdownStage(SHUTDOWN_SAVED);
    sqlite3_shutdown();
    if (SRV_Globals != NULL) {
        c_xml_freedoc(SRV_Globals->serverDefinitions);
        c_free(SRV_Globals);
        SRV_Globals = NULL;
    }
    return status;
}

// ------------------------------------------------------------------ terminal

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

// Where a module's log file is: in ZARN_LOG_DIR when it is set, else in the
// folder that was current when the module first logged.
static void logFilePath(char* out, size_t size, const char* logFile, bool openedAtLaunch) {
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

static void reportStartFailure(const SRVStartup_t* startup, SRVStatus_t status) {
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
static void reportListening(const SRVStartup_t* startup) {
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

SRVStatus_t SRV_Run(int argc, char* argv[]) {
    if (getcwd(launchFolder, sizeof launchFolder) == NULL)
        launchFolder[0] = '\0';
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
