// The way bytes move on a protocol client's connection: straight through
// its socket, or through a layer on it (a TLS session). The clients read and
// write through this and never ask which.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "core/io.h"
#include "support/connect.h"
#include "support/data_io.h"

// Every call gets the connection's socket, which stays the client's (a
// layer that holds its own ignores it); one call moves a block, never a
// byte at a time.
class ByteStream {
   public:
    // Receives what is there, waiting only when nothing is.
    virtual Receipt receive(Io &io, Connection socket, char *buffer, int length) = 0;
    // Up to `length` bytes that are there now, without waiting; a failure
    // is kept for the next receive.
    virtual int receive_now(Connection socket, char *buffer, int length) = 0;
    // The count sent (a layer sends all of it), or -1 after reporting.
    virtual ssize_t send(Io &io, Connection socket, const char *data, size_t size) = 0;
    // Whether nothing arrived unasked, not even the end.
    virtual bool quiet(Connection socket) = 0;
    // Ends what the stream holds on the connection; the socket is the
    // caller's to close.
    virtual void close() = 0;
    virtual ~ByteStream() = default;
};

// The bytes of the socket itself.
class SocketStream final : public ByteStream {
   public:
    Receipt receive(Io &io, Connection socket, char *buffer, int length) override;
    int receive_now(Connection socket, char *buffer, int length) override;
    ssize_t send(Io &io, Connection socket, const char *data, size_t size) override;
    bool quiet(Connection socket) override;
    void close() override {}
    // No failure is held for the next receive.
    bool clean() const { return held_ == 0; }

   private:
    int held_ = 0;  // errno of a failed receive_now, for the next receive
};
