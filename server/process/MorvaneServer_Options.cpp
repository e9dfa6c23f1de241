// The command line: the options into the start-up record, the connection
// to the -N host, and what the terminal is told of a command line the server
// can't take.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MorvaneServer.h"
#include "MorvaneServerShared.h"
#include "SRV_Globals.h"

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
