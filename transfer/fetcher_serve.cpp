// The fetcher at work: the real FTP and HTTP sessions, their events sent
// to the updater as messages, and a copy that is the updater's, reached
// through the channel. Messages are gathered and go out when the fetcher
// has to wait, for the network or for the updater.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>
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
// it, and before the updater has said anything more, the next files whose
// requests are already on the wire are run at once, up to kRunAheadLimit:
// their replies are read and sent on while the updater checks the files
// before, and whatever the server would see (requests sent ahead, a new
// connection) waits for the updater's word on the file it belongs to. The
// words come in the files' order: the run of exactly the first file not
// yet taken takes what was sent for it, anything else drops it and every
// file run after it (the updater skips them), undone as far as any server
// can tell.
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
                // Never waits with requests kept back.
                if (gathered_ && !port_.input_pending()) send_gathered();
                message = port_.next(context_.io);
            }
            if (!message) return 0;  // the updater is done
            if (!aheads_.empty()) {
                const uint32_t id = aheads_.front().session;
                const Word word = decide(*message);
                if (word == Word::kNone) continue;
                if (word == Word::kTaken) {
                    // Words already in are taken before the requests they
                    // let go are sent, so that those leave together.
                    confirm_front(port_.input_pending());
                    if (last_done_) run_ahead(id);
                    continue;
                }
                drop_all();
            }
            // Any other message may keep the fetcher busy elsewhere.
            send_gathered();
            if (!handle(*message)) return 1;
        }
    }

    // A run ahead is about to connect: it waits for the updater's words up
    // to the one on itself, the last of the files run ahead.
    bool may_connect() override {
        if (running_ == Word::kTaken) return true;
        if (aheads_.empty() || running_ == Word::kDropped) return false;
        port_.flush();
        for (;;) {
            std::optional<Message> message = port_.next(context_.io);
            if (!message) _exit(0);  // the updater is gone
            const Word word = decide(*message);
            if (word == Word::kNone) continue;
            if (word == Word::kDropped) {
                running_ = Word::kDropped;
                waiting_.push_back(std::move(*message));
                return false;
            }
            if (aheads_.size() > 1) {
                confirm_front();
                continue;
            }
            running_ = Word::kTaken;
            confirm(aheads_.front());
            return true;
        }
    }

   private:
    enum class Word { kNone, kTaken, kDropped };
    struct Ahead {
        uint32_t session;
        FileRecord *file;
        tell::Ahead told;
        std::vector<ask::LookAhead> changes;  // the updater's, to the list before its word
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

    // The updater's word on the first file run ahead and not yet taken,
    // from its next message; a change of the same session's list is kept
    // for later and says nothing.
    Word decide(Message &message) {
        Ahead &first = aheads_.front();
        if (auto *change = std::get_if<ask::LookAhead>(&message);
            change != nullptr && change->session == first.session) {
            first.changes.push_back(std::move(*change));
            return Word::kNone;
        }
        return run_takes_ahead(std::get_if<ask::Run>(&message), first.session, first.told)
                   ? Word::kTaken
                   : Word::kDropped;
    }

    // What was held while the file ran ahead goes out, and the list takes
    // the updater's changes; the first of them moved past that file, which
    // the list did already.
    void confirm(Ahead &ahead, bool gather = false) {
        Served &session = *served(ahead.session);
        session.session->confirm_ahead(gather);
        if (gather) gathered_ = ahead.session;
        bool first = true;
        for (ask::LookAhead &change : ahead.changes) {
            if (first && change.drop > 0) change.drop--;
            first = false;
            look_ahead(session, change);
        }
        ahead.changes.clear();
    }

    void confirm_front(bool gather = false) {
        confirm(aheads_.front(), gather);
        aheads_.pop_front();
    }

    // Sends what confirmations gathered. The session sends it itself before
    // anything else it is asked to do (an attempt, a run dropped), so this
    // is needed only where the fetcher turns elsewhere or waits.
    void send_gathered() {
        if (!gathered_) return;
        if (Served *session = served(*gathered_)) session->session->send_confirmed();
        gathered_.reset();
    }

    // The first file not taken and every one run after it are undone: they
    // go back to the front of the list, in order, and the updater's changes
    // apply to that list.
    void drop_all() {
        Served &session = *served(aheads_.front().session);
        session.session->abandon_ahead();
        for (auto ahead = aheads_.rbegin(); ahead != aheads_.rend(); ++ahead) {
            for (auto record = session.recent.begin(); record != session.recent.end(); ++record) {
                if (record->get() != ahead->file) continue;
                session.ahead.push_front(std::move(*record));
                session.recent.erase(record);
                break;
            }
        }
        list_ahead(session);
        for (const ask::LookAhead &change : aheads_.front().changes) look_ahead(session, change);
        aheads_.clear();
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
    // files got in full: a file that may be absent (a patch) gets a budget
    // of its own, and one after it may be asked for again whole.
    void run_ahead(uint32_t id) {
        Served *found = served(id);
        while (found != nullptr && aheads_.size() < kRunAheadLimit && waiting_.empty() &&
               !port_.input_pending() && !found->ahead.empty() && !found->ahead.front()->optional &&
               found->session->answers_ahead(*found->ahead.front())) {
            Served &session = *found;
            FileRecord *file = session.ahead.front().get();
            const tell::Ahead told{wire_file(*file), Budget{session.budget.limit, 0}};
            port_.send(told);
            aheads_.push_back(Ahead{id, file, told, {}});
            session.recent.push_front(std::move(session.ahead.front()));
            session.ahead.pop_front();
            list_ahead(session);
            session.session->hold_writes(*this);
            const CopyState emptied{static_cast<uint8_t>(CopyUse::kEmpty), 1, 0, 0};
            const AttemptOutcome outcome = run(session, *file, 0, told.budget, emptied);
            last_done_ = outcome == AttemptOutcome::kDone;
            // A word that came while it connected settled every file before.
            const Word word = std::exchange(running_, Word::kNone);
            if (word == Word::kDropped) return drop_all();
            if (word == Word::kTaken) aheads_.pop_front();
            if (!last_done_) return;
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
            last_done_ = outcome == AttemptOutcome::kDone && !file.optional;
            if (last_done_) run_ahead(id);
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
    std::deque<Ahead> aheads_;          // run ahead, in order, waiting for their words
    Word running_ = Word::kNone;        // the word on the file running ahead, when it came
    bool last_done_ = false;            // the last file run got it, and more may follow
    std::deque<Message> waiting_;       // read while a run ahead was under way
    std::optional<uint32_t> gathered_;  // the session whose confirmations wait to be sent
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
