// The bytes a protocol client received ahead of what it has read.
#include "support/received.h"

#include <algorithm>
#include <cstring>

namespace {

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
    received->peer_closes = false;
    received->plain = SocketStream{};
    received->stream = &received->plain;
}

int received_close(const Io &io, Connection &connection, Received &received, bool report) {
    received.stream->close();
    received.stream = &received.plain;
    return connection_close(io, connection, report);
}

int received_read(Io &io, int descriptor, Received *ahead, Reader reader, char *buffer,
                  int length) {
    if (ahead == nullptr) return reader(io, descriptor, buffer, length);
    if (received_empty(*ahead)) {
        return receipt_count(ahead->stream->receive(io, descriptor, buffer, length));
    }
    const int count = take(ahead, buffer, length);
    if (count == length) return count;
    return count + ahead->stream->receive_now(descriptor, buffer + count, length - count);
}

Receipt received_refill(Io &io, Connection connection, Received *received) {
    received->start = 0;
    received->end = 0;
    const Receipt got =
        received->stream->receive(io, connection, received->bytes, static_cast<int>(kReceivedSize));
    if (got.end == ReceiveEnd::kData) received->end = static_cast<uint32_t>(got.count);
    return got;
}

bool connection_quiet(Connection connection, const Received &received) {
    if (!received_empty(received) || received.peer_closes) return false;
    return received.stream->quiet(connection);
}

ssize_t connection_send(Io &io, Connection connection, Received &received, const char *data,
                        size_t size) {
    return received.stream->send(io, connection, data, size);
}
