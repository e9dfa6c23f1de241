/* MorvaneServer: start-up, options and shutdown of the server (the command
 * loop is in SRV_CommandLoop). */
#ifndef MORVANE_SERVER_H
#define MORVANE_SERVER_H

#include <stdint.h>

#include "SRV_BoardLifecycle.h"
#include "SRV_BoardRecord.h"
#include "SRV_ConnectionManager.h"
#include "SRV_Status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The port the server listens on without option -p. */
#define SRV_DEFAULT_PORT 56342
/* The options of the command line. */
#define SRV_OPTIONS "hp:N:t:n:c:a:"
/* At most this many characters of the -N argument are taken. */
#define SRV_NOTIFY_ARG_MAX 260

/* What the start-up keeps for the whole run besides the global record. */
typedef struct SRVStartup_t {
    SRVConnParams_t connParams;
    uint16_t port;
    c_socket_t* notifySocket; /* option -N, until the announcement is sent */
    uint32_t bindAddress;     /* host order; 0: every interface */
    c_socket_t* listenSocket;
    SRVConnection_t connection;
    uint8_t connectionReady; /* the connection record is set up */
    char databasePath[SRV_PATH_SIZE];
    /* What the terminal is told besides the log: */
    uint8_t optionsRead;             /* the command line was read without fault */
    uint8_t usage;                   /* SRV_USAGE_*: print the usage text */
    char failure[SRV_PATH_SIZE * 2]; /* why the start failed, when its status doesn't say */
    const char* failureLog;          /* the log file with the details of that failure (NULL: the main log) */
} SRVStartup_t;

/* When the usage text is printed: after a fault in the command line (on
 * stderr), or because --help asked for it (on stdout). */
enum { SRV_USAGE_NONE = 0, SRV_USAGE_FAULT = 1, SRV_USAGE_HELP = 2 };

/* The whole run of the server: start-up, command loop, shutdown. The status
 * is the exit code. */
SRVStatus_t SRV_Run(int argc, char* argv[]);

/* Allocates the global record, chooses the working folder, reads the
 * definitions documents and the index levels: 0, -17 or -1. */
SRVStatus_t SRV_InitGlobals(void);

/* Parses the options into the start-up record (and connects to the -N host):
 * 0, -33 or -1. Arguments that are not options are logged and give -33. */
SRVStatus_t SRV_ParseOptions(int argc, char* argv[], SRVStartup_t* startup);

#ifdef __cplusplus
}
#endif

#endif /* MORVANE_SERVER_H */
