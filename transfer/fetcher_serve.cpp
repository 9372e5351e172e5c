// The fetcher at work: the real FTP and HTTP sessions, their events sent
// to the updater as messages, and a copy that is the updater's, reached
// through the channel. Messages are gathered and go out when the fetcher
// has to wait, for the network or for the updater.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "core/error.h"
#include "core/events.h"
#include "transfer/fetcher.h"
#include "transfer/plugin.h"

namespace {

PeerSpec spec_of(const Peers &peers) {
    PeerSpec spec;
    spec.has_local = peers.local_host != nullptr ? 1 : 0;
    spec.local_host = peers.local_host != nullptr ? peers.local_host : "";
    spec.local_port = peers.local_port;
    spec.has_remote = peers.remote_host != nullptr ? 1 : 0;
    spec.remote_host = peers.remote_host != nullptr ? peers.remote_host : "";
    spec.remote_port = peers.remote_port;
    return spec;
}

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
    // A wait is under way: what was gathered goes out now, so that the
    // console keeps up with a slow server.
    void spin(int32_t slice, int32_t slices) override {
        port_.send(tell::Spin{slice, slices});
        port_.flush();
    }
    void connecting(const Peers &peers) override { port_.send(tell::Connecting{spec_of(peers)}); }
    void sent_line(const char *line) override { port_.send(tell::SentLine{line}); }
    void received_line(const char *line) override { port_.send(tell::ReceivedLine{line}); }
    void data_ready() override { port_.send(tell::DataReady{}); }
    void timeout() override { port_.send(tell::Timeout{}); }
    void connection_closed(const Peers &peers) override {
        port_.send(tell::ConnectionClosed{spec_of(peers)});
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
        limit_ = file.size > 0         ? static_cast<uint32_t>(file.size)
                 : file.size_bound > 0 ? file.size_bound
                                       : kUnlistedSizeLimit;
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
            const int count = received_read(io_, from, ahead, reader, chunk_,
                                            static_cast<int>(std::min(wanted - moved, kBodyChunkLimit)));
            // A short body is the protocol's to judge, as in the copy itself.
            if (count <= 0) {
                if (count < 0) result = CopyOutcome::kFailed;
                break;
            }
            port_.send_body(chunk_, static_cast<uint32_t>(count));
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

// One session with the records it was told of: the files ahead, and the
// ones it turned to lately, which requests sent ahead still name.
struct Served {
    TransferBudget budget;  // before the session, whose goodbye draws on it
    std::unique_ptr<PluginSession> session;
    std::deque<std::unique_ptr<FileRecord>> ahead;
    std::deque<std::unique_ptr<FileRecord>> recent;
    std::vector<FileRecord *> ahead_list;
};

constexpr size_t kRecentLimit = 64;

void fill_record(FileRecord &record, const FileSpec &spec) {
    record.sitepath = spec.sitepath;
    record.time = spec.time;
    record.size = spec.size;
    record.size_bound = spec.size_bound;
    record.optional = spec.optional != 0;
    if (spec.kept == 0) {
        record.kept.reset();
    } else {
        if (!record.kept) record.kept = std::make_unique<KeptCopy>();
        record.kept->refused = spec.kept_refused != 0;
    }
}

// The record of the file a run is about: the one told of ahead when
// there is one, since a request sent ahead is known by its record.
FileRecord &record_for(Served &served, const FileSpec &spec) {
    for (auto &record : served.recent)
        if (record->sitepath == spec.sitepath) return (fill_record(*record, spec), *record);
    for (auto &record : served.ahead)
        if (record->sitepath == spec.sitepath) return (fill_record(*record, spec), *record);
    served.recent.push_front(std::make_unique<FileRecord>());
    if (served.recent.size() > kRecentLimit) served.recent.pop_back();
    fill_record(*served.recent.front(), spec);
    return *served.recent.front();
}

void look_ahead(Served &served, const ask::LookAhead &change) {
    for (uint32_t index = 0; index < change.drop && !served.ahead.empty(); index++) {
        served.recent.push_front(std::move(served.ahead.front()));
        served.ahead.pop_front();
    }
    while (served.recent.size() > kRecentLimit) served.recent.pop_back();
    for (const FileSpec &spec : change.more) {
        served.ahead.push_back(std::make_unique<FileRecord>());
        fill_record(*served.ahead.back(), spec);
    }
    served.ahead_list.clear();
    for (auto &record : served.ahead) served.ahead_list.push_back(record.get());
    served.session->look_ahead(served.ahead_list);
}

KeptSpec kept_of(const FileRecord &file) {
    KeptSpec spec;
    if (!file.kept) return spec;
    spec.present = 1;
    spec.key = file.kept->key;
    spec.etag = file.kept->etag;
    spec.last_modified = file.kept->last_modified;
    spec.reused = file.kept->reused ? 1 : 0;
    spec.refused = file.kept->refused ? 1 : 0;
    return spec;
}

}  // namespace

int fetcher_serve(EngineContext &context, ChannelPort &port) {
    ChannelEvents events(port);
    context.io.events = &events;
    context.fetcher = nullptr;
    context.installer = nullptr;
    context.state_fd = -1;
    auto copy = std::make_unique<RemoteCopy>(port, context.io);
    std::map<uint32_t, std::unique_ptr<Served>> sessions;
    // The run's depth of requests ahead comes with the first session; what
    // the sessions learn of the servers lowers it here, for the rest of it.
    bool pipeline_told = false;
    for (;;) {
        std::optional<Message> message = port.next(context.io);
        if (!message) return 0;  // the updater is done
        if (const auto *open = std::get_if<ask::Open>(&*message)) {
            auto served = std::make_unique<Served>();
            if (!pipeline_told) context.pipeline = std::max(open->pipeline, 1);
            pipeline_told = true;
            const Plugin &plugin = open->plugin == kPluginFtp ? ftp_plugin : http_plugin;
            served->session = plugin.open(&context, open->url, served->budget);
            port.send(tell::Opened{served->session != nullptr ? uint8_t{1} : uint8_t{0}});
            if (served->session != nullptr) sessions[open->session] = std::move(served);
            continue;
        }
        const uint32_t id = std::visit(
            [](const auto &value) -> uint32_t {
                if constexpr (requires { value.session; }) return value.session;
                return 0;
            },
            *message);
        const auto found = sessions.find(id);
        if (found == sessions.end()) return 1;
        Served &served = *found->second;
        if (const auto *close = std::get_if<ask::Close>(&*message)) {
            served.budget.limit = close->budget.limit;
            served.budget.used = close->budget.used;
            sessions.erase(found);
            port.send(tell::Closed{});
        } else if (const auto *change = std::get_if<ask::LookAhead>(&*message)) {
            look_ahead(served, *change);
        } else if (const auto *run = std::get_if<ask::Run>(&*message)) {
            FileRecord &file = record_for(served, run->file);
            served.budget.limit = run->budget.limit;
            served.budget.used = run->budget.used;
            copy->offer(file, run->offer);
            const bool prepared = served.session->prepare(file, run->attempt, *copy);
            port.send(tell::Prepared{prepared ? uint8_t{1} : uint8_t{0}});
            if (!prepared) continue;
            const AttemptOutcome outcome = served.session->attempt(file, *copy);
            port.send(tell::AttemptDone{static_cast<uint8_t>(outcome),
                                        served.session->retry_after(), served.budget.used,
                                        context.pipeline, kept_of(file)});
        } else if (std::holds_alternative<ask::Refused>(*message)) {
            served.session->copy_refused();
        } else {
            return 1;
        }
    }
}
