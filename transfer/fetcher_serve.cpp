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
    // A wait may be under way: what was gathered goes out once it is a
    // slice old, so that the console keeps up with a slow server.
    void spin(int32_t slice, int32_t slices) override {
        port_.send(tell::Spin{slice, slices});
        port_.flush_if_late();
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

void list_ahead(Served &served);

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
    list_ahead(served);
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

FileSpec spec_of(const FileRecord &file) {
    FileSpec spec;
    spec.sitepath = file.sitepath.value_or("");
    spec.time = file.time;
    spec.size = file.size;
    spec.size_bound = file.size_bound;
    spec.optional = file.optional ? 1 : 0;
    return spec;
}

void list_ahead(Served &served) {
    served.ahead_list.clear();
    for (auto &record : served.ahead) served.ahead_list.push_back(record.get());
    served.session->look_ahead(served.ahead_list);
}

// The fetcher's requests and its runs ahead. After a file's attempt got
// it, and before the updater has said anything more, the next file whose
// request is already on the wire is run at once: its reply is read and
// sent on while the updater checks the file before, and whatever the
// server would see (requests sent ahead, a new connection) waits for the
// updater's next word. That word is the run of exactly that file, which
// takes what was sent, or anything else, which drops it (the updater
// skips it) and undoes it as far as any server can tell.
class Fetcher final : public WriteGate {
   public:
    Fetcher(EngineContext &context, ChannelPort &port)
        : context_(context), port_(port), copy_(std::make_unique<RemoteCopy>(port, context.io)) {}

    int serve() {
        for (;;) {
            std::optional<Message> message;
            if (!waiting_.empty()) {
                message = std::move(waiting_.front());
                waiting_.pop_front();
            } else {
                message = port_.next(context_.io);
            }
            if (!message) return 0;  // the updater is done
            if (ahead_) {
                const FileRecord *taken = ahead_->file;
                const Word word = decide(*message);
                if (word == Word::kNone) continue;
                settle(word);
                if (word == Word::kTaken) {
                    run_ahead(session_of(*message), *taken);
                    continue;
                }
            }
            if (!handle(*message)) return 1;
        }
    }

    // A run ahead is about to connect: it waits for the updater's word.
    bool may_connect() override {
        if (!ahead_ || ahead_->word == Word::kDropped) return false;
        port_.flush();
        for (;;) {
            std::optional<Message> message = port_.next(context_.io);
            if (!message) _exit(0);  // the updater is gone
            const Word word = decide(*message);
            if (word == Word::kNone) continue;
            ahead_->word = word;
            if (word == Word::kTaken) {
                confirm();
                return true;
            }
            waiting_.push_back(std::move(*message));
            return false;
        }
    }

   private:
    enum class Word { kNone, kTaken, kDropped };
    struct Ahead {
        uint32_t session;
        FileRecord *file;
        tell::Ahead told;
        Word word = Word::kNone;
        std::vector<ask::LookAhead> changes;  // the updater's, to the list before the run
    };

    static uint32_t session_of(const Message &message) {
        return std::visit(
            [](const auto &value) -> uint32_t {
                if constexpr (requires { value.session; }) return value.session;
                return 0;
            },
            message);
    }

    Served *served(uint32_t id) {
        const auto found = sessions_.find(id);
        return found != sessions_.end() ? found->second.get() : nullptr;
    }

    // The updater's word on the run ahead, from its next message; a change
    // of the same session's list is kept for later and says nothing.
    Word decide(Message &message) {
        if (auto *change = std::get_if<ask::LookAhead>(&message);
            change != nullptr && change->session == ahead_->session) {
            ahead_->changes.push_back(std::move(*change));
            return Word::kNone;
        }
        const auto *run = std::get_if<ask::Run>(&message);
        const bool taken = run != nullptr && run->session == ahead_->session &&
                           run->attempt == 0 && run->file == ahead_->told.file &&
                           run->budget == ahead_->told.budget &&
                           run->offer.use == static_cast<uint8_t>(CopyUse::kEmpty) &&
                           run->offer.result >= 0 && run->offer.held == 0;
        return taken ? Word::kTaken : Word::kDropped;
    }

    // What was held goes out, and the list takes the updater's changes; the
    // first of them moved past the file run ahead, which the list did already.
    void confirm() {
        Served &session = *served(ahead_->session);
        session.session->confirm_ahead();
        bool first = true;
        for (ask::LookAhead &change : ahead_->changes) {
            if (first && change.drop > 0) change.drop--;
            first = false;
            look_ahead(session, change);
        }
        ahead_->changes.clear();
    }

    // The run ahead ends as the updater's word says: taken, it was the
    // answer; dropped, it is undone, the file goes back to the front of
    // the list and the updater's changes apply to that list.
    void settle(Word word) {
        if (word == Word::kTaken && ahead_->word == Word::kNone) confirm();
        if (word == Word::kDropped) {
            Served &session = *served(ahead_->session);
            session.session->abandon_ahead();
            for (auto record = session.recent.begin(); record != session.recent.end(); ++record) {
                if (record->get() != ahead_->file) continue;
                session.ahead.push_front(std::move(*record));
                session.recent.erase(record);
                break;
            }
            list_ahead(session);
            for (const ask::LookAhead &change : ahead_->changes) look_ahead(session, change);
        }
        ahead_.reset();
    }

    // One prepare and, when it succeeds, one attempt, told as they go.
    AttemptOutcome run(Served &session, FileRecord &file, int32_t attempt, const Budget &budget,
                       const CopyState &offer) {
        session.budget.limit = budget.limit;
        session.budget.used = budget.used;
        copy_->offer(file, offer);
        const bool prepared = session.session->prepare(file, attempt, *copy_);
        port_.send(tell::Prepared{prepared ? uint8_t{1} : uint8_t{0}});
        if (!prepared) return AttemptOutcome::kFailed;
        const AttemptOutcome outcome = session.session->attempt(file, *copy_);
        port_.send(tell::AttemptDone{static_cast<uint8_t>(outcome), session.session->retry_after(),
                                     session.budget.used, context_.pipeline, kept_of(file)});
        return outcome;
    }

    // Runs the next files ahead, one at a time, while the updater says
    // nothing and each one's request is already on the wire. Only whole
    // files: a file that may be absent (a patch) gets a budget of its own,
    // and one after it may be asked for again whole.
    void run_ahead(uint32_t id, const FileRecord &done) {
        Served *found = served(id);
        if (done.optional) return;
        while (found != nullptr && !ahead_ && waiting_.empty() && !port_.input_pending() &&
               !found->ahead.empty() && !found->ahead.front()->optional &&
               found->session->answers_ahead(*found->ahead.front())) {
            Served &session = *found;
            FileRecord *file = session.ahead.front().get();
            const tell::Ahead told{spec_of(*file), Budget{session.budget.limit, 0}};
            port_.send(told);
            ahead_ = Ahead{id, file, told, Word::kNone, {}};
            session.recent.push_front(std::move(session.ahead.front()));
            session.ahead.pop_front();
            list_ahead(session);
            session.session->hold_writes(*this);
            const CopyState emptied{static_cast<uint8_t>(CopyUse::kEmpty), 1, 0, 0};
            const AttemptOutcome outcome = run(session, *file, 0, told.budget, emptied);
            if (ahead_->word == Word::kNone) return;  // the word is still to come
            const Word word = ahead_->word;
            settle(word);
            if (word == Word::kDropped || outcome != AttemptOutcome::kDone) return;
        }
    }

    bool handle(const Message &message) {
        if (const auto *open = std::get_if<ask::Open>(&message)) {
            auto session = std::make_unique<Served>();
            if (!pipeline_told_) context_.pipeline = std::max(open->pipeline, 1);
            pipeline_told_ = true;
            const Plugin &plugin = open->plugin == kPluginFtp ? ftp_plugin : http_plugin;
            session->session = plugin.open(&context_, open->url, session->budget);
            port_.send(tell::Opened{session->session != nullptr ? uint8_t{1} : uint8_t{0}});
            if (session->session != nullptr) sessions_[open->session] = std::move(session);
            return true;
        }
        const uint32_t id = session_of(message);
        Served *found = served(id);
        if (found == nullptr) return false;
        Served &session = *found;
        if (const auto *close = std::get_if<ask::Close>(&message)) {
            session.budget.limit = close->budget.limit;
            session.budget.used = close->budget.used;
            sessions_.erase(id);
            port_.send(tell::Closed{});
        } else if (const auto *change = std::get_if<ask::LookAhead>(&message)) {
            look_ahead(session, *change);
        } else if (const auto *run_file = std::get_if<ask::Run>(&message)) {
            FileRecord &file = record_for(session, run_file->file);
            const AttemptOutcome outcome =
                run(session, file, run_file->attempt, run_file->budget, run_file->offer);
            if (outcome == AttemptOutcome::kDone) run_ahead(id, file);
        } else if (std::holds_alternative<ask::Refused>(message)) {
            session.session->copy_refused();
        } else {
            return false;
        }
        return true;
    }

    EngineContext &context_;
    ChannelPort &port_;
    std::unique_ptr<RemoteCopy> copy_;
    std::map<uint32_t, std::unique_ptr<Served>> sessions_;
    std::optional<Ahead> ahead_;
    std::deque<Message> waiting_;  // read while a run ahead was under way
    // The run's depth of requests ahead comes with the first session; what
    // the sessions learn of the servers lowers it here, for the rest of it.
    bool pipeline_told_ = false;
};

}  // namespace

int fetcher_serve(EngineContext &context, ChannelPort &port) {
    ChannelEvents events(port);
    context.io.events = &events;
    context.fetcher = nullptr;
    context.installer = nullptr;
    context.state_fd = -1;
    Fetcher fetcher(context, port);
    return fetcher.serve();
}
