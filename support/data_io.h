// Data waits sliced for the spinner, and the readers and writers that a
// temporary copy moves data with.
#pragma once

#include "core/io.h"
#include "support/connect.h"

// Readers return the count read (0 at the end of the data) or -1; writers
// the count written or -1. Both report their own failures.
using Reader = int (*)(Io &io, int descriptor, char *buffer, int length);

// 1 when data (or the end) is there, 0 when the time-out ran out, -1 on
// failure; raises the spinner after every slice of the wait.
// A TLS session that must send before it can read waits for room
// (WaitFor::kConnect: writable) the same way.
int wait_for_data(Io &io, int descriptor, WaitFor what = WaitFor::kData);

// socket_receive's outcomes that brought no bytes.
constexpr int kReceiveEnded = 0;    // the peer closed
constexpr int kReceiveFailed = -1;  // recv failed, recorded
constexpr int kWaitFailed = -2;     // the wait failed, recorded
constexpr int kWaitExpired = -3;    // the wait ran out (timeout event raised)

// Receives what the socket holds, waiting only when a read would block:
// the count, or one of the outcomes above.
int socket_receive(Io &io, int descriptor, char *buffer, int length);
// socket_receive for the copy loop: every failure is -1.
int socket_read(Io &io, int descriptor, char *buffer, int length);
int file_read(Io &io, int descriptor, char *buffer, int length);
int file_write(Io &io, int descriptor, const char *buffer, int length);
