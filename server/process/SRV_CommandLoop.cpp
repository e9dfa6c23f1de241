// The command loop: the loop that serves the current client's requests one
// at a time (receive, dispatch, reply).
#include "SRV_CommandLoop.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "SRV_CommandTable.h"

// The loop logs into the server's main log file.
static const c_LogModule_t LOG_MODULE = {"MorvaneServerLog.txt", "MorvaneServer"};

// The command loop waits for a client and for its request in slices of this
// length, so that it keeps looking at the current client.
static const uint32_t LOOP_SLICE_MS = 100;

// ------------------------------------------------------------ command loop

// Waits until the client's socket has data: true when a request can be read.
static bool waitForRequest(c_socket_t* client) {
    struct pollfd request;
    request.fd = c_socket_fd(client);
    request.events = POLLIN;
    request.revents = 0;
    int ready = poll(&request, 1, static_cast<int>(LOOP_SLICE_MS));
    if (ready == 0)
        return false;
    if (ready < 0) {
        if (errno != EINTR)
            c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "'select' ERROR. Will wait for a new connection.");
        return false;
    }
    if ((request.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "select() returned but readmask is not set.");
        return false;
    }
    return true;
}

bool SRV_ServeRequest(SRVConnection_t* connection, c_socket_t* client, SRVBoard_t* board,
                      char databasePath[SRV_PATH_SIZE]) {
    uint16_t command = 0;
    uint32_t payloadSize = 0;
    // A failed receive is the NULL payload; the code may be anything, 0xFFFF
    // included, and an unknown one is answered like every other.
    void* payload = c_recv_packet(client, &command, &payloadSize);
    if (payload == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Error receiving packet.");
        SRV_HandleClientDisconnection(client, connection);
        return false;
    }
    c_lprintf(&LOG_MODULE, C_LOG_INFO, __LINE__, "Received command %hu.", command);

    SRVStatus_t status = SRV_ERR_INVALID_COMMAND;
    uint32_t replySize = 0;
    void* reply = NULL;
    const SRVCommandEntry_t* entry = SRV_FindCommand(command);
    if (entry == NULL) {
        c_lprintf(&LOG_MODULE, C_LOG_WARNING, __LINE__, "Unsupported command %hu.", command);
    } else {
        // No handler runs on a closed board record: its locks are gone.
        status = SRV_CheckBoardOpen(board, entry);
        if (status == SRV_SUCCESS)
            reply = SRV_RunCommand(entry, board, payload, payloadSize, databasePath, &replySize, &status);
    }
    if (reply == NULL)
        reply = SRV_BuildStatusReply(command, status, &replySize);
    if (reply == NULL) {
        c_free(payload);
        return false;
    }
    if (status != SRV_SUCCESS)
        SRV_LogServerError(status);
    // A reply cut short leaves the client no way to find the next one: the
    // client is dropped, and the requests it sent meanwhile are not served.
    if (c_send(client, reply, replySize) < static_cast<int64_t>(replySize)) {
        c_lprintf(&LOG_MODULE, C_LOG_ERROR, __LINE__, "c_send() failed.");
        SRV_HandleClientDisconnection(client, connection);
    }
    c_free(reply);
    c_free(payload);
    return command == SRV_CMD_QUIT && status == SRV_SUCCESS;
}

// Set once by SRV_EndCommandLoop, from another thread.
static uint8_t endRequested = 0;

void SRV_EndCommandLoop(void) { __atomic_store_n(&endRequested, 1, __ATOMIC_SEQ_CST); }

void SRV_RunCommandLoop(SRVConnection_t* connection, SRVBoard_t* board, char databasePath[SRV_PATH_SIZE]) {
    bool quit = false;
    while (!quit && __atomic_load_n(&endRequested, __ATOMIC_SEQ_CST) == 0) {
        // The loop wakes at least every slice: the log's repeat counts whose
        // window is over are written from here, also while the server idles.
        c_lsweeprepeats();
        c_socket_t* client = SRV_AcquireClient(connection, LOOP_SLICE_MS);
        if (client == NULL)
            continue;
        // A client replaced while the loop waited is not read any more.
        if (waitForRequest(client) && SRV_IsCurrentClient(connection, client))
            quit = SRV_ServeRequest(connection, client, board, databasePath);
        SRV_ReleaseClient(connection, client);
    }
}
