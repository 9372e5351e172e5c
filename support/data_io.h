// Data waits sliced for the spinner, and the readers and writers that a
// temporary copy moves data with.
#pragma once

#include "core/io.h"
#include "support/connect.h"

// Readers return the count read (0 at the end of the data) or -1; writers
// the count written or -1. Both report their own failures.
using Reader = int (*)(Io &io, int descriptor, char *buffer, int length);

// wait_sliced that raises the event of its end: data (or the end) ready,
// or the time-out; raises the spinner after every slice of the wait.
// A TLS session that must send before it can read waits for room
// (WaitFor::kConnect: writable) the same way.
WaitEnd wait_for_data(Io &io, int descriptor, WaitFor what = WaitFor::kData);

// How a receive that may wait ended.
enum class ReceiveEnd {
    kData,        // `count` bytes
    kClosed,      // the peer closed
    kFailed,      // the receive failed, recorded
    kWaitFailed,  // the wait failed, recorded
    kExpired,     // the wait ran out (timeout event raised)
};

struct Receipt {
    ReceiveEnd end;
    int count = 0;  // of kData
};

// What a receive that brought `count` bytes (none: the peer's end) ended with.
inline Receipt receipt_of(int count) {
    return {count > 0 ? ReceiveEnd::kData : ReceiveEnd::kClosed, count};
}
// The count received (0 at the peer's end), or -1 for every failure.
inline int receipt_count(Receipt receipt) {
    return receipt.end == ReceiveEnd::kData || receipt.end == ReceiveEnd::kClosed ? receipt.count
                                                                                  : -1;
}

// Receives what the socket holds, waiting only when a read would block.
Receipt socket_receive(Io &io, int descriptor, char *buffer, int length);
// socket_receive for the copy loop: every failure is -1.
int socket_read(Io &io, int descriptor, char *buffer, int length);
int file_read(Io &io, int descriptor, char *buffer, int length);
int file_write(Io &io, int descriptor, const char *buffer, int length);
