/*
 * SRV_CommandLoop: the command loop.
 *
 * The loop takes the current client from the connection manager, waits for
 * its request, looks the command up in the command table (SRV_CommandTable),
 * runs it on the board record and sends the reply: the handler's, or the
 * header and the status.
 */
#ifndef SRV_COMMAND_LOOP_H
#define SRV_COMMAND_LOOP_H

#include <stdbool.h>
#include <stddef.h>

#include "SRV_BoardRecord.h"
#include "SRV_ConnectionManager.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Serves one request of the client: receives, dispatches, replies. True
 * after a successful command 25. */
bool SRV_ServeRequest(SRVConnection_t* connection, c_socket_t* client, SRVBoard_t* board,
                      char databasePath[SRV_PATH_SIZE]);
/* Serves requests of the current client until command 25 succeeds or
 * SRV_EndCommandLoop was called. */
void SRV_RunCommandLoop(SRVConnection_t* connection, SRVBoard_t* board, char databasePath[SRV_PATH_SIZE]);
/* Ends the command loop as a successful command 25 does, once the request in
 * progress is answered (at once when none is): for the thread that takes the
 * process's end signals. The loop looks at it at least every 100 ms. */
void SRV_EndCommandLoop(void);

#ifdef __cplusplus
}
#endif

#endif /* SRV_COMMAND_LOOP_H */
