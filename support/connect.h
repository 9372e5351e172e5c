// TCP connections (IPv4) of the protocol clients: open with a sliced
// time-out, listen and accept the expected peer, test, and close.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdint>

#include "core/error.h"

struct EngineContext;

// A socket descriptor held in a client record; -1 when closed.
using Connection = int32_t;

// One sixteenth of a second: network waits are cut into slices of this
// length so that a spinner event can be raised after each.
constexpr int32_t kWaitSliceMicroseconds = 62500;
constexpr int32_t kSlicesPerSecond = 16;
constexpr int kListenBacklog = 128;

// Slices of a wait for the given time-out in seconds; a time-out of 0 (or
// less) still reports slices of 16 but never runs out.
int32_t wait_slice_count(int32_t timeout);

// Connects to host:port (dotted address or name) in blocking mode when
// done; with listen, first binds to *address and writes back the address
// actually bound. With listen and no host, leaves a listening socket.
int connection_open(EngineContext *context, Connection *connection, const char *host, uint16_t port,
                    int listen, sockaddr_in *address);
int connection_close(EngineContext *context, Connection *connection, int report);
// Accepts on the listening socket only a peer whose address is expected
// (network byte order); others are closed and the wait goes on.
int connection_accept(EngineContext *context, Connection *connection, in_addr_t expected);
int connection_idle(int descriptor);
int wait_readable(int descriptor, timeval *timeout);
int set_nonblocking(int descriptor, int on);
