// The fetcher's channel on a socket pair: gathered writes, sliced silent
// reads, frames checked before anything acts on them.
#include "transfer/channel_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/clock.h"
#include "core/error.h"
#include "core/events.h"
#include "support/data_io.h"

namespace {

constexpr int kSliceMilliseconds = 1000 / kSlicesPerSecond;
constexpr int64_t kAnswerSoonMicroseconds = 100;
// Gathered messages go out once they reach this much, bodies included.
constexpr size_t kGatherLimit = size_t{1} << 17;
// Held words go out at this count even while the other side's messages
// keep coming: it runs at most kRunAheadLimit files ahead, so this leaves
// it half of them to fill while it reads the words.
constexpr uint32_t kHeldLimit = kRunAheadLimit / 2;
// The frame of a notice of piped bytes: header and length.
constexpr size_t kPipedNotice = kFrameHeader + 4;

// A read that waited a slice in vain: false when the run was stopped
// meanwhile (recorded as the user's break).
bool may_wait_on(Io &io) {
    if (io.stop == nullptr || !io.stop->load()) return true;
    record_error_code(io, ERR_UPDATE, UPD_USER_BREAK, "callback");
    return false;
}

}  // namespace

// The channel's reads block for a slice at most (see ChannelPort), so that
// a wait costs one call rather than a poll between two.
Receipt ChannelStream::receive(Io &io, Connection socket, char *buffer, int length) {
    // The other side usually answers within microseconds: asking again for
    // that long costs less than being put to sleep and woken. It asks by
    // poll, which takes no lock of the socket's: a receive would contend
    // with the sender's for the lock its send needs.
    const int64_t soon = monotonic_microseconds() + (eager_ ? kAnswerSoonMicroseconds : 0);
    while (eager_) {
        pollfd ready{socket, POLLIN, 0};
        if (poll(&ready, 1, 0) != 0 || monotonic_microseconds() >= soon) break;
    }
    for (;;) {
        const ssize_t count = recv(socket, buffer, static_cast<size_t>(length), 0);
        if (count >= 0) return receipt_of(static_cast<int>(count));
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            record_error(io, ERR_NET_SYSCALL, "recv");
            return {ReceiveEnd::kFailed};
        }
        if (!may_wait_on(io)) return {ReceiveEnd::kWaitFailed};
    }
}

int ChannelStream::receive_now(Connection socket, char *buffer, int length) {
    const ssize_t count = recv(socket, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    return count > 0 ? static_cast<int>(count) : 0;
}

ssize_t ChannelStream::send(Io &io, Connection socket, const char *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t count = ::send(socket, data + done, size - done, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return record_error(io, ERR_NET_SYSCALL, "send");
        done += static_cast<size_t>(count);
    }
    return static_cast<ssize_t>(done);
}

int channel_read(Io &io, int descriptor, char *buffer, int length) {
    ChannelStream stream;
    return receipt_count(stream.receive(io, descriptor, buffer, length));
}

int piped_read(Io &io, int descriptor, char *buffer, int length) {
    if (descriptor < 0) return 0;  // no pipe: nothing can be in it
    ssize_t count;
    do {
        count = read(descriptor, buffer, static_cast<size_t>(length));
    } while (count < 0 && errno == EINTR);
    if (count >= 0) return static_cast<int>(count);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return record_error(io, ERR_FILE_SYSCALL, "read");
}

ChannelPort::ChannelPort(int fd, bool eager) : fd_(fd), stream_(eager) {
    in_.stream = &stream_;
    const timeval slice{0, kSliceMilliseconds * 1000};
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
}

void ChannelPort::send(const Message &message) {
    pressing_ = true;
    gather(message);
}

void ChannelPort::send_held(const Message &message) {
    held_++;
    gather(message);
}

void ChannelPort::send_body(const char *data, uint32_t length) {
    pressing_ = true;
    gather(tell::Body{length}, std::string_view(data, length));
}

void ChannelPort::gather(const Message &message, std::string_view bytes) {
    notice_at_ = std::string::npos;
    streaming_ = false;
    channel_encode(out_, message);
    out_.append(bytes);
    if (out_.size() >= kGatherLimit) flush();
}

int ChannelPort::splice_body(Io &io, int from, uint32_t length) {
    // As a receive of the socket: the event of data found at once, or the
    // sliced wait with its own events and time-out. The updater waits as
    // long, so what it was told goes out first.
    pollfd ready{from, POLLIN, 0};
    if (poll(&ready, 1, 0) == 1) {
        events_of(io).data_ready();
    } else {
        flush();
        if (wait_for_data(io, from) != WaitEnd::kReady) return -1;
    }
    for (;;) {
        const ssize_t moved =
            splice(from, nullptr, pipe_.fd, nullptr, length, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (moved > 0) {
            announce_piped(static_cast<uint32_t>(moved));
            return static_cast<int>(moved);
        }
        if (moved == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return record_error(io, ERR_NET_SYSCALL, "recv");
        // The pipe is full: the updater empties it as it reads the notices,
        // all of which it must have for that.
        if (!flush()) return record_error_code(io, ERR_NET_SYSCALL, EPIPE, "recv");
        pollfd room{pipe_.fd, POLLOUT, 0};
        (void)poll(&room, 1, -1);
    }
}

// Notices are gathered like any message, and one that follows another
// adds to it, so that the updater reads the pipe in blocks however the
// kernel cut the bytes, and wakes once for several.
void ChannelPort::announce_piped(uint32_t count) {
    if (notice_at_ != std::string::npos && notice_ <= kPipedLimit - count) {
        notice_ += count;
        out_.resize(notice_at_);
    } else {
        notice_ = count;
    }
    notice_at_ = out_.size();
    channel_encode(out_, tell::Piped{notice_});
    streaming_ = true;
    pressing_ = true;
    unflushed_ += count;
    if (unflushed_ >= kPipedLimit / 16) flush();
}

void ChannelPort::note_ready() {
    // While a body streams into the pipe its notices tell that data was
    // ready, and nothing comes between them.
    if (!streaming_) send(tell::DataReady{});
}

uint32_t ChannelPort::more_piped(uint32_t room) {
    uint32_t more = 0;
    while (in_.end - in_.start >= kPipedNotice) {
        const Decoded next = channel_decode(std::string_view(in_.bytes + in_.start, kPipedNotice));
        const auto *notice = next.end == DecodeEnd::kMessage && next.used == kPipedNotice
                                 ? std::get_if<tell::Piped>(&next.message)
                                 : nullptr;
        if (notice == nullptr || notice->length > room - more) break;
        more += notice->length;
        in_.start += kPipedNotice;
    }
    return more;
}

bool ChannelPort::input_pending() {
    if (!received_empty(in_)) return true;
    // Asked by poll, which takes no lock of the socket's (a receive would
    // contend with the other side's send); the other side's end counts too:
    // it is news to read before anything else is done.
    pollfd ready{fd_.fd, POLLIN, 0};
    return poll(&ready, 1, 0) == 1;
}

bool ChannelPort::flush_if_late() {
    if (out_.empty() || monotonic_microseconds() - flushed_ < kSliceMilliseconds * 1000)
        return true;
    return flush();
}

bool ChannelPort::flush() {
    flushed_ = monotonic_microseconds();
    unflushed_ = 0;
    held_ = 0;
    pressing_ = false;
    notice_at_ = std::string::npos;
    if (out_.empty()) return true;
    if (fd_.fd < 0) return false;
    Io quiet;
    const bool sent = stream_.send(quiet, fd_.fd, out_.data(), out_.size()) >= 0;
    out_.clear();
    if (!sent && why_.empty()) why_ = "the channel is closed";
    return sent;
}

// A block at a time into the input, so that a small frame costs no read
// of its own.
bool ChannelPort::read_exact(Io &io, char *to, uint32_t count) {
    for (uint32_t done = 0; done < count;) {
        if (received_empty(in_)) {
            // Held words go out before a receive that might wait for the
            // other side, which may be waiting for them.
            if (out_.empty() || !refill_now()) {
                if (!flush()) return false;
                const Receipt got = received_refill(io, fd_.fd, &in_);
                if (got.end != ReceiveEnd::kData) {
                    if (why_.empty())
                        why_ = got.end == ReceiveEnd::kClosed ? "it ended" : "its channel failed";
                    return false;
                }
            }
        }
        const uint32_t take = std::min(in_.end - in_.start, count - done);
        memcpy(to + done, in_.bytes + in_.start, take);
        in_.start += take;
        done += take;
    }
    return true;
}

bool ChannelPort::refill_now() {
    in_.start = 0;
    in_.end = static_cast<uint32_t>(
        std::max(0, in_.stream->receive_now(fd_.fd, in_.bytes, static_cast<int>(kReceivedSize))));
    return in_.end > 0;
}

std::optional<Message> ChannelPort::next(Io &io) {
    if ((pressing_ || held_ >= kHeldLimit) && !flush()) return std::nullopt;
    frame_.resize(kFrameHeader);
    if (!read_exact(io, frame_.data(), kFrameHeader)) return std::nullopt;
    const int64_t length = channel_frame_length(frame_);
    const bool body = static_cast<uint8_t>(frame_[4]) == tell::Body::kType;
    // The header alone can tell a frame too long to gather.
    if (length < 1 || (!body && length - 1 > int64_t{kFrameLimit})) {
        why_ = "a frame over the length limit";
        return std::nullopt;
    }
    const uint32_t rest = body ? 4 : static_cast<uint32_t>(length - 1);
    frame_.resize(kFrameHeader + rest);
    if (!read_exact(io, frame_.data() + kFrameHeader, rest)) return std::nullopt;
    Decoded decoded = channel_decode(frame_);
    if (decoded.end != DecodeEnd::kMessage) {
        why_ = decoded.end == DecodeEnd::kRefused ? decoded.why : "a frame cut short";
        return std::nullopt;
    }
    return std::move(decoded.message);
}
