// TCP connections (IPv4 and IPv6) of the protocol clients: open with a
// sliced time-out, listen and accept the expected peer, test, and close; and the
// one sliced wait that connects and data reads share.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/io.h"

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

// What a sliced wait waits for, and how it ended.
enum class WaitFor { kData, kConnect };
enum class WaitEnd { kReady, kExpired, kFailed };  // kFailed: recorded

// Waits for the descriptor one slice at a time, raising the spinner after
// each, so the console can spin; a stop set by then is recorded as a user
// break.
WaitEnd wait_sliced(Io &io, int descriptor, WaitFor what);
// Waits the given seconds in the same slices, raising the spinner after
// each: kExpired when the time is over, kFailed (a user break, recorded)
// when the stop was set.
WaitEnd pause_sliced(Io &io, int32_t seconds);

// The host as a URL, a Host header or a "host:port" writes it: an IPv6
// literal (it holds a ':') in brackets, so its last group is not taken
// for the port.
std::string bracket_host(std::string_view host);

// Connects to host:port (a name, or an IPv4 or IPv6 literal without
// brackets), trying its addresses in the resolver's order, each within the
// time-out; in blocking mode when done.
int connection_open(Io &io, Connection &connection, const char *host, uint16_t port);
// Binds a listening socket of the address's family to the address and
// writes back the address bound.
int connection_listen(Io &io, Connection &connection, sockaddr_storage &address);
// Closes the connection, first raising the closed event when `report`.
int connection_close(const Io &io, Connection &connection, bool report);
// Accepts on the listening socket only a peer whose address (the port
// aside) is the expected one; others are closed and the wait goes on.
int connection_accept(Io &io, Connection &connection, const sockaddr_storage &expected);
// Whether both hold the same address of the same family; ports aside.
bool same_host(const sockaddr_storage &one, const sockaddr_storage &other);
int connection_idle(int descriptor);
int wait_readable(int descriptor, timeval *timeout);
int set_nonblocking(int descriptor, int on);
