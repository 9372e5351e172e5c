// The updater's end of the fetcher's channel, below its sessions.
#include "transfer/fetcher_link.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "core/error.h"
#include "core/events.h"
#include "support/temp_copy.h"

namespace {

// A body is bounded by the copy; this only bounds what a lying fetcher can
// make the updater read and drop at once.
constexpr uint32_t kDropChunk = 1 << 14;
// Error classes the network side raises; any other is a forgery.
constexpr int32_t kLastNetworkClass = ERR_RESOLVE;

}  // namespace

FetcherLink::FetcherLink(EngineContext *context, pid_t pid, int fd)
    : context_(context), pid_(pid), port_(fd, true) {}

FetcherLink::~FetcherLink() {
    if (pid_ <= 0) return;
    (void)port_.flush();
    // The end of the channel ends the fetcher, whose own end then closes;
    // one that does not end within a second is not waited for. A fetcher
    // waiting for room in the pipe finds it closed.
    port_.set_pipe(-1);
    ::shutdown(port_.fd(), SHUT_WR);
    char rest[256];
    bool ended = false;
    for (int slices = 0; !ended && slices < kSlicesPerSecond; slices++) {
        const ssize_t count = recv(port_.fd(), rest, sizeof(rest), 0);
        ended =
            count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
    if (!ended) kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

void FetcherLink::send(const Message &message) {
    // The words on the files ahead may wait: when the fetcher ran ahead,
    // its messages are there to read first, and the port sends the words
    // before it would wait for more.
    if (std::holds_alternative<ask::Run>(message) ||
        std::holds_alternative<ask::LookAhead>(message))
        port_.send_held(message);
    else
        port_.send(message);
    if (!watching_) return;
    if (const auto *change = std::get_if<ask::LookAhead>(&message);
        change != nullptr && change->session == watched_)
        return;
    watching_ = false;
    word_ = message;
}

void FetcherLink::watch(uint32_t session) {
    watching_ = true;
    watched_ = session;
    word_.reset();
}

bool FetcherLink::drop_body(uint32_t length, bool piped) {
    char drop[kDropChunk];
    for (uint32_t moved = 0; moved < length;) {
        const uint32_t want = std::min<uint32_t>(kDropChunk, length - moved);
        const int got = piped ? piped_read(context_->io, port_.pipe(), drop, static_cast<int>(want))
                              : received_read(context_->io, port_.fd(), &port_.input(),
                                              channel_read, drop, static_cast<int>(want));
        if (got <= 0) {
            break_off(piped ? "it announced more of a body than it piped"
                            : "its channel ended inside a body");
            return false;
        }
        moved += static_cast<uint32_t>(got);
    }
    return true;
}

bool FetcherLink::taken(const tell::Ahead &ahead) const {
    return run_takes_ahead(word_ ? std::get_if<ask::Run>(&*word_) : nullptr, watched_, ahead);
}

// A run ahead that was not taken tells nothing and writes nothing: its
// events and bodies are read and dropped, up to its end. It can hold only
// what a first attempt over HTTP sends, and no more body than the file.
bool FetcherLink::skip(const tell::Ahead &ahead) {
    const uint64_t bound = copy_bound(ahead.file.size, ahead.file.size_bound);
    uint64_t skipped = 0;
    for (;;) {
        std::optional<Message> message = port_.next(context_->io);
        if (!message) {
            break_off(port_.why());
            return false;
        }
        const auto *body = std::get_if<tell::Body>(&*message);
        const auto *piped = std::get_if<tell::Piped>(&*message);
        if (body != nullptr || piped != nullptr) {
            const uint32_t length = body != nullptr ? body->length : piped->length;
            skipped += length;
            if (skipped > bound) {
                break_off("it sent more of a file than the file may hold");
                return false;
            }
            if (!drop_body(length, piped != nullptr)) return false;
            continue;
        }
        if (const auto *prepared = std::get_if<tell::Prepared>(&*message)) {
            if (prepared->ok == 0) return true;
            continue;
        }
        if (std::holds_alternative<tell::AttemptDone>(*message)) return true;
        const uint8_t type = std::visit([](const auto &value) { return value.kType; }, *message);
        if (type < tell::Error::kType || type > tell::TransferDone::kType) {
            break_off("it sent a message the updater did not expect");
            return false;
        }
    }
}

void FetcherLink::break_off(const std::string &why) {
    if (broken_) return;
    broken_ = true;
    context_->network_broken = true;
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    record_error_text(context_->io, ERR_FETCHER, "the network side broke off the run (" + why + ")",
                      "fetcher");
}

const char *FetcherLink::intern(const std::string &name) {
    constexpr size_t kNamesLimit = 256;
    if (names_.size() >= kNamesLimit && names_.find(name) == names_.end()) return "call";
    return names_.insert(name).first->c_str();
}

std::optional<Message> FetcherLink::next(const FileRecord *file) {
    while (!broken_) {
        std::optional<Message> message = port_.next(context_->io);
        if (!message) {
            break_off(port_.why());
            return std::nullopt;
        }
        if (const auto *ahead = std::get_if<tell::Ahead>(&*message)) {
            // Only right after an attempt's end, once; after one not taken,
            // the ones the fetcher ran after it before it heard, each skipped
            // (whatever the word: the fetcher dropped them all).
            if (!ahead_may_come_ || skipped_ == kRunAheadLimit) {
                break_off("it sent a message the updater did not expect");
                return std::nullopt;
            }
            ahead_may_come_ = false;
            if (skipped_ == 0 && taken(*ahead)) continue;
            if (!skip(*ahead)) return std::nullopt;
            ahead_may_come_ = true;
            skipped_++;
            continue;
        }
        if (tell_event(*message, file)) continue;
        ahead_may_come_ = std::holds_alternative<tell::AttemptDone>(*message);
        skipped_ = 0;
        return message;
    }
    return std::nullopt;
}

bool FetcherLink::tell_event(const Message &message, const FileRecord *file) {
    Events &events = events_of(context_->io);
    if (const auto *error = std::get_if<tell::Error>(&message)) {
        if (error->class_ < 0 || error->class_ > kLastNetworkClass) {
            break_off("it sent an error the network side cannot raise");
            return true;
        }
        ErrorRecord &record = context_->io.error;
        record = ErrorRecord{error->class_, error->code, intern(error->call), error->text};
        events.error(record);
        return true;
    }
    if (const auto *spin = std::get_if<tell::Spin>(&message)) {
        events.spin(spin->slice, spin->slices);
    } else if (const auto *connecting = std::get_if<tell::Connecting>(&message)) {
        events.connecting(peers_of(connecting->peers));
    } else if (const auto *sent = std::get_if<tell::SentLine>(&message)) {
        events.sent_line(sent->line.c_str());
    } else if (const auto *received = std::get_if<tell::ReceivedLine>(&message)) {
        events.received_line(received->line.c_str());
    } else if (std::holds_alternative<tell::DataReady>(message)) {
        events.data_ready();
    } else if (std::holds_alternative<tell::Timeout>(message)) {
        events.timeout();
    } else if (const auto *closed = std::get_if<tell::ConnectionClosed>(&message)) {
        events.connection_closed(peers_of(closed->peers));
    } else if (std::holds_alternative<tell::Progress>(message)) {
        if (file == nullptr) {
            break_off("it sent progress outside a file");
            return true;
        }
        events.progress(file_event(file));
    } else if (std::holds_alternative<tell::TransferDone>(message)) {
        events.transfer_done();
    } else {
        return false;
    }
    return true;
}
