// IPv4 TCP sockets and the receiving and sending of whole packets.
#include "ZarnUtility.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const c_LogModule_t ZARN_LOG = {"ZarnUtilityLog.txt", "ZarnSocket"};

struct c_socket_t {
    int fd;
    uint32_t recvTimeoutMs; // 0: wait without limit
    uint32_t sendTimeoutMs; // 0: wait without limit
};

namespace {

const int LISTEN_BACKLOG = 16;

int lastError() { return errno != 0 ? errno : EIO; }

c_socket_t* wrap(int fd) {
    c_socket_t* socket = static_cast<c_socket_t*>(c_malloc(sizeof *socket));
    if (socket == NULL) {
        close(fd);
        return NULL;
    }
    socket->fd = fd;
    socket->recvTimeoutMs = 0;
    socket->sendTimeoutMs = 0;
    return socket;
}

// Requests and replies are single small writes: send them at once.
void setNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

enum RecvStatus { RECV_OK, RECV_CLOSED, RECV_ERROR, RECV_TIMEOUT };

// The moment by which a whole packet must have arrived or gone out; 0: no limit.
uint64_t deadlineAfter(uint32_t timeoutMs) { return timeoutMs == 0 ? 0 : c_get_time() + timeoutMs; }

enum WaitStatus { WAIT_READY, WAIT_ERROR, WAIT_TIMEOUT };

// Waits until the socket is ready for events (POLLIN or POLLOUT) or the
// deadline has passed; a deadline of 0 does not wait.
WaitStatus waitUntil(int fd, short events, uint64_t deadline) {
    if (deadline == 0)
        return WAIT_READY;
    for (;;) {
        uint64_t now = c_get_time();
        if (now >= deadline)
            return WAIT_TIMEOUT;
        uint64_t left = deadline - now;
        struct pollfd wait = {fd, events, 0};
        int ready = poll(&wait, 1, left > INT32_MAX ? INT32_MAX : static_cast<int>(left));
        if (ready > 0)
            return WAIT_READY;
        if (ready == 0)
            return WAIT_TIMEOUT;
        if (errno != EINTR)
            return WAIT_ERROR;
    }
}

// Reads exactly size bytes before the deadline (0: waits forever). The
// deadline holds for the whole read, so that a peer sending one byte now
// and then can't hold the reader longer than one time-out. Works on copies
// of the record's fields: a thread that shuts the socket down wakes this
// one, which then no longer touches the record.
RecvStatus receiveAll(int fd, uint64_t deadline, uint8_t* destination, size_t size) {
    size_t received = 0;
    while (received < size) {
        WaitStatus wait = waitUntil(fd, POLLIN, deadline);
        if (wait != WAIT_READY)
            return wait == WAIT_TIMEOUT ? RECV_TIMEOUT : RECV_ERROR;
        ssize_t count = recv(fd, destination + received, size - received, 0);
        if (count == 0)
            return RECV_CLOSED;
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return RECV_ERROR;
        }
        received += static_cast<size_t>(count);
    }
    return RECV_OK;
}

const char* describe(RecvStatus status) {
    switch (status) {
    case RECV_CLOSED: return "peer closed the connection";
    case RECV_TIMEOUT: return "time-out";
    default: return strerror(errno);
    }
}

uint32_t readU32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint16_t readU16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

} // namespace

extern "C" int c_socket_init(void) { return 0; }

extern "C" void c_socket_cleanup(void) {}

extern "C" int c_socket_server_init(c_socket_t** server, uint32_t bindAddress, uint16_t* port) {
    if (server == NULL || port == NULL)
        return EINVAL;
    *server = NULL;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return lastError();
    int on = 1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(bindAddress);
    address.sin_port = htons(*port);
    socklen_t length = sizeof address;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, LISTEN_BACKLOG) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&address), &length) != 0) {
        int error = lastError();
        c_lprintf(&ZARN_LOG, C_LOG_ERROR, __LINE__, "Can't listen on port %hu: %s", *port, strerror(error));
        close(fd);
        return error;
    }
    *port = ntohs(address.sin_port);
    *server = wrap(fd);
    return *server != NULL ? 0 : ENOMEM;
}

extern "C" int c_socket_server_accept(c_socket_t* server, c_socket_t** client) {
    if (server == NULL || client == NULL)
        return EINVAL;
    *client = NULL;
    int listener = server->fd; // the record is not touched again while blocked
    int fd;
    do {
        fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return lastError();
    setNoDelay(fd);
    *client = wrap(fd);
    return *client != NULL ? 0 : ENOMEM;
}

extern "C" int c_socket_client_connect(c_socket_t** client, const char* host, uint16_t port) {
    if (client == NULL || host == NULL)
        return EINVAL;
    *client = NULL;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    snprintf(service, sizeof service, "%u", port);
    struct addrinfo* addresses = NULL;
    if (getaddrinfo(host, service, &hints, &addresses) != 0 || addresses == NULL)
        return EHOSTUNREACH;
    int error = ECONNREFUSED;
    int fd = -1;
    for (struct addrinfo* address = addresses; address != NULL && fd < 0; address = address->ai_next) {
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            error = lastError();
            continue;
        }
        int result;
        do {
            result = connect(fd, address->ai_addr, address->ai_addrlen);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            error = lastError();
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0)
        return error;
    setNoDelay(fd);
    *client = wrap(fd);
    return *client != NULL ? 0 : ENOMEM;
}

extern "C" void c_socket_delete(c_socket_t* socket) {
    if (socket == NULL)
        return;
    // The shutdown also wakes a thread blocked in accept or recv on it.
    shutdown(socket->fd, SHUT_RDWR);
    close(socket->fd);
    c_free(socket);
}

extern "C" int c_socket_fd(const c_socket_t* socket) { return socket == NULL ? -1 : socket->fd; }

extern "C" int c_socket_set_recv_timeout(c_socket_t* socket, uint32_t milliseconds) {
    if (socket == NULL)
        return EINVAL;
    socket->recvTimeoutMs = milliseconds;
    return 0;
}

extern "C" int c_socket_set_send_timeout(c_socket_t* socket, uint32_t milliseconds) {
    if (socket == NULL)
        return EINVAL;
    socket->sendTimeoutMs = milliseconds;
    return 0;
}

extern "C" void* c_recv_packet(c_socket_t* socket, uint16_t* command, uint32_t* payloadSize) {
    uint16_t ignoredCommand;
    uint32_t ignoredSize;
    if (command == NULL)
        command = &ignoredCommand;
    if (payloadSize == NULL)
        payloadSize = &ignoredSize;
    *command = C_PACKET_RECV_FAILED;
    *payloadSize = 0;
    if (socket == NULL)
        return NULL;

    const int fd = socket->fd;
    // One time-out for the whole packet, counted from this call.
    const uint64_t deadline = deadlineAfter(socket->recvTimeoutMs);
    uint8_t header[C_PACKET_HEADER_SIZE];
    RecvStatus status = receiveAll(fd, deadline, header, sizeof header);
    if (status != RECV_OK) {
        c_lprintf(&ZARN_LOG, status == RECV_CLOSED ? C_LOG_DETAIL : C_LOG_WARNING, __LINE__,
                  "Can't receive packet header: %s.", describe(status));
        return NULL;
    }
    uint32_t size = readU32(header);
    if (size < C_PACKET_HEADER_SIZE || size > C_PACKET_MAX_SIZE) {
        c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "Refusing packet of %u bytes.", size);
        return NULL;
    }
    uint32_t bytes = size - C_PACKET_HEADER_SIZE;
    uint8_t* payload = static_cast<uint8_t*>(c_malloc(bytes));
    if (payload == NULL)
        return NULL;
    status = receiveAll(fd, deadline, payload, bytes);
    if (status != RECV_OK) {
        c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "Packet cut short after its header (%u bytes expected): %s.",
                  size, describe(status));
        c_free(payload);
        return NULL;
    }
    // Any code is a request's, 0xFFFF too: a failure is the NULL return.
    *command = readU16(header + 6);
    *payloadSize = bytes;
    return payload;
}

extern "C" int64_t c_send(c_socket_t* socket, const void* data, uint32_t size) {
    if (socket == NULL || (data == NULL && size != 0))
        return 0;
    const int fd = socket->fd;
    // One time-out for the whole packet, counted from this call: a peer that
    // reads a trickle can't hold the sender longer than that. With a limit,
    // each send is one that does not block, once poll says there is room.
    const uint64_t deadline = deadlineAfter(socket->sendTimeoutMs);
    const int flags = MSG_NOSIGNAL | (deadline != 0 ? MSG_DONTWAIT : 0);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t sent = 0;
    while (sent < size) {
        WaitStatus wait = waitUntil(fd, POLLOUT, deadline);
        if (wait != WAIT_READY) {
            c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "send() failed after %u of %u bytes: %s.", sent, size,
                      wait == WAIT_TIMEOUT ? "time-out" : strerror(errno));
            break;
        }
        ssize_t count = send(fd, bytes + sent, size - sent, flags);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            c_lprintf(&ZARN_LOG, C_LOG_WARNING, __LINE__, "send() failed after %u of %u bytes: %s.", sent, size,
                      strerror(errno));
            break;
        }
        sent += static_cast<uint32_t>(count);
    }
    return sent;
}
