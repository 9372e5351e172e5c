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
#include "transfer/remote_copy.h"

namespace {

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

void fill_record(FileRecord &record, const WireFile &wire) {
    record.sitepath = wire.sitepath;
    record.time = wire.time;
    record.size = wire.size;
    record.size_bound = wire.size_bound;
    record.optional = wire.optional != 0;
    if (wire.kept == 0) {
        record.kept.reset();
    } else {
        if (!record.kept) record.kept = std::make_unique<KeptCopy>();
        record.kept->refused = wire.kept_refused != 0;
    }
}

// The record of the file a run is about: the one told of ahead when
// there is one, since a request sent ahead is known by its record.
FileRecord &record_for(Served &served, const WireFile &wire) {
    for (auto &record : served.recent)
        if (record->sitepath == wire.sitepath) return (fill_record(*record, wire), *record);
    for (auto &record : served.ahead)
        if (record->sitepath == wire.sitepath) return (fill_record(*record, wire), *record);
    served.recent.push_front(std::make_unique<FileRecord>());
    if (served.recent.size() > kRecentLimit) served.recent.pop_back();
    fill_record(*served.recent.front(), wire);
    return *served.recent.front();
}

void list_ahead(Served &served);

void look_ahead(Served &served, const ask::LookAhead &change) {
    for (uint32_t index = 0; index < change.drop && !served.ahead.empty(); index++) {
        served.recent.push_front(std::move(served.ahead.front()));
        served.ahead.pop_front();
    }
    while (served.recent.size() > kRecentLimit) served.recent.pop_back();
    for (const WireFile &wire : change.more) {
        served.ahead.push_back(std::make_unique<FileRecord>());
        fill_record(*served.ahead.back(), wire);
    }
    list_ahead(served);
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
        return run_takes_ahead(std::get_if<ask::Run>(&message), ahead_->session, ahead_->told)
                   ? Word::kTaken
                   : Word::kDropped;
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
                                     session.budget.used, context_.pipeline, wire_kept(file)});
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
            const tell::Ahead told{wire_file(*file), Budget{session.budget.limit, 0}};
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
