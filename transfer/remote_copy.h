// The fetcher's two ends of the updater's things: the events of its
// sessions, sent as messages, and the updater's copy of the file under way,
// reached through the channel.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/events.h"
#include "transfer/channel_port.h"
#include "transfer/copy_target.h"
#include "transfer/fetch_channel.h"

// The events of the network side, as messages. The others are the
// updater's own and never raised here.
class ChannelEvents final : public SilentEvents {
   public:
    explicit ChannelEvents(ChannelPort &port) : port_(port) {}
    void progress(const FileEvent &file) override {
        if (file.name != nullptr) port_.send(tell::Progress{});
    }
    void transfer_done() override { port_.send(tell::TransferDone{}); }
    void error(const ErrorRecord &record) override {
        port_.send(tell::Error{record.class_, record.code,
                               record.call != nullptr ? record.call : "", record.text});
    }
    // A wait may be under way: what was gathered goes out once it is a
    // slice old, so that the console keeps up with a slow server.
    void spin(int32_t slice, int32_t slices) override {
        port_.send(tell::Spin{slice, slices});
        port_.flush_if_late();
    }
    void connecting(const Peers &peers) override {
        port_.send(tell::Connecting{wire_peers(peers)});
    }
    void sent_line(const char *line) override { port_.send(tell::SentLine{line}); }
    void received_line(const char *line) override { port_.send(tell::ReceivedLine{line}); }
    void data_ready() override { port_.note_ready(); }
    void timeout() override { port_.send(tell::Timeout{}); }
    void connection_closed(const Peers &peers) override {
        port_.send(tell::ConnectionClosed{wire_peers(peers)});
    }

   private:
    ChannelPort &port_;
};

// The updater's copy of the file under way. Its bound and what it holds
// are followed here exactly as the copy itself follows them, so that the
// sessions see what they would see in the updater; the updater checks
// every byte against its own bound again.
class RemoteCopy final : public CopyTarget {
   public:
    RemoteCopy(ChannelPort &port, Io &io) : port_(port), io_(io) {}

    // The copy of the next attempt, opened already as `offer` says.
    void offer(const FileRecord &file, const CopyState &offer) {
        limit_ = copy_bound(file.size, file.size_bound);
        offer_ = offer;
        state_ = CopyState{};
    }

    int open(FileRecord &, CopyUse use) override {
        if (offer_ && offer_->use == static_cast<uint8_t>(use)) {
            state_ = *offer_;
        } else {
            port_.send(tell::CopyOpen{static_cast<uint8_t>(use)});
            const std::optional<Message> reply = port_.next(io_);
            const auto *copy = reply ? std::get_if<ask::CopyReply>(&*reply) : nullptr;
            if (copy == nullptr) _exit(1);
            state_ = copy->state;
        }
        offer_.reset();
        return state_.result;
    }
    // The updater records the failure of its own open.
    int report() const override {
        port_.send(tell::CopyReport{});
        io_.error = ErrorRecord{ERR_FILE_SYSCALL, state_.error, "open", {}};
        return -1;
    }
    SysError error() const override { return {state_.error}; }
    bool is_open() const override { return state_.result >= 0; }
    uint32_t held() const override { return state_.held; }
    int truncate() override {
        port_.send(tell::CopyTruncate{});
        state_.held = 0;
        return 0;
    }
    int rewind() override {
        port_.send(tell::CopyRewind{});
        state_.held = 0;
        return 0;
    }

    // As the copy's own receive, with the bytes sent on instead of written.
    CopyOutcome receive(int from, uint32_t &remaining, Reader reader, Received *ahead) override {
        const uint32_t room = state_.held < limit_ ? limit_ - state_.held : 0;
        if (remaining != kTransferAll && remaining > room) {
            remaining = 0;
            return refuse_oversize();
        }
        const uint32_t wanted = remaining == kTransferAll ? room : remaining;
        uint32_t moved = 0;
        CopyOutcome result = CopyOutcome::kReceived;
        while (moved < wanted) {
            int count;
            if (wanted - moved >= kBodyChunkLimit && pipes(reader, ahead)) {
                count = port_.splice_body(io_, from, std::min(wanted - moved, kPipedLimit));
            } else {
                // Up to the next chunk boundary of the copy, as the copy
                // reads: after a short read its writes fall on whole pages.
                const uint32_t boundary = kBodyChunkLimit - (state_.held + moved) % kBodyChunkLimit;
                const uint32_t step = std::min(wanted - moved, boundary);
                count = received_read(io_, from, ahead, reader, chunk_, static_cast<int>(step));
                if (count > 0) port_.send_body(chunk_, static_cast<uint32_t>(count));
            }
            // A short body is the protocol's to judge, as in the copy itself.
            if (count <= 0) {
                if (count < 0) result = CopyOutcome::kFailed;
                break;
            }
            moved += static_cast<uint32_t>(count);
        }
        if (result == CopyOutcome::kReceived && remaining == kTransferAll && moved == room) {
            // The room is used up: an honest sender has nothing more to say.
            char probe;
            const int count = received_read(io_, from, ahead, reader, &probe, 1);
            if (count != 0) result = count < 0 ? CopyOutcome::kFailed : refuse_oversize();
        }
        remaining = moved;
        state_.held += moved;
        return result;
    }

    bool find_kept(KeptCopy &kept) override {
        port_.send(tell::KeptFind{kept.key});
        const std::optional<Message> reply = port_.next(io_);
        const auto *found = reply ? std::get_if<ask::KeptReply>(&*reply) : nullptr;
        if (found == nullptr) _exit(1);
        kept.etag = found->etag;
        kept.last_modified = found->last_modified;
        return found->ok != 0;
    }
    int fill_kept(const std::string &key) override {
        port_.send(tell::KeptFill{key});
        const std::optional<Message> reply = port_.next(io_);
        const auto *filled = reply ? std::get_if<ask::KeptReply>(&*reply) : nullptr;
        if (filled == nullptr) _exit(1);
        return filled->ok != 0 ? 0 : -1;
    }

   private:
    // Whether the next bytes come straight off a plain socket, with
    // nothing received ahead and no failure held for the next read: then
    // the kernel moves them to the pipe, and they are never copied here.
    // A TLS layer's bytes must be decrypted here and take the channel, and
    // so do the last bytes of a body shorter than a block, which cost less
    // to copy than to splice.
    bool pipes(Reader reader, const Received *ahead) const {
        if (port_.pipe() < 0 || reader != socket_read) return false;
        return ahead == nullptr ||
               (ahead->stream == &ahead->plain && received_empty(*ahead) && ahead->plain.clean());
    }
    CopyOutcome refuse_oversize() {
        record_error_code(io_, ERR_FILE_SYSCALL, EFBIG, "write");
        return CopyOutcome::kTooLarge;
    }

    ChannelPort &port_;
    Io &io_;
    std::optional<CopyState> offer_;
    CopyState state_;
    uint32_t limit_ = 0;
    char chunk_[kBodyChunkLimit];
};
