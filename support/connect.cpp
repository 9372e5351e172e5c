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
#include <cstring>
#include <string>

#include "core/error.h"

namespace {

constexpr socklen_t kAddressLength = sizeof(sockaddr_in);
static_assert(kAddressLength == 16);

using NameCall = int (*)(int, sockaddr *, socklen_t *);

// One end of a socket: dotted text (empty when not IPv4) and port.
struct End {
    std::string host;
    uint16_t port = 0;
    const char *text() const { return host.empty() ? nullptr : host.c_str(); }
};

End describe(int descriptor, NameCall call) {
    End end;
    sockaddr_in address{};
    socklen_t length = kAddressLength;
    if (call(descriptor, reinterpret_cast<sockaddr *>(&address), &length) < 0) return end;
    if (address.sin_family != AF_INET) return end;
    end.host = inet_ntoa(address.sin_addr);
    end.port = ntohs(address.sin_port);
    return end;
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

// select on one descriptor for a slice: >0 ready, 0 not yet, -1 failed.
int select_slice(int descriptor, WaitFor what) {
    timeval slice{0, kWaitSliceMicroseconds};
    if (what == WaitFor::kData) return wait_readable(descriptor, &slice);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(descriptor, &writable);
    return select(descriptor + 1, nullptr, &writable, nullptr, &slice);
}

// A non-blocking connect has finished: its outcome.
int connect_outcome(EngineContext *context, int descriptor) {
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &pending, &length) < 0)
        return record_error(context, ERR_NET_SYSCALL, "getsockopt");
    if (pending != 0) return record_error_code(context, ERR_NET_SYSCALL, pending, "connect");
    return 0;
}

int connect_socket(EngineContext *context, int descriptor, const char *host, uint16_t port) {
    sockaddr_in remote;
    if (resolve(context, host, port, &remote) < 0) return -1;
    events_of(context).connecting(Peers{"localhost", 0, host, port});
    if (set_nonblocking(descriptor, 1) < 0) return -1;
    if (connect(descriptor, reinterpret_cast<sockaddr *>(&remote), kAddressLength) < 0) {
        if (errno != EINPROGRESS) return record_error(context, ERR_NET_SYSCALL, "connect");
        // Out of slices: the caller counts this as a failed try; nothing to report.
        const WaitEnd end = wait_sliced(context, descriptor, WaitFor::kConnect, &Events::spin_io);
        if (end != WaitEnd::kReady || connect_outcome(context, descriptor) < 0) return -1;
    }
    return set_nonblocking(descriptor, 0) < 0 ? -1 : 0;
}

int open_socket(EngineContext *context, Connection &connection) {
    connection = socket(AF_INET, SOCK_STREAM, 0);
    if (connection >= 0) return 0;
    connection = -1;
    return record_error(context, ERR_NET_SYSCALL, "socket");
}

}  // namespace

int32_t wait_slice_count(int32_t timeout) {
    if (timeout <= 0) return kSlicesPerSecond;
    if (timeout > INT32_MAX / kSlicesPerSecond) return INT32_MAX;
    return timeout * kSlicesPerSecond;
}

WaitEnd wait_sliced(EngineContext *context, int descriptor, WaitFor what, Spinner spinner) {
    if (descriptor >= FD_SETSIZE) errno = EINVAL;
    if (descriptor < 0) errno = EBADF;
    if (descriptor < 0 || descriptor >= FD_SETSIZE) {
        record_error(context, ERR_NET_SYSCALL, "select");
        return WaitEnd::kFailed;
    }
    const int32_t count = wait_slice_count(context->timeout);
    for (int32_t index = 0; index < count;) {
        const int ready = select_slice(descriptor, what);
        if (ready < 0) {
            record_error(context, ERR_NET_SYSCALL, "select");
            return WaitEnd::kFailed;
        }
        if (ready > 0) return WaitEnd::kReady;
        if ((events_of(context).*spinner)(index, count) == Answer::kStop) {
            record_error_code(context, ERR_UPDATE, UPD_USER_BREAK, "callback");
            return WaitEnd::kFailed;
        }
        if (context->timeout > 0) index++;
    }
    return WaitEnd::kExpired;
}

int connection_open(EngineContext *context, Connection &connection, const char *host,
                    uint16_t port) {
    if (context == nullptr || host == nullptr) return -1;
    if (open_socket(context, connection) < 0) return -1;
    if (connect_socket(context, connection, host, port) < 0) {
        connection_close(context, connection, false);
        return -1;
    }
    return 0;
}

int connection_listen(EngineContext *context, Connection &connection, sockaddr_in &address) {
    if (context == nullptr) return -1;
    if (open_socket(context, connection) < 0) return -1;
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    socklen_t length = kAddressLength;
    int result = 0;
    if (bind(connection, raw, kAddressLength) < 0)
        result = record_error(context, ERR_NET_SYSCALL, "bind");
    else if (getsockname(connection, raw, &length) < 0)
        result = -1;
    else if (listen(connection, kListenBacklog) < 0)
        result = record_error(context, ERR_NET_SYSCALL, "listen");
    if (result < 0) connection_close(context, connection, false);
    return result;
}

int connection_close(EngineContext *context, Connection &connection, bool report) {
    if (connection < 0) return -1;
    if (report) {
        const End local = describe(connection, getsockname);
        const End remote = describe(connection, getpeername);
        events_of(context).connection_closed(
            Peers{local.text(), local.port, remote.text(), remote.port});
    }
    close(connection);
    connection = -1;
    return 0;
}

int connection_accept(EngineContext *context, Connection &connection, in_addr_t expected) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = kAddressLength;
        int accepted = accept(connection, reinterpret_cast<sockaddr *>(&peer), &length);
        if (accepted < 0) return record_error(context, ERR_NET_SYSCALL, "accept");
        // Anybody may connect to an open data port; only the server we
        // talk to is allowed to deliver the data.
        if (peer.sin_family != AF_INET || peer.sin_addr.s_addr != expected) {
            close(accepted);
            continue;
        }
        const std::string peer_host = inet_ntoa(peer.sin_addr);
        const End local = describe(accepted, getsockname);
        events_of(context).connecting(
            Peers{peer_host.c_str(), ntohs(peer.sin_port), local.text(), local.port});
        connection_close(context, connection, false);
        connection = accepted;
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
