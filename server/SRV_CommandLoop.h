/*
 * SRV_CommandLoop: the command table and the command loop.
 *
 * The loop takes the current client from the connection manager, waits for
 * its request, looks the command up in the table, runs its handler on the
 * board record and sends the reply: the handler's, or the header and the
 * status.
 */
#ifndef SRV_COMMAND_LOOP_H
#define SRV_COMMAND_LOOP_H

#include <stdbool.h>
#include <stddef.h>

#include "SRV_Common.h"
#include "SRV_ConnectionManager.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One command served: its handler, or, for the commands of the configuration
 * database, its database handler. */
typedef struct SRVCommandEntry_t {
    SRVCommand_t code;
    SRVCommandHandler_t handler;
    SRVDatabaseCommandHandler_t databaseHandler;
} SRVCommandEntry_t;

/* The commands served (count entries); every other code is unsupported. */
const SRVCommandEntry_t* SRV_CommandTable(size_t* count);
/* The entry of the command, or NULL when it is not served. */
const SRVCommandEntry_t* SRV_FindCommand(SRVCommand_t code);

/* Serves one request of the client: receives, dispatches, replies. True
 * after a successful command 25. */
bool SRV_ServeRequest(SRVConnection_t* connection, c_socket_t* client, SRVBoard_t* board,
                      char databasePath[SRV_PATH_SIZE]);
/* Serves requests of the current client until command 25 succeeds. */
void SRV_RunCommandLoop(SRVConnection_t* connection, SRVBoard_t* board, char databasePath[SRV_PATH_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* SRV_COMMAND_LOOP_H */
