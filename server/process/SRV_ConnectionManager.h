/*
 * SRV_ConnectionManager: the accept thread and the current client.
 *
 * The server serves one client at a time: each new connection replaces the
 * previous one. The accept thread writes the current client under the
 * connection's condition lock and broadcasts every change; the command loop
 * takes the current client under that lock and then uses it for a whole
 * request without the lock. A client replaced while the loop is using it is
 * kept until the loop releases it, so the loop never works on a freed socket.
 */
#ifndef SRV_CONNECTION_MANAGER_H
#define SRV_CONNECTION_MANAGER_H

#include <stdbool.h>
#include <stdint.h>

#include "ZarnUtility.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SRV_CONN_EVENT_CLIENT = 1, /* the client changed: new, replaced or lost */
    SRV_CONN_EVENT_ERROR = 2   /* an accept failed */
};

/* How long the command loop waits for the rest of a packet before it drops
 * the client. */
#define SRV_CLIENT_RECV_TIMEOUT_MS 10000u
/* How long a whole reply may take to go out before the client is dropped, so
 * that a client that reads nothing, or reads a trickle, can't hold the
 * command loop (the client that replaced it, a shutdown) for longer. */
#define SRV_CLIENT_SEND_TIMEOUT_MS 5000u

typedef struct SRVConnection_t {
    c_socket_t* listenSocket;
    c_condition_t condition; /* guards the fields below; every change is broadcast */
    c_socket_t* client;
    int32_t event;
    int16_t error;
    /* The client the command loop is serving, and a client that was replaced
     * while in use: it is freed when the loop releases it. */
    c_socket_t* inUse;
    c_socket_t* retired;
    /* The accept thread, and the flag that tells it to end at shutdown. */
    c_thread_t* thread;
    uint8_t closing;
} SRVConnection_t;

/* Thread routine of the accept thread (argument: the connection record);
 * never returns. */
void* SRV_ConnectionManagerThread(void* connection);

/* The socket becomes the current client; the old one is closed and freed
 * (or, while the command loop uses it, as soon as the loop releases it). The
 * locked form takes the condition lock and broadcasts. */
void SRV_SetClient(c_socket_t* socket, SRVConnection_t* connection);
void SRV_SetClientUnlocked(c_socket_t* socket, SRVConnection_t* connection);

/* If the socket is still the current client: logs "Assuming client
 * disconnection.", closes and frees it, no client, event 1. 0. */
int SRV_HandleClientDisconnection(c_socket_t* socket, SRVConnection_t* connection);
int SRV_HandleClientDisconnectionUnlocked(c_socket_t* socket, SRVConnection_t* connection);

/* Frees the socket if given, stores the code, logs "%s. Error %hi.", event 2. */
void SRV_SetConnectionError(c_socket_t* socket, SRVConnection_t* connection, const char* text, int16_t code);
void SRV_SetConnectionErrorUnlocked(c_socket_t* socket, SRVConnection_t* connection, const char* text, int16_t code);

/* The command loop's side. SRV_AcquireClient waits at most waitMilliseconds
 * for a current client and marks it in use; NULL when none came.
 * SRV_IsCurrentClient tells whether the socket is still the current client.
 * SRV_ReleaseClient ends the use and frees the socket if it was replaced
 * meanwhile. */
c_socket_t* SRV_AcquireClient(SRVConnection_t* connection, uint32_t waitMilliseconds);
bool SRV_IsCurrentClient(SRVConnection_t* connection, c_socket_t* socket);
void SRV_ReleaseClient(SRVConnection_t* connection, c_socket_t* socket);

/* Prepares the record around a listening socket (no client, no event, no
 * error): 0 or the condition's error code. */
int SRV_InitConnection(SRVConnection_t* connection, c_socket_t* listenSocket);
/* Starts the accept thread: 0 or the thread layer's code. */
int SRV_StartConnectionManager(SRVConnection_t* connection);
/* Shutdown: ends the accept thread (the listening socket is shut down to
 * wake it), then closes the listening socket and the clients and destroys
 * the condition. A thread that does not end in time keeps its socket. */
void SRV_CloseConnection(SRVConnection_t* connection);

#ifdef __cplusplus
}
#endif

#endif /* SRV_CONNECTION_MANAGER_H */
