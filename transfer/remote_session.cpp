// Sessions through the fetcher. Each prepare sends one message (the copy
// already opened as the attempt's first open will ask, the files ahead as
// a change of the last list) and each attempt reads the fetcher's answer:
// its events, its requests on the copy and the bodies, until the attempt's
// end. Everything is checked against what was asked.
#include "transfer/remote_session.h"

#include <algorithm>
#include <deque>

#include "core/error.h"
#include "core/events.h"
#include "support/path.h"
#include "transfer/http.h"

namespace {

// The files ahead that a session is told of: as many as the deepest
// pipeline asks for after the file under way, and after the ones the
// fetcher may run ahead.
constexpr size_t kSessionAhead = 32 + kRunAheadLimit;

class RemoteSession final : public PluginSession {
   public:
    RemoteSession(FetcherLink &link, uint8_t plugin, TransferBudget &budget)
        : link_(link), plugin_(plugin), budget_(budget), id_(link.new_session()) {}

    bool open(const std::string &url) {
        EngineContext *context = link_.context();
        url_ = url;
        link_.send(ask::Open{id_, plugin_, url, context->pipeline});
        const std::optional<Message> answer = link_.next(nullptr);
        if (!answer) return false;
        const auto *opened = std::get_if<tell::Opened>(&*answer);
        if (opened == nullptr) return unexpected();
        opened_ = opened->ok != 0;
        return opened_;
    }

    // The goodbye is the fetcher's to say, and its events are told here.
    ~RemoteSession() override {
        if (!opened_ || link_.broken()) return;
        link_.send(ask::Close{id_, Budget{budget_.limit, budget_.used}});
        const std::optional<Message> answer = link_.next(nullptr);
        if (answer && !std::holds_alternative<tell::Closed>(*answer)) unexpected();
    }

    // A name the FTP session puts in its normal form before the file's
    // progress event; the fetcher gets it that way.
    bool begin_file(FileRecord &file) override {
        if (plugin_ == kPluginFtp) normalize_path(*file.sitepath);
        return !link_.broken();
    }

    void look_ahead(std::span<FileRecord *const> next) override {
        if (next.size() > kSessionAhead) next = next.first(kSessionAhead);
        // The list usually moves on by the file now under way: the fewest
        // files dropped from the front of the last one that leave a start
        // of the new one.
        const auto same = [](const Told &told, const FileRecord *file) {
            return told.file == file && file->sitepath && told.sitepath == *file->sitepath;
        };
        size_t drop = 0;
        while (drop < told_.size() &&
               !(told_.size() - drop <= next.size() &&
                 std::equal(told_.begin() + static_cast<std::ptrdiff_t>(drop), told_.end(),
                            next.begin(), same)))
            drop++;
        ask::LookAhead change{id_, static_cast<uint32_t>(drop), {}};
        told_.erase(told_.begin(), told_.begin() + static_cast<std::ptrdiff_t>(drop));
        for (size_t index = told_.size(); index < next.size(); index++) {
            change.more.push_back(wire_file(*next[index]));
            told_.push_back(Told{next[index], next[index]->sitepath.value_or("")});
        }
        if (change.drop != 0 || !change.more.empty()) link_.send(change);
    }

    bool prepare(FileRecord &file, int32_t attempt, CopyTarget &copy) override {
        if (link_.broken()) return false;
        // The attempt's first open asks for this; made here, it costs the
        // fetcher no question.
        const CopyUse use = plugin_ == kPluginFtp ? CopyUse::kResume
                            : attempt == 0        ? CopyUse::kEmpty
                                                  : CopyUse::kContinue;
        local_failed_ = false;
        filled_ = false;
        kept_key_.clear();
        // A kept copy is known by the file's URL, which the fetcher may not
        // choose.
        expected_key_ = plugin_ == kPluginHttp && file.kept && file.sitepath
                            ? http_kept_key(url_, *file.sitepath)
                            : std::string();
        ask::Run run{id_, wire_file(file), attempt, Budget{budget_.limit, budget_.used},
                     state_of(copy, use, copy.open(file, use))};
        link_.send(run);
        const std::optional<Message> end = serve(file, copy, tell::Prepared::kType);
        return end && std::get<tell::Prepared>(*end).ok != 0 && !local_failed_;
    }

    AttemptOutcome attempt(FileRecord &file, CopyTarget &copy) override {
        retry_after_ = -1;
        const std::optional<Message> end = serve(file, copy, tell::AttemptDone::kType);
        if (!end) return AttemptOutcome::kFailed;
        const auto &done = std::get<tell::AttemptDone>(*end);
        link_.watch(id_);
        EngineContext *context = link_.context();
        if (done.outcome > static_cast<uint8_t>(AttemptOutcome::kFailed) ||
            done.budget_used < budget_.used || done.retry_after < -1 || done.pipeline < 1 ||
            done.pipeline > context->pipeline ||
            (done.kept.present != 0 && (!file.kept || done.kept.key != expected_key_)) ||
            (done.kept.reused != 0 && !filled_)) {
            unexpected();
            return AttemptOutcome::kFailed;
        }
        budget_.used = done.budget_used;
        context->pipeline = done.pipeline;
        retry_after_ = done.retry_after;
        if (file.kept) take_kept(file, done.kept);
        auto outcome = static_cast<AttemptOutcome>(done.outcome);
        // The copy failed here, whatever the fetcher saw.
        if (local_failed_ && outcome == AttemptOutcome::kDone) outcome = AttemptOutcome::kRetry;
        return outcome;
    }

    int64_t retry_after() const override { return retry_after_; }

    void copy_refused() override {
        if (!link_.broken()) link_.send(ask::Refused{id_});
    }

   private:
    static CopyState state_of(CopyTarget &copy, CopyUse use, int result) {
        return CopyState{static_cast<uint8_t>(use), result, result >= 0 ? copy.held() : 0,
                         result >= 0 ? 0 : copy.error().code};
    }

    bool unexpected() {
        link_.break_off("it sent a message the updater did not expect");
        return false;
    }

    void take_kept(FileRecord &file, const WireKept &kept) {
        if (kept.present == 0) {
            file.kept.reset();
            return;
        }
        file.kept->key = kept.key;
        file.kept->etag = kept.etag;
        file.kept->last_modified = kept.last_modified;
        file.kept->reused = kept.reused != 0;
    }

    // Serves the fetcher's requests on the copy until the message of type
    // `until`; absent when the conversation broke.
    std::optional<Message> serve(FileRecord &file, CopyTarget &copy, uint8_t until) {
        for (;;) {
            std::optional<Message> message = link_.next(&file);
            if (!message) return std::nullopt;
            const uint8_t type =
                std::visit([](const auto &value) { return value.kType; }, *message);
            if (type == until) return message;
            if (!handle(*message, file, copy)) return std::nullopt;
        }
    }

    bool handle(const Message &message, FileRecord &file, CopyTarget &copy) {
        ChannelPort &port = link_.port();
        if (const auto *body = std::get_if<tell::Body>(&message))
            return take_body(copy, body->length, false);
        if (const auto *piped = std::get_if<tell::Piped>(&message))
            return take_body(copy, piped->length, true);
        if (const auto *open = std::get_if<tell::CopyOpen>(&message)) {
            const auto use = static_cast<CopyUse>(open->use);
            if (use != CopyUse::kResume && use != CopyUse::kContinue && use != CopyUse::kEmpty)
                return unexpected();
            port.send(ask::CopyReply{state_of(copy, use, copy.open(file, use))});
            return true;
        }
        if (std::holds_alternative<tell::CopyTruncate>(message)) {
            if (!copy.is_open() || copy.truncate() < 0) local_failed_ = true;
            return true;
        }
        if (std::holds_alternative<tell::CopyRewind>(message)) {
            if (!copy.is_open() || copy.rewind() < 0) local_failed_ = true;
            return true;
        }
        if (std::holds_alternative<tell::CopyReport>(message)) {
            copy.report();
            return true;
        }
        // Only a file that a kept copy may answer asks for one, and it
        // fills its copy only from the one it asked about.
        if (const auto *find = std::get_if<tell::KeptFind>(&message)) {
            if (!file.kept || find->key.empty() || find->key != expected_key_) return unexpected();
            KeptCopy kept;
            kept.key = find->key;
            const bool found = copy.find_kept(kept);
            kept_key_ = found ? find->key : std::string();
            port.send(
                ask::KeptReply{found ? uint8_t{1} : uint8_t{0}, kept.etag, kept.last_modified});
            return true;
        }
        if (const auto *fill = std::get_if<tell::KeptFill>(&message)) {
            if (!file.kept || kept_key_.empty() || fill->key != kept_key_) return unexpected();
            filled_ = copy.is_open() && copy.fill_kept(fill->key) == 0;
            port.send(ask::KeptReply{filled_ ? uint8_t{1} : uint8_t{0}, {}, {}});
            return true;
        }
        return unexpected();
    }

    // The body's bytes, from the channel or the pipe, go through the
    // copy's own bounded, digesting receive; a fetcher that sends more
    // than the copy may hold lies.
    bool take_body(CopyTarget &copy, uint32_t length, bool piped) {
        ChannelPort &port = link_.port();
        if (piped) length += port.more_piped(kPipedLimit - length);
        uint32_t moved = 0;
        if (copy.is_open() && !local_failed_) {
            moved = length;
            const CopyOutcome result =
                piped ? copy.receive(port.pipe(), moved, piped_read)
                      : copy.receive(port.fd(), moved, channel_read, &port.input());
            if (result == CopyOutcome::kTooLarge) {
                link_.break_off("it sent more of a file than the file may hold");
                return false;
            }
            if (result != CopyOutcome::kReceived) local_failed_ = true;
        } else if (!copy.is_open()) {
            link_.break_off("it sent a body for a copy that is not open");
            return false;
        }
        // What the copy could not take is read and dropped, so that the
        // next frame (or the next notice's bytes) is where it should be.
        return link_.drop_body(length - moved, piped);
    }

    FetcherLink &link_;
    uint8_t plugin_;
    TransferBudget &budget_;
    uint32_t id_;
    bool opened_ = false;
    bool local_failed_ = false;  // a step on the copy failed here in this attempt
    bool filled_ = false;        // the copy was filled from a kept one in this attempt
    std::string kept_key_;       // the kept copy found in this attempt
    std::string expected_key_;   // the one this file's copy is kept under
    std::string url_;            // the information file's at the session's mirror
    int64_t retry_after_ = -1;
    struct Told {
        const FileRecord *file;
        std::string sitepath;
    };
    std::deque<Told> told_;  // the files ahead as the fetcher knows them
};

}  // namespace

std::unique_ptr<PluginSession> remote_session_open(EngineContext *context, uint8_t plugin,
                                                   const std::string &url, TransferBudget &budget) {
    FetcherLink *link = context->fetcher;
    if (link == nullptr || link->broken()) return nullptr;
    auto session = std::make_unique<RemoteSession>(*link, plugin, budget);
    if (!session->open(url)) return nullptr;
    return session;
}
