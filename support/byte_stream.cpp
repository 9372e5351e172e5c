// The plain socket's stream: the socket readers, a top-up that keeps its
// failure for the next read, and a send that cannot raise SIGPIPE.
#include "support/byte_stream.h"

#include <sys/socket.h>

#include <cerrno>

#include "core/error.h"
#include "support/data_io.h"

Receipt SocketStream::receive(Io &io, Connection socket, char *buffer, int length) {
    if (held_ != 0) {
        record_error_code(io, ERR_NET_SYSCALL, held_, "recv");
        held_ = 0;
        return {ReceiveEnd::kFailed};
    }
    return socket_receive(io, socket, buffer, length);
}

int SocketStream::receive_now(Connection socket, char *buffer, int length) {
    if (held_ != 0) return 0;
    ssize_t more;
    do {
        more = recv(socket, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    } while (more < 0 && errno == EINTR);
    // Nothing yet, or the end, shows again at the next read; a failure has
    // to be kept for it, since the receive that saw it cleared it.
    if (more < 0 && errno != EAGAIN && errno != EWOULDBLOCK) held_ = errno;
    return more > 0 ? static_cast<int>(more) : 0;
}

ssize_t SocketStream::send(Io &io, Connection socket, const char *data, size_t size) {
    // No SIGPIPE: a peer that vanished since the idle test must fail this
    // send, not end the process.
    ssize_t sent;
    do {
        sent = ::send(socket, data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return record_error(io, ERR_NET_SYSCALL, "send");
    return sent;
}

bool SocketStream::quiet(Connection socket) {
    return held_ == 0 && connection_idle(socket) == 1;
}
