// One end of the fetcher's channel: messages are gathered and written in
// one go when the writer must wait for the other side, and read back a
// frame at a time, a body's bytes straight into the reader's copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
    // Gathers a message the other side acts on only once it has caught
    // up with this one (a word on the files it runs ahead): it goes out
    // with the next message that is not of that kind, before this side
    // waits for the other, or once kHeldLimit of them are gathered. The
    // other side then wakes once for several.
    void send_held(const Message &message);
    // A body frame with its bytes (at most kBodyChunkLimit).
    void send_body(const char *data, uint32_t length);
    // The pipe beside the channel (owned): its write end in the fetcher,
    // its read end, non-blocking, in the updater.
    void set_pipe(int fd) { pipe_.reset(fd); }
    int pipe() const { return pipe_.fd; }
    // The fetcher's receive of up to `length` (at most kPipedLimit)
    // bytes of a body from a plain connection, moved by the kernel into
    // the pipe and announced: waits for the socket as its own receive
    // does; the count (0 at the peer's end), or -1 after a failure or a
    // wait that ended without data.
    int splice_body(Io &io, int from, uint32_t length);
    // Writes what was gathered: false when the other side is gone.
    bool flush();
    // Flushes when the last flush is a wait's slice ago or more.
    bool flush_if_late();
    // Whether the other side has sent something not read yet, or closed its
    // end.
    bool input_pending();
    // The next message, after flushing what was gathered; absent when the
    // channel ended or brought a frame that is refused (why()). A body's
    // bytes are left for the caller to take through input().
    std::optional<Message> next(Io &io);
    Received &input() { return in_; }
    int fd() const { return fd_.fd; }
    const std::string &why() const { return why_; }

    // The fetcher's event of data ready, which the notices of a body
    // streaming into the pipe already tell.
    void note_ready();
    // The updater's sum of the notices of piped bytes that follow at once
    // in what was received, taken while it stays within `room`: a body's
    // bytes are read from the pipe in blocks however the fetcher cut them.
    uint32_t more_piped(uint32_t room);

   private:
    // Adds a frame (and a body's bytes) to what goes out at the next flush.
    void gather(const Message &message, std::string_view bytes = {});
    void announce_piped(uint32_t count);
    bool read_exact(Io &io, char *to, uint32_t count);
    // Receives into the emptied input what has arrived, without waiting:
    // false when nothing had.
    bool refill_now();

    Descriptor fd_;
    Descriptor pipe_;
    std::string out_;
    std::string frame_;
    ChannelStream stream_;
    Received in_;
    std::string why_;
    uint32_t held_ = 0;      // messages gathered by send_held since the last flush
    bool pressing_ = false;  // a message gathered that is not held
    int64_t flushed_ = 0;    // when, in microseconds of the monotonic clock
    // The fetcher's notices of piped bytes: what the gathered ones announce,
    // where the last one starts when it is the last frame gathered, and
    // whether nothing but notices was sent since the last one.
    uint32_t unflushed_ = 0;
    size_t notice_at_ = std::string::npos;
    uint32_t notice_ = 0;
    bool streaming_ = false;
};

// Reads the channel's bytes for a copy's receive: with the port's input
// as the bytes received ahead, its stream does the reading.
int channel_read(Io &io, int descriptor, char *buffer, int length);
// Reads the pipe's bytes for a copy's receive without waiting: what the
// fetcher announced is there already, so a short read (0) means it lied.
int piped_read(Io &io, int descriptor, char *buffer, int length);
