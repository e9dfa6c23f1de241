// The accept thread and the current client of the server.
#include "SRV_ConnectionManager.h"

#include <sys/socket.h>

#include "SRV_Status.h"

static const c_LogModule_t LOG_MODULE = {"SRV_ConnectionManagerLog.txt", "SRV_ConnectionManager"};

// Pause after a failed accept, so that a lasting failure does not flood the log.
static const uint32_t ACCEPT_RETRY_PAUSE_MS = 10;
// How long the shutdown waits for the accept thread to end.
static const uint32_t ACCEPT_THREAD_JOIN_MS = 2000;

// Closes a socket that stops being the current client. The one the command
// loop is serving is kept until the loop releases it; its receiving side is
// shut at once, so that the loop does not wait for more of a request from
// it, while the reply to a request in progress can still be sent.
static void dropSocketUnlocked(c_socket_t* socket, SRVConnection_t* connection) {
    if (socket == NULL)
        return;
    if (socket == connection->inUse) {
        if (connection->retired != NULL && connection->retired != socket)
            c_socket_delete(connection->retired);
        connection->retired = socket;
        shutdown(c_socket_fd(socket), SHUT_RD);
        return;
    }
    c_socket_delete(socket);
}

void SRV_SetClientUnlocked(c_socket_t* socket, SRVConnection_t* connection) {
    if (connection->client != socket)
        dropSocketUnlocked(connection->client, connection);
    connection->client = socket;
    connection->event = SRV_CONN_EVENT_CLIENT;
}

void SRV_SetClient(c_socket_t* socket, SRVConnection_t* connection) {
    c_condition_lock(&connection->condition);
    SRV_SetClientUnlocked(socket, connection);
    c_condition_broadcast(&connection->condition);
    c_condition_unlock(&connection->condition);
}

int SRV_HandleClientDisconnectionUnlocked(c_socket_t* socket, SRVConnection_t* connection) {
    if (socket == NULL || socket != connection->client)
        return 0;
    c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Assuming client disconnection.");
    connection->client = NULL;
    dropSocketUnlocked(socket, connection);
    connection->event = SRV_CONN_EVENT_CLIENT;
    c_condition_broadcast(&connection->condition);
    return 0;
}

int SRV_HandleClientDisconnection(c_socket_t* socket, SRVConnection_t* connection) {
    c_condition_lock(&connection->condition);
    SRV_HandleClientDisconnectionUnlocked(socket, connection);
    c_condition_unlock(&connection->condition);
    return 0;
}

void SRV_SetConnectionErrorUnlocked(c_socket_t* socket, SRVConnection_t* connection, const char* text, int16_t code) {
    if (socket != NULL && socket != connection->client)
        dropSocketUnlocked(socket, connection);
    connection->error = code;
    c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "%s. Error %hi.", text, code);
    connection->event = SRV_CONN_EVENT_ERROR;
}

void SRV_SetConnectionError(c_socket_t* socket, SRVConnection_t* connection, const char* text, int16_t code) {
    c_condition_lock(&connection->condition);
    SRV_SetConnectionErrorUnlocked(socket, connection, text, code);
    c_condition_broadcast(&connection->condition);
    c_condition_unlock(&connection->condition);
}

static bool isClosing(SRVConnection_t* connection) {
    c_condition_lock(&connection->condition);
    bool closing = connection->closing != 0;
    c_condition_unlock(&connection->condition);
    return closing;
}

void* SRV_ConnectionManagerThread(void* argument) {
    SRVConnection_t* connection = static_cast<SRVConnection_t*>(argument);

    c_condition_lock(&connection->condition);
    SRV_SetClientUnlocked(NULL, connection);
    c_condition_broadcast(&connection->condition);
    c_condition_unlock(&connection->condition);

    for (;;) {
        c_socket_t* socket = NULL;
        int result = c_socket_server_accept(connection->listenSocket, &socket);
        if (isClosing(connection)) {
            c_socket_delete(socket);
            break;
        }
        if (result == 0 && socket != NULL) {
            c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "New client connected.");
            // A client that sends part of a packet and goes silent, or does
            // not read its reply in time, is dropped after these times
            // instead of blocking the command loop.
            c_socket_set_recv_timeout(socket, SRV_CLIENT_RECV_TIMEOUT_MS);
            c_socket_set_send_timeout(socket, SRV_CLIENT_SEND_TIMEOUT_MS);
            SRV_SetClient(socket, connection);
        } else {
            SRV_SetConnectionError(socket, connection, "accept() failed", SRV_ERR_SOCKET_ACCEPT);
            c_sleep(ACCEPT_RETRY_PAUSE_MS);
        }
    }
    return NULL;
}

c_socket_t* SRV_AcquireClient(SRVConnection_t* connection, uint32_t waitMilliseconds) {
    c_condition_lock(&connection->condition);
    if (connection->client == NULL)
        c_condition_wait(&connection->condition, waitMilliseconds);
    c_socket_t* socket = connection->client;
    if (socket != NULL)
        connection->inUse = socket;
    c_condition_unlock(&connection->condition);
    return socket;
}

bool SRV_IsCurrentClient(SRVConnection_t* connection, c_socket_t* socket) {
    c_condition_lock(&connection->condition);
    bool current = socket != NULL && connection->client == socket;
    c_condition_unlock(&connection->condition);
    return current;
}

void SRV_ReleaseClient(SRVConnection_t* connection, c_socket_t* socket) {
    c_condition_lock(&connection->condition);
    if (connection->inUse == socket)
        connection->inUse = NULL;
    if (connection->retired != NULL && connection->retired != connection->inUse) {
        c_socket_delete(connection->retired);
        connection->retired = NULL;
    }
    c_condition_unlock(&connection->condition);
}

int SRV_InitConnection(SRVConnection_t* connection, c_socket_t* listenSocket) {
    connection->listenSocket = listenSocket;
    connection->client = NULL;
    connection->event = 0;
    connection->error = 0;
    connection->inUse = NULL;
    connection->retired = NULL;
    connection->thread = NULL;
    connection->closing = 0;
    return c_condition_init(&connection->condition);
}

int SRV_StartConnectionManager(SRVConnection_t* connection) {
    return c_thread_create(&connection->thread, SRV_ConnectionManagerThread, connection);
}

void SRV_CloseConnection(SRVConnection_t* connection) {
    c_condition_lock(&connection->condition);
    connection->closing = 1;
    c_condition_unlock(&connection->condition);

    bool threadEnded = true;
    if (connection->thread != NULL) {
        // Shutting the listening socket down wakes the blocked accept.
        if (connection->listenSocket != NULL)
            shutdown(c_socket_fd(connection->listenSocket), SHUT_RDWR);
        threadEnded = c_thread_timedjoin(connection->thread, NULL, ACCEPT_THREAD_JOIN_MS) == 0;
        connection->thread = NULL;
    }
    if (!threadEnded) {
        // The thread may still touch the record: leave it to the process end.
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "The accept thread did not end. Going on anyway.");
        return;
    }
    c_socket_delete(connection->listenSocket);
    connection->listenSocket = NULL;
    c_socket_delete(connection->client);
    if (connection->retired != connection->client)
        c_socket_delete(connection->retired);
    connection->client = NULL;
    connection->retired = NULL;
    connection->inUse = NULL;
    c_condition_destroy(&connection->condition);
}
