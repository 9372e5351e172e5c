// What a protocol client received on its connection and has not taken yet.
// Replies are received a block at a time: whatever a block brings beyond
// the line or header asked for waits here for the next read of the same
// connection (the body, the next line, the next reply).
#pragma once

#include <cstdint>

#include "core/io.h"
#include "support/byte_stream.h"
#include "support/connect.h"
#include "support/data_io.h"

// A reply head of any mirror or proxy in one receive, and as often several
// small replies sent ahead, or all a small file's messages on the channel
// from the network side: each receive more is a wake-up more per file.
constexpr uint32_t kReceivedSize = 16384;

struct Received {
    Received() = default;
    // `stream` may point into the record itself.
    Received(const Received &) = delete;
    Received &operator=(const Received &) = delete;

    uint32_t start = 0;        // the first byte not taken yet
    uint32_t end = 0;          // one past the last byte received
    bool peer_closes = false;  // the peer said it closes the connection after this reply
    SocketStream plain;        // the socket's own bytes
    // Every byte of the connection goes through it: `plain`, or a layer on
    // the socket (not owned) that a client sets once the layer is open.
    ByteStream *stream = &plain;
    char bytes[kReceivedSize];
};

// Forgets what an earlier connection left: a new connection starts empty
// (and plain, until a layer is set).
void received_clear(Received *received);
// Closes the connection, first ending its stream (a TLS session's
// close_notify), and raising the closed event when `report`.
int received_close(const Io &io, Connection &connection, Received &received, bool report);
inline bool received_empty(const Received &received) {
    return received.start >= received.end;
}
// The copy loop's reader of a connection that may have bytes received
// ahead: those first, topped up with what its stream holds at once, so the
// block is as whole as a read of the stream alone would have brought it;
// the stream itself once none are left; without `ahead`, the reader. -1
// after recording a failure.
int received_read(Io &io, int descriptor, Received *ahead, Reader reader, char *buffer, int length);
// Receives the next block into the emptied buffer (see socket_receive).
Receipt received_refill(Io &io, Connection connection, Received *received);
// Whether a kept connection is fit for the next request: nothing left
// unread here, no word from the peer that it closes, and nothing (not even
// its end) arriving.
bool connection_quiet(Connection connection, const Received &received);
// Sends on the connection through its stream: the count sent, or -1 after
// reporting.
ssize_t connection_send(Io &io, Connection connection, Received &received, const char *data,
                        size_t size);
