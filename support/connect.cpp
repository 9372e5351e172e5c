// TCP connections of the protocol clients: sliced connect, listening mode,
// filtered accept, idle test and close with an optional report.
#include "support/connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "core/error.h"

namespace {

using NameCall = int (*)(int, sockaddr *, socklen_t *);

// One end of a socket: numeric address text (empty when neither family)
// and port.
struct End {
    std::string host;
    uint16_t port = 0;
    const char *text() const { return host.empty() ? nullptr : host.c_str(); }
};

End end_of(const sockaddr_storage &address) {
    End end;
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto &inet = reinterpret_cast<const sockaddr_in &>(address);
        if (inet_ntop(AF_INET, &inet.sin_addr, text, sizeof(text)) == nullptr) return end;
        end.port = ntohs(inet.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto &inet6 = reinterpret_cast<const sockaddr_in6 &>(address);
        if (inet_ntop(AF_INET6, &inet6.sin6_addr, text, sizeof(text)) == nullptr) return end;
        end.port = ntohs(inet6.sin6_port);
    } else {
        return end;
    }
    end.host = text;
    return end;
}

End describe(int descriptor, NameCall call) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (call(descriptor, reinterpret_cast<sockaddr *>(&address), &length) < 0) return End{};
    return end_of(address);
}

socklen_t address_length(const sockaddr_storage &address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

struct FreeAddresses {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};
using Addresses = std::unique_ptr<addrinfo, FreeAddresses>;

// Every address of the name or literal, in the resolver's order.
int resolve(Io &io, const char *host, uint16_t port, Addresses &addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    addrinfo *list = nullptr;
    const int failure = getaddrinfo(host, service.c_str(), &hints, &list);
    addresses.reset(list);
    if (failure != 0 || list == nullptr)
        return record_error_code(io, ERR_RESOLVE, failure != 0 ? failure : EAI_NONAME, nullptr);
    return 0;
}

// What select would find one descriptor to be, with no limit on the
// descriptor's number (a caller may leave a thousand open): an error or a
// hang-up is readable, an error writable, urgent data exceptional. Unlike
// select, a hang-up also counts as writable: poll reports it whether asked
// or not, and a wait that passed over it would spin through its slices.
constexpr short kReadable = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
constexpr short kWritable = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR | POLLHUP;
constexpr short kExceptional = POLLPRI;

// Waits up to `timeout` (null: no limit) for one descriptor: the events
// that came, 0 when none did, -1 on failure. Errors are reported as the
// select call's, whose texts they keep.
int wait_one(int descriptor, short events, const timeval *timeout) {
    if (descriptor < 0) {
        errno = EBADF;
        return -1;
    }
    pollfd watched{descriptor, events, 0};
    timespec limit{};
    if (timeout != nullptr) limit = {timeout->tv_sec, timeout->tv_usec * 1000};
    const int ready = ppoll(&watched, 1, timeout != nullptr ? &limit : nullptr, nullptr);
    if (ready <= 0) return ready;
    if ((watched.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
    }
    return watched.revents;
}

// Waits on one descriptor for a slice: >0 ready, 0 not yet, -1 failed.
int wait_slice(int descriptor, WaitFor what) {
    timeval slice{0, kWaitSliceMicroseconds};
    if (what == WaitFor::kData) return wait_readable(descriptor, &slice);
    const int came = wait_one(descriptor, POLLOUT, &slice);
    return came <= 0 ? came : (came & kWritable) != 0 ? 1 : 0;
}

// How the connect to one address ended. A failure is kept unrecorded
// (call and number) until it is known that no further address follows.
enum class Try { kConnected, kFailed, kQuiet, kRecorded };
struct Failure {
    const char *call = nullptr;
    int code = 0;
};

Try failed(Failure &failure, const char *call, int code) {
    failure = Failure{call, code};
    return Try::kFailed;
}

// A non-blocking connect has finished: its outcome.
Try connect_outcome(int descriptor, Failure &failure) {
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &pending, &length) < 0)
        return failed(failure, "getsockopt", errno);
    if (pending != 0) return failed(failure, "connect", pending);
    return Try::kConnected;
}

Try connect_address(Io &io, Connection &connection, const addrinfo &address, Failure &failure) {
    connection = socket(address.ai_family, SOCK_STREAM, 0);
    if (connection < 0) return failed(failure, "socket", errno);
    if (set_nonblocking(connection, 1) < 0) return Try::kQuiet;
    if (connect(connection, address.ai_addr, address.ai_addrlen) < 0) {
        if (errno != EINPROGRESS) return failed(failure, "connect", errno);
        // Out of slices: the caller counts this as a failed try; nothing to report.
        const WaitEnd end = wait_sliced(io, connection, WaitFor::kConnect);
        if (end == WaitEnd::kFailed) return Try::kRecorded;
        if (end == WaitEnd::kExpired) return Try::kQuiet;
        const Try outcome = connect_outcome(connection, failure);
        if (outcome != Try::kConnected) return outcome;
    }
    return set_nonblocking(connection, 0) < 0 ? Try::kQuiet : Try::kConnected;
}

// A slice of a wait ran out: the spinner turns, and a stop set by now
// breaks the wait off (true, recorded as the user's break).
bool slice_ended(Io &io, int32_t index, int32_t count) {
    events_of(io).spin(index, count);
    if (io.stop == nullptr || !io.stop->load()) return false;
    record_error_code(io, ERR_UPDATE, UPD_USER_BREAK, "callback");
    return true;
}

int open_socket(Io &io, Connection &connection, int family) {
    connection = socket(family, SOCK_STREAM, 0);
    if (connection >= 0) return 0;
    connection = -1;
    return record_error(io, ERR_NET_SYSCALL, "socket");
}

}  // namespace

std::string bracket_host(std::string_view host) {
    if (host.find(':') == std::string_view::npos) return std::string(host);
    return "[" + std::string(host) + "]";
}

int32_t wait_slice_count(int32_t timeout) {
    if (timeout <= 0) return kSlicesPerSecond;
    if (timeout > INT32_MAX / kSlicesPerSecond) return INT32_MAX;
    return timeout * kSlicesPerSecond;
}

// A descriptor that cannot be waited on fails the first slice's wait.
WaitEnd wait_sliced(Io &io, int descriptor, WaitFor what) {
    const int32_t count = wait_slice_count(io.timeout);
    for (int32_t index = 0; index < count;) {
        const int ready = wait_slice(descriptor, what);
        if (ready < 0) {
            record_error(io, ERR_NET_SYSCALL, "select");
            return WaitEnd::kFailed;
        }
        if (ready > 0) return WaitEnd::kReady;
        if (slice_ended(io, index, count)) return WaitEnd::kFailed;
        if (io.timeout > 0) index++;
    }
    return WaitEnd::kExpired;
}

WaitEnd pause_sliced(Io &io, int32_t seconds) {
    // Each slice ends at its place on the monotonic clock, so the slices
    // do not add up to more than the pause.
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    const int32_t count = seconds > 0 ? wait_slice_count(seconds) : 0;
    for (int32_t index = 0; index < count; index++) {
        end.tv_nsec += kWaitSliceMicroseconds * 1000L;
        if (end.tv_nsec >= 1000000000L) {
            end.tv_sec++;
            end.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
        }
        if (slice_ended(io, index, count)) return WaitEnd::kFailed;
    }
    return WaitEnd::kExpired;
}

int connection_open(Io &io, Connection &connection, const char *host, uint16_t port) {
    if (host == nullptr) return -1;
    Addresses addresses;
    if (resolve(io, host, port, addresses) < 0) return -1;
    events_of(io).connecting(Peers{"localhost", 0, host, port});
    // Only the last address's failure is told: an earlier one that fails
    // (a family this host cannot reach, say) just hands over to the next.
    for (const addrinfo *address = addresses.get(); address != nullptr;
         address = address->ai_next) {
        Failure failure;
        const Try outcome = connect_address(io, connection, *address, failure);
        if (outcome == Try::kConnected) {
            // Every request and command goes out whole in one send, so
            // Nagle's wait could only hold back one sent behind another.
            const int on = 1;
            (void)setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            return 0;
        }
        if (connection >= 0) connection_close(io, connection, false);
        connection = -1;
        if (outcome == Try::kRecorded) return -1;
        if (address->ai_next == nullptr && outcome == Try::kFailed)
            record_error_code(io, ERR_NET_SYSCALL, failure.code, failure.call);
    }
    return -1;
}

int connection_listen(Io &io, Connection &connection, sockaddr_storage &address) {
    if (open_socket(io, connection, address.ss_family) < 0) return -1;
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    socklen_t length = sizeof(address);
    int result = 0;
    if (bind(connection, raw, address_length(address)) < 0)
        result = record_error(io, ERR_NET_SYSCALL, "bind");
    else if (getsockname(connection, raw, &length) < 0)
        result = -1;
    else if (listen(connection, kListenBacklog) < 0)
        result = record_error(io, ERR_NET_SYSCALL, "listen");
    if (result < 0) connection_close(io, connection, false);
    return result;
}

int connection_close(const Io &io, Connection &connection, bool report) {
    if (connection < 0) return -1;
    if (report) {
        const End local = describe(connection, getsockname);
        const End remote = describe(connection, getpeername);
        events_of(io).connection_closed(
            Peers{local.text(), local.port, remote.text(), remote.port});
    }
    close(connection);
    connection = -1;
    return 0;
}

int connection_accept(Io &io, Connection &connection, const sockaddr_storage &expected) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof(peer);
        int accepted = accept(connection, reinterpret_cast<sockaddr *>(&peer), &length);
        if (accepted < 0) return record_error(io, ERR_NET_SYSCALL, "accept");
        // Anybody may connect to an open data port; only the server we
        // talk to is allowed to deliver the data.
        if (!same_host(peer, expected)) {
            close(accepted);
            continue;
        }
        const End remote = end_of(peer);
        const End local = describe(accepted, getsockname);
        events_of(io).connecting(Peers{remote.text(), remote.port, local.text(), local.port});
        connection_close(io, connection, false);
        connection = accepted;
        return 0;
    }
}

bool same_host(const sockaddr_storage &one, const sockaddr_storage &other) {
    if (one.ss_family != other.ss_family) return false;
    if (one.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(one).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in &>(other).sin_addr.s_addr;
    if (one.ss_family != AF_INET6) return false;
    const in6_addr &left = reinterpret_cast<const sockaddr_in6 &>(one).sin6_addr;
    const in6_addr &right = reinterpret_cast<const sockaddr_in6 &>(other).sin6_addr;
    return memcmp(&left, &right, sizeof(left)) == 0;
}

int connection_idle(int descriptor) {
    timeval instant{0, 1};
    return wait_readable(descriptor, &instant) == 0 ? 1 : 0;
}

int wait_readable(int descriptor, timeval *timeout) {
    const int came = wait_one(descriptor, POLLIN | POLLPRI, timeout);
    if (came <= 0) return came;
    if ((came & kExceptional) != 0) return -1;
    return (came & kReadable) != 0 ? 1 : 0;
}

int set_nonblocking(int descriptor, int on) {
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(descriptor, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}
