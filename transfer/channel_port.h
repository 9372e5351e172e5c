// One end of the fetcher's channel: messages are gathered and written in
// one go when the writer must wait for the other side, and read back a
// frame at a time, a body's bytes straight into the reader's copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/io.h"
#include "support/byte_stream.h"
#include "support/descriptor.h"
#include "support/received.h"
#include "transfer/fetch_channel.h"

// The channel's bytes as a connection's: waits honour the stop flag and
// the watchdog but raise no event, since the updater's console shows the
// fetcher's own waits.
class ChannelStream final : public ByteStream {
   public:
    // `eager`: a read that finds nothing asks again for a while before it
    // sleeps (see channel_port.cpp).
    explicit ChannelStream(bool eager = false) : eager_(eager) {}
    Receipt receive(Io &io, Connection socket, char *buffer, int length) override;
    int receive_now(Connection socket, char *buffer, int length) override;
    ssize_t send(Io &io, Connection socket, const char *data, size_t size) override;
    bool quiet(Connection) override { return false; }
    void close() override {}

   private:
    bool eager_;
};

class ChannelPort {
   public:
    // `eager` for the side whose every wait is on its critical path.
    explicit ChannelPort(int fd, bool eager = false);
    ChannelPort(const ChannelPort &) = delete;
    ChannelPort &operator=(const ChannelPort &) = delete;

    void send(const Message &message);
    // A body frame with its bytes (at most kBodyChunkLimit).
    void send_body(const char *data, uint32_t length);
    // Writes what was gathered: false when the other side is gone.
    bool flush();
    // Flushes when the last flush is a wait's slice ago or more.
    bool flush_if_late();
    // Whether the other side has sent something not read yet.
    bool input_pending();
    // The next message, after flushing what was gathered; absent when the
    // channel ended or brought a frame that is refused (why()). A body's
    // bytes are left for the caller to take through input().
    std::optional<Message> next(Io &io);
    Received &input() { return in_; }
    int fd() const { return fd_.fd; }
    const std::string &why() const { return why_; }

   private:
    bool read_exact(Io &io, char *to, uint32_t count);

    Descriptor fd_;
    std::string out_;
    std::string frame_;
    ChannelStream stream_;
    Received in_;
    std::string why_;
    int64_t flushed_ = 0;  // when, in microseconds of the monotonic clock
};

// Reads the channel's bytes for a copy's receive: with the port's input
// as the bytes received ahead, its stream does the reading.
int channel_read(Io &io, int descriptor, char *buffer, int length);
