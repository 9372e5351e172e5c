// The bytes a protocol client received ahead of what it has read.
#include "support/received.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/error.h"
#include "support/tls.h"

namespace {

// Reports the receive failure met while topping up a block.
int report_held_error(EngineContext *context, Received *received) {
    errno = received->error;
    received->error = 0;
    return record_error(context, ERR_NET_SYSCALL, "recv");
}

// Moves up to `length` waiting bytes to `to`; the count moved.
int take(Received *received, char *to, int length) {
    if (length <= 0) return 0;
    const uint32_t count = std::min(received->end - received->start, static_cast<uint32_t>(length));
    memcpy(to, received->bytes + received->start, count);
    received->start += count;
    return static_cast<int>(count);
}

}  // namespace

void received_clear(Received *received) {
    received->start = 0;
    received->end = 0;
    received->error = 0;
    received->peer_closes = false;
    received->tls = nullptr;
}

int received_close(EngineContext *context, Connection &connection, Received &received,
                   bool report) {
    if (received.tls != nullptr) received.tls->close();
    received.tls = nullptr;
    return connection_close(context, connection, report);
}

int received_read(EngineContext *context, int descriptor, Received *ahead, Reader reader,
                  char *buffer, int length) {
    if (ahead == nullptr) return reader(context, descriptor, buffer, length);
    if (ahead->error != 0) return report_held_error(context, ahead);
    if (ahead->tls != nullptr) {
        if (received_empty(*ahead)) {
            const int count = ahead->tls->receive(context, buffer, length);
            return count < 0 ? -1 : count;
        }
        const int count = take(ahead, buffer, length);
        return count + ahead->tls->receive_now(buffer + count, length - count);
    }
    if (received_empty(*ahead)) return reader(context, descriptor, buffer, length);
    int count = take(ahead, buffer, length);
    if (count == length) return count;
    ssize_t more;
    do {
        more = recv(descriptor, buffer + count, static_cast<size_t>(length - count), MSG_DONTWAIT);
    } while (more < 0 && errno == EINTR);
    // Nothing yet, or the end, shows again at the next read; a failure has
    // to be kept for it, since the receive that saw it cleared it.
    if (more > 0) count += static_cast<int>(more);
    if (more < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ahead->error = errno;
    return count;
}

int received_refill(EngineContext *context, Connection connection, Received *received) {
    if (received->error != 0) return report_held_error(context, received);
    received->start = 0;
    received->end = 0;
    const int count =
        received->tls != nullptr
            ? received->tls->receive(context, received->bytes, static_cast<int>(kReceivedSize))
            : socket_receive(context, connection, received->bytes, kReceivedSize);
    if (count > 0) received->end = static_cast<uint32_t>(count);
    return count;
}

bool connection_quiet(Connection connection, const Received &received) {
    if (!received_empty(received) || received.error != 0 || received.peer_closes) return false;
    return received.tls != nullptr ? received.tls->quiet() : connection_idle(connection) == 1;
}
