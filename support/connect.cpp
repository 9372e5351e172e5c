// TCP connections of the protocol clients: sliced connect, listening mode,
// filtered accept, idle test and close with an optional report.
#include "support/connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/notify.h"

namespace {

constexpr socklen_t kAddressLength = sizeof(sockaddr_in);
static_assert(kAddressLength == 16);

using NameCall = int (*)(int, sockaddr *, socklen_t *);

// Dotted text (a copy, null when not IPv4 or out of memory) and port of
// one end of a socket.
void describe(int descriptor, NameCall call, char **host, uint16_t *port) {
    *host = nullptr;
    *port = 0;
    sockaddr_in address{};
    socklen_t length = kAddressLength;
    if (call(descriptor, reinterpret_cast<sockaddr *>(&address), &length) < 0) return;
    if (address.sin_family != AF_INET) return;
    *host = strdup(inet_ntoa(address.sin_addr));
    *port = ntohs(address.sin_port);
}

int bind_listening(EngineContext *context, int descriptor, sockaddr_in *address) {
    if (address == nullptr) return -1;
    if (bind(descriptor, reinterpret_cast<sockaddr *>(address), kAddressLength) < 0)
        return record_error(context, ERR_NET_SYSCALL, "bind");
    socklen_t length = kAddressLength;
    if (getsockname(descriptor, reinterpret_cast<sockaddr *>(address), &length) < 0) return -1;
    if (listen(descriptor, kListenBacklog) < 0)
        return record_error(context, ERR_NET_SYSCALL, "listen");
    return 0;
}

int resolve(EngineContext *context, const char *host, uint16_t port, sockaddr_in *remote) {
    *remote = sockaddr_in{};
    remote->sin_family = AF_INET;
    remote->sin_port = htons(port);
    if (inet_aton(host, &remote->sin_addr) != 0) return 0;
    hostent *entry = gethostbyname(host);
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        return record_error(context, ERR_NET_SYSCALL, "gethostbyname");
    size_t length =
        std::min(static_cast<size_t>(std::max(entry->h_length, 0)), sizeof(remote->sin_addr));
    memcpy(&remote->sin_addr, entry->h_addr_list[0], length);
    return 0;
}

// Waits for a non-blocking connect to finish, one slice at a time, so the
// console can spin and the user can break off.
int wait_connected(EngineContext *context, int descriptor) {
    int32_t count = wait_slice_count(context->timeout);
    for (int32_t index = 0; index < count;) {
        if (descriptor >= FD_SETSIZE) {
            errno = EINVAL;
            return record_error(context, ERR_NET_SYSCALL, "select");
        }
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(descriptor, &writable);
        timeval slice{0, kWaitSliceMicroseconds};
        int ready = select(descriptor + 1, nullptr, &writable, nullptr, &slice);
        if (ready < 0) return record_error(context, ERR_NET_SYSCALL, "select");
        if (ready == 0) {
            if (notify_counts(context, UI_SPIN_IO, index, count) < 0)
                return record_error_code(context, ERR_UPDATE, UPD_USER_BREAK, "callback");
            if (context->timeout > 0) index++;
            continue;
        }
        int pending = 0;
        socklen_t length = sizeof(pending);
        if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &pending, &length) < 0)
            return record_error(context, ERR_NET_SYSCALL, "getsockopt");
        if (pending != 0) return record_error_code(context, ERR_NET_SYSCALL, pending, "connect");
        return 0;
    }
    // Out of slices: the caller counts this as a failed try; nothing to report.
    return -1;
}

int connect_socket(EngineContext *context, int descriptor, const char *host, uint16_t port) {
    sockaddr_in remote;
    if (resolve(context, host, port, &remote) < 0) return -1;
    notify_peers(context, UI_CONNECTING, "localhost", 0, host, port);
    if (set_nonblocking(descriptor, 1) < 0) return -1;
    if (connect(descriptor, reinterpret_cast<sockaddr *>(&remote), kAddressLength) < 0) {
        if (errno != EINPROGRESS) return record_error(context, ERR_NET_SYSCALL, "connect");
        if (wait_connected(context, descriptor) < 0) return -1;
    }
    return set_nonblocking(descriptor, 0) < 0 ? -1 : 0;
}

}  // namespace

int32_t wait_slice_count(int32_t timeout) {
    if (timeout <= 0) return kSlicesPerSecond;
    if (timeout > INT32_MAX / kSlicesPerSecond) return INT32_MAX;
    return timeout * kSlicesPerSecond;
}

int connection_open(EngineContext *context, Connection *connection, const char *host, uint16_t port,
                    int listen, sockaddr_in *address) {
    if (connection == nullptr || context == nullptr) return -1;
    *connection = socket(AF_INET, SOCK_STREAM, 0);
    if (*connection < 0) {
        *connection = -1;
        return record_error(context, ERR_NET_SYSCALL, "socket");
    }
    int result = 0;
    if (listen) result = bind_listening(context, *connection, address);
    if (result == 0 && host != nullptr) result = connect_socket(context, *connection, host, port);
    if (result < 0) {
        connection_close(context, connection, 0);
        return -1;
    }
    return 0;
}

int connection_close(EngineContext *context, Connection *connection, int report) {
    if (connection == nullptr || *connection < 0) return -1;
    if (report) {
        char *local_host;
        char *remote_host;
        uint16_t local_port;
        uint16_t remote_port;
        describe(*connection, getsockname, &local_host, &local_port);
        describe(*connection, getpeername, &remote_host, &remote_port);
        notify_peers(context, UI_CONNECTION_CLOSED, local_host, local_port, remote_host,
                     remote_port);
        free(local_host);
        free(remote_host);
    }
    close(*connection);
    *connection = -1;
    return 0;
}

int connection_accept(EngineContext *context, Connection *connection, in_addr_t expected) {
    if (connection == nullptr) return -1;
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = kAddressLength;
        int accepted = accept(*connection, reinterpret_cast<sockaddr *>(&peer), &length);
        if (accepted < 0) return record_error(context, ERR_NET_SYSCALL, "accept");
        // Anybody may connect to an open data port; only the server we
        // talk to is allowed to deliver the data.
        if (peer.sin_family != AF_INET || peer.sin_addr.s_addr != expected) {
            close(accepted);
            continue;
        }
        char *peer_host = strdup(inet_ntoa(peer.sin_addr));
        char *local_host;
        uint16_t local_port;
        describe(accepted, getsockname, &local_host, &local_port);
        notify_peers(context, UI_CONNECTING, peer_host, ntohs(peer.sin_port), local_host,
                     local_port);
        free(peer_host);
        free(local_host);
        connection_close(context, connection, 0);
        *connection = accepted;
        return 0;
    }
}

int connection_idle(int descriptor) {
    timeval instant{0, 1};
    return wait_readable(descriptor, &instant) == 0 ? 1 : 0;
}

int wait_readable(int descriptor, timeval *timeout) {
    if (descriptor < 0) {
        errno = EBADF;
        return -1;
    }
    if (descriptor >= FD_SETSIZE) {
        errno = EINVAL;
        return -1;
    }
    fd_set readable;
    fd_set exceptional;
    FD_ZERO(&readable);
    FD_ZERO(&exceptional);
    FD_SET(descriptor, &readable);
    FD_SET(descriptor, &exceptional);
    int ready = select(descriptor + 1, &readable, nullptr, &exceptional, timeout);
    if (ready < 0) return -1;
    if (FD_ISSET(descriptor, &exceptional)) return -1;
    return ready;
}

int set_nonblocking(int descriptor, int on) {
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(descriptor, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}
