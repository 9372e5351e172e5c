// The updater's end of the fetcher against a fetcher that lies: each script
// is in the channel, and the channel shut, before the session reads a byte.
#include <fcntl.h>
#include <sys/socket.h>

#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "core/error.h"
#include "support/budget.h"
#include "support/kept_copy.h"
#include "test_util.h"
#include "transfer/remote_session.h"

namespace {

const std::string kUrl = "http://127.0.0.1:1/pub/x.info";
const std::string kKey = "http://127.0.0.1:1/pub/pub/x.dat";  // the file's kept copy: its URL

std::string frames(std::initializer_list<Message> messages) {
    std::string out;
    for (const Message &message : messages) channel_encode(out, message);
    return out;
}
std::string body(const std::string &bytes) {
    return frames({tell::Body{static_cast<uint32_t>(bytes.size())}}) + bytes;
}
std::string piped(uint32_t length) {
    return frames({tell::Piped{length}});
}
// A frame the encoder would never spell.
std::string raw(uint32_t length, uint8_t type, const std::string &fields) {
    std::string out;
    for (int i = 0; i < 4; i++) out.push_back(static_cast<char>(length >> (8 * i)));
    return out + static_cast<char>(type) + fields;
}
tell::AttemptDone done(AttemptOutcome outcome, WireKept kept = {}, int32_t pipeline = 1) {
    return tell::AttemptDone{static_cast<uint8_t>(outcome), -1, 0, pipeline, std::move(kept)};
}
const std::string kPrepared = frames({tell::Prepared{1}});
// Whatever follows a lie must never reach the copy.
const std::string kAfter = body("LIE");

// The fetcher's end with its script written, the session at the other end
// and the copy the engine made first, as the engine drives a file.
struct Channel {
    Recorder recorder;
    ScratchDir scratch;
    SocketPair pair;
    Descriptor state{open(scratch.path.c_str(), O_RDONLY | O_DIRECTORY)};
    FileRecord file;
    TempCopy temp;
    LocalCopy copy{&recorder.context, temp};
    TransferBudget budget = budget_start(3);
    std::unique_ptr<FetcherLink> link;
    std::unique_ptr<PluginSession> session;

    // `piped`: what the pipe beside the channel holds, when there is one.
    Channel(const std::string &script, int32_t size, bool kept = false, bool removed = false,
            const std::optional<std::string> &piped = std::nullopt) {
        recorder.settings.mirror_urls = {kUrl};
        recorder.context.state_fd = state.fd;
        file.sitepath = "pub/x.dat";
        file.size = size;
        file.tempfile = scratch.file("x.dat");
        EXPECT_EQ(temp.open(recorder.context.io, file, CopyUse::kPrepare), 0);
        EXPECT_TRUE(!removed || unlink(file.tempfile.c_str()) == 0);
        if (kept) {
            file.kept = std::make_unique<KeptCopy>();
            Descriptor from{open(scratch.write("kept", {'k', 'e', 'p', 't'}).c_str(), O_RDONLY)};
            EXPECT_EQ(kept_store(state.fd, KeptCopy{kKey, "", "\"e\"", false, false}, from.fd), "");
        }
        link =
            std::make_unique<FetcherLink>(&recorder.context, -1, std::exchange(pair.ends[0], -1));
        recorder.context.fetcher = link.get();
        if (int ends[2]; piped && pipe2(ends, O_NONBLOCK) == 0) {
            EXPECT_EQ(write(ends[1], piped->data(), piped->size()), ssize_t(piped->size()));
            close(ends[1]);
            link->port().set_pipe(ends[0]);
        }
        const std::string all = frames({tell::Opened{1}}) + script;
        EXPECT_EQ(send(pair.ends[1], all.data(), all.size(), MSG_NOSIGNAL), ssize_t(all.size()));
        EXPECT_EQ(shutdown(pair.ends[1], SHUT_WR), 0);
        session = remote_session_open(&recorder.context, kPluginHttp, kUrl, budget);
    }

    // The first attempt, in the engine's order (kFailed when prepare failed).
    std::pair<bool, AttemptOutcome> drive() {
        session->look_ahead({});
        EXPECT_TRUE(session->begin_file(file));
        if (!session->prepare(file, 0, copy)) return {false, AttemptOutcome::kFailed};
        return {true, session->attempt(file, copy)};
    }
    std::string on_disk() const {
        std::ifstream in(file.tempfile, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(none)";
    }
    // What the updater told the fetcher, once the session said goodbye.
    std::vector<Message> sent() {
        session.reset();
        link.reset();
        std::string bytes;
        char chunk[4096];
        for (ssize_t got; (got = recv(pair.ends[1], chunk, sizeof chunk, 0)) > 0;)
            bytes.append(chunk, static_cast<size_t>(got));
        std::vector<Message> messages;
        for (Decoded decoded; (decoded = channel_decode(bytes)).end == DecodeEnd::kMessage;
             bytes.erase(0, decoded.used))
            messages.push_back(std::move(decoded.message));
        EXPECT_EQ(bytes, "") << "the updater sent a frame it should not";
        return messages;
    }
};

TEST(RemoteSession, HonestAttemptFillsTheCopyAsAsked) {
    const WireKept kept{1, kKey, "\"e\"", "", 1, 0};
    const struct {
        std::string script;
        bool kept;
        std::string disk;
        std::optional<std::string> pipe = std::nullopt;
    } runs[] = {
        {frames({tell::KeptFind{kKey}, tell::KeptFill{kKey}, done(AttemptOutcome::kDone, kept)}),
         true, "kept"},
        // Bytes from the channel and the pipe, in the order of their frames;
        // notices that follow one another are read as one.
        {body("01") + piped(3) + piped(2) + body("7") + piped(2) +
             frames({tell::TransferDone{}, done(AttemptOutcome::kDone)}),
         false, "0123456789",
         "23456"
         "89"},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.disk);
        Channel channel(kPrepared + run.script + frames({tell::Closed{}}), 10, run.kept, false,
                        run.pipe);
        ASSERT_NE(channel.session, nullptr);
        EXPECT_EQ(channel.drive(), std::pair(true, AttemptOutcome::kDone));
        EXPECT_EQ(channel.on_disk(), run.disk);
        EXPECT_EQ(channel.file.kept && channel.file.kept->reused, run.kept);
        // Through the copy's own receive: digested, and told as progress
        // unless it came from the kept copy.
        EXPECT_TRUE(channel.file.copy_digest_set);
        EXPECT_EQ(channel.file.copy_digest_bytes, run.disk.size());
        EXPECT_EQ(channel.recorder.words(Event::kProgress).size(), run.kept   ? 0u
                                                                   : run.pipe ? 4u
                                                                              : 1u);
        const std::vector<Message> sent = channel.sent();
        EXPECT_EQ(channel.recorder.error_text(), "");
        EXPECT_FALSE(channel.recorder.context.network_broken);
        // Open, Run and Close; the two kept copy questions have their replies in between.
        ASSERT_EQ(sent.size(), run.kept ? 5u : 3u);
        EXPECT_TRUE(std::holds_alternative<ask::Run>(sent[1]));
        EXPECT_TRUE(std::holds_alternative<ask::Close>(sent.back()));
    }
}

// The fetcher runs the next file ahead while the updater checks the one
// before: that run answers the first attempt at exactly that file; any
// other word (here, a retry of the file before) skips it whole, and
// nothing of it reaches any copy.
TEST(RemoteSession, RunsAheadAnswerOnlyFirstAttemptsAtTheirFilesInTheirOrder) {
    const std::string first =
        kPrepared + body("0123456789") + frames({done(AttemptOutcome::kDone)});
    const auto ahead = [](const std::string &name) {
        return frames({tell::Ahead{WireFile{"pub/" + name, 0, 3, 0, 0, 0, 0}, {3, 0}}}) +
               kPrepared + body(std::string(3, name[0])) + frames({done(AttemptOutcome::kDone)});
    };
    const std::string retry = kPrepared + frames({tell::CopyTruncate{}}) + body("9876543210") +
                              frames({done(AttemptOutcome::kDone)});
    std::string too_many;
    for (uint32_t count = 0; count <= kRunAheadLimit; count++) too_many += ahead("y.dat");
    const std::string fresh_z = kPrepared + body("ZZZ") + frames({done(AttemptOutcome::kDone)});
    // Taken one after the other; skipped, all those run after the refused
    // copy's file, or after a file the engine passed over, even the one it
    // turned to (the fetcher answers its run afresh); more than the fetcher
    // may run ahead break the run off.
    enum class Then { kTake, kRefuse, kPassOver, kTooMany };
    for (const Then then : {Then::kTake, Then::kRefuse, Then::kPassOver, Then::kTooMany}) {
        SCOPED_TRACE(static_cast<int>(then));
        const std::string both = ahead("y.dat") + ahead("z.dat");
        const std::string script = then == Then::kTooMany    ? too_many + retry
                                   : then == Then::kRefuse   ? both + retry
                                   : then == Then::kPassOver ? both + fresh_z
                                                             : both;
        Channel channel(first + script + frames({tell::Closed{}}), 10);
        std::vector<FileRecord> next(2);
        std::vector<std::unique_ptr<TempCopy>> temps;
        for (size_t index = 0; index < next.size(); index++) {
            const std::string name = index == 0 ? "y.dat" : "z.dat";
            next[index].sitepath = "pub/" + name;
            next[index].size = 3;
            next[index].tempfile = channel.scratch.file(name);
            temps.push_back(std::make_unique<TempCopy>());
            ASSERT_EQ(
                temps.back()->open(channel.recorder.context.io, next[index], CopyUse::kPrepare), 0);
        }
        EXPECT_EQ(channel.drive(), std::pair(true, AttemptOutcome::kDone));
        if (then == Then::kTake || then == Then::kPassOver) {
            for (size_t index = then == Then::kTake ? 0 : 1; index < next.size(); index++) {
                LocalCopy copy{&channel.recorder.context, *temps[index]};
                ASSERT_TRUE(channel.session->prepare(next[index], 0, copy));
                EXPECT_EQ(channel.session->attempt(next[index], copy), AttemptOutcome::kDone);
            }
        } else {
            channel.session->copy_refused();
            EXPECT_EQ(
                channel.session->prepare(channel.file, 1, channel.copy) &&
                    channel.session->attempt(channel.file, channel.copy) == AttemptOutcome::kDone,
                then == Then::kRefuse);
        }
        for (const FileRecord &file : next) {
            std::ifstream written(file.tempfile, std::ios::binary);
            const char name = file.sitepath->at(4);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}),
                      then == Then::kTake                      ? std::string(3, name)
                      : then == Then::kPassOver && name == 'z' ? "ZZZ"
                                                               : "");
        }
        EXPECT_EQ(channel.on_disk(), then == Then::kRefuse ? "9876543210" : "0123456789");
        EXPECT_EQ(channel.recorder.context.network_broken, then == Then::kTooMany);
        std::vector<std::string> errors;
        for (const ErrorRecord &record : channel.recorder.errors) errors.push_back(record.text);
        EXPECT_EQ(errors, then == Then::kTooMany
                              ? std::vector<std::string>{"the network side broke off the run (it "
                                                         "sent a message the updater did not "
                                                         "expect)"}
                              : std::vector<std::string>{});
        channel.sent();
    }
}

// How a lie is set up: a kept copy may answer the file, the copy is gone
// before the attempt opens it, the lie comes before Prepared.
constexpr uint8_t kKept = 1, kRemoved = 2, kEarly = 4;

struct Lie {
    const char *name;
    std::string script;  // after the session's opening
    std::string why;
    uint8_t setup = 0;
    std::string disk = "";                           // what the copy holds after all
    int32_t size = 0;                                // the file's listed size (0: none)
    std::optional<std::string> pipe = std::nullopt;  // what the pipe holds, if there is one
};

TEST(RemoteSession, LyingFetcherBreaksOffTheRunForGood) {
    const std::string unexpected = "it sent a message the updater did not expect";
    const std::string forged = "it sent an error the network side cannot raise";
    const auto error = [&](int32_t class_) {
        return kPrepared + frames({tell::Error{class_, 0, "recv", "forged"}}) + kAfter;
    };
    const auto claim = [](uint8_t reused) {
        return frames({done(AttemptOutcome::kDone, WireKept{1, kKey, "\"e\"", "", reused, 0})});
    };
    const std::string found = kPrepared + frames({tell::KeptFind{kKey}});
    const std::string too_large = "it sent more of a file than the file may hold";
    const Lie lies[] = {
        {"body over the size", kPrepared + body("0123456789X"), too_large, 0, "", 10},
        {"second body over the size", kPrepared + body("012345") + body("6789X"), too_large, 0,
         "012345", 10},
        {"body for no copy", kAfter, "it sent a body for a copy that is not open",
         kRemoved | kEarly, "(none)"},
        {"error of the fetcher's break", error(ERR_FETCHER), forged},
        {"a run ahead out of turn",
         kPrepared + frames({tell::Ahead{WireFile{"pub/y.dat", 0, 3, 0, 0, 0, 0}, {3, 0}}}) +
             kAfter,
         unexpected},
        {"error of no class", error(ERR_FETCHER + 1), forged},
        {"error of a negative class", error(-1), forged},
        {"reused without a fill", found + claim(1), unexpected, kKept},
        {"kept for a file without one", kPrepared + claim(0), unexpected},
        {"fill of another key", found + frames({tell::KeptFill{kKey + "x"}}) + kAfter, unexpected,
         kKept},
        {"fill of no key", kPrepared + frames({tell::KeptFill{""}}) + kAfter, unexpected, kKept},
        {"find of another file's key", kPrepared + frames({tell::KeptFind{kKey + "x"}}) + kAfter,
         unexpected, kKept},
        {"kept under another file's key",
         found + frames({done(AttemptOutcome::kDone, {1, kKey + "x", "", "", 0, 0})}), unexpected,
         kKept},
        {"find for a file without one", found + kAfter, unexpected},
        {"name with a line end",
         body("01234") + raw(8, tell::KeptFind::kType, {3, 0, 0, 0, 'a', '\n', 'b'}) + kAfter,
         "a string with a character it may not hold", kEarly, "01234"},
        {"frame over the limit", kPrepared + raw(kFrameLimit + 2, tell::Spin::kType, "") + kAfter,
         "a frame over the length limit"},
        {"a request to the fetcher", kPrepared + frames({ask::Run{}}) + kAfter, unexpected},
        {"a reply to the fetcher, early", frames({ask::CopyReply{}}) + kAfter, unexpected, kEarly},
        {"copy opened to read", kPrepared + frames({tell::CopyOpen{1}}) + kAfter, unexpected},
        {"more pipeline than allowed", kPrepared + frames({done(AttemptOutcome::kDone, {}, 2)}),
         unexpected},
        {"outcome past the last", kPrepared + frames({tell::AttemptDone{4, -1, 0, 1, {}}}),
         unexpected},
        {"end inside a body", kPrepared + frames({tell::Body{100}}) + "0123456789",
         "its channel ended inside a body", 0, "0123456789"},
        {"end between frames", kPrepared + body("0123"), "it ended", 0, "0123"},
        {"piped less than announced", kPrepared + piped(3) + piped(4) + kAfter,
         "it announced more of a body than it piped", 0, "01234", 0, "01234"},
        {"piped with no pipe", kPrepared + piped(3) + kAfter,
         "it announced more of a body than it piped"},
        {"piped over the size", kPrepared + piped(8) + piped(3), too_large, 0, "", 10,
         "0123456789X"},
        {"piped for no copy", piped(2) + kAfter, "it sent a body for a copy that is not open",
         kRemoved | kEarly, "(none)", 0, "xx"},
    };
    for (const Lie &lie : lies) {
        SCOPED_TRACE(lie.name);
        Channel channel(lie.script, lie.size, lie.setup & kKept, lie.setup & kRemoved, lie.pipe);
        ASSERT_NE(channel.session, nullptr);
        const auto [prepared, outcome] = channel.drive();
        EXPECT_EQ(prepared, !(lie.setup & kEarly));
        EXPECT_EQ(outcome, AttemptOutcome::kFailed);
        // Later calls fail at once.
        EXPECT_FALSE(channel.session->prepare(channel.file, 1, channel.copy));
        EXPECT_EQ(channel.session->attempt(channel.file, channel.copy), AttemptOutcome::kFailed);
        channel.session->copy_refused();
        EXPECT_TRUE(channel.recorder.context.network_broken);
        EXPECT_EQ(channel.on_disk(), lie.disk);
        EXPECT_FALSE(channel.file.kept && channel.file.kept->reused);
        // A body too large is refused by the copy first.
        std::vector<std::pair<int32_t, std::string>> errors, expected;
        if (lie.why == too_large) expected.push_back({ERR_FILE_SYSCALL, ""});
        expected.push_back({ERR_FETCHER, "the network side broke off the run (" + lie.why + ")"});
        for (const ErrorRecord &record : channel.recorder.errors)
            errors.push_back({record.class_, record.text});
        EXPECT_EQ(errors, expected);
    }
}

}  // namespace
