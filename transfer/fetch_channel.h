// The messages between the updater and its network side (the fetcher):
// typed, length-prefixed, binary, each field of a fixed width or a bounded
// string, decoded strictly. The fetcher is the side that reads bytes chosen
// by strangers, so the updater treats every message it gets as hostile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/events.h"
#include "core/records.h"

// A frame: u32 length of what follows, u8 type, the fields. A body frame
// carries its bytes raw after its fields, counted in them.
constexpr uint32_t kFrameHeader = 5;
// The most one frame may hold besides a body's bytes.
constexpr uint32_t kFrameLimit = uint32_t{1} << 18;
// The most bytes one body frame carries.
constexpr uint32_t kBodyChunkLimit = uint32_t{1} << 16;
// The most bytes one notice of piped bytes announces: what the pipe holds.
constexpr uint32_t kPipedLimit = uint32_t{1} << 20;
// A name (URL, mirror path, host, key, call) and a text (a line, an error's
// description).
constexpr uint32_t kNameLimit = 4096;
constexpr uint32_t kTextLimit = uint32_t{1} << 16;
// The files of one look ahead: with names at their limit, still a frame.
constexpr uint32_t kAheadLimit = 40;
// The most files the fetcher runs ahead before the updater's word on the
// first of them: the updater skips at most as many in a row.
constexpr uint32_t kRunAheadLimit = 8;

enum class StringKind : uint8_t {
    kName,  // no control character at all
    kText,  // no NUL: a dialogue's lines keep their line ends, as printed
    kLine,  // a text printed as one line: no control character either
};

struct Budget {
    int32_t limit = 0;
    int32_t used = 0;
    template <class F>
    void fields(F &&f) {
        f(limit), f(used);
    }
    bool operator==(const Budget &) const = default;
};

// What a file record is to the network side.
struct WireFile {
    std::string sitepath;
    int32_t time = 0;
    int32_t size = 0;
    uint32_t size_bound = 0;
    uint8_t optional = 0;
    uint8_t kept = 0;          // a kept copy may answer it
    uint8_t kept_refused = 0;  // that copy failed its checks: ask without condition
    bool operator==(const WireFile &) const = default;
    template <class F>
    void fields(F &&f) {
        f(sitepath, StringKind::kName), f(time), f(size), f(size_bound), f(optional), f(kept),
            f(kept_refused);
    }
};

// How an open of the updater's copy went.
struct CopyState {
    uint8_t use = 0;  // CopyUse
    int32_t result = -1;
    uint32_t held = 0;
    int32_t error = 0;  // errno of the failed call
    template <class F>
    void fields(F &&f) {
        f(use), f(result), f(held), f(error);
    }
};

struct WirePeers {
    uint8_t has_local = 0;
    std::string local_host;
    uint16_t local_port = 0;
    uint8_t has_remote = 0;
    std::string remote_host;
    uint16_t remote_port = 0;
    template <class F>
    void fields(F &&f) {
        f(has_local), f(local_host, StringKind::kName), f(local_port), f(has_remote),
            f(remote_host, StringKind::kName), f(remote_port);
    }
};

// What an attempt learnt of the file's kept copy.
struct WireKept {
    uint8_t present = 0;
    std::string key;
    std::string etag;
    std::string last_modified;
    uint8_t reused = 0;
    uint8_t refused = 0;
    template <class F>
    void fields(F &&f) {
        f(present), f(key, StringKind::kName), f(etag, StringKind::kName),
            f(last_modified, StringKind::kName), f(reused), f(refused);
    }
};

struct NameItem {
    std::string name;
    template <class F>
    void fields(F &&f) {
        f(name, StringKind::kName);
    }
};

// The mirrors a run may go to.
constexpr uint32_t kMirrorLimit = 64;

// The updater to the fetcher.
namespace ask {
// What the fetcher needs of the run's settings; the first message.
struct Start {
    static constexpr uint8_t kType = 8;
    std::string user;  // to run as, when started as root
    int32_t timeout = 0;
    std::vector<NameItem> mirror_urls;
    uint8_t use_proxy = 0;
    std::string proxy;
    uint8_t proxy_auth = 0;  // ProxyAuth
    std::string ca_file;
    uint8_t ftp_active = 0;
    template <class F>
    void fields(F &&f) {
        f(user, StringKind::kName), f(timeout), f(mirror_urls, kMirrorLimit), f(use_proxy),
            f(proxy, StringKind::kName), f(proxy_auth), f(ca_file, StringKind::kName),
            f(ftp_active);
    }
};
struct Open {  // a session at a mirror
    static constexpr uint8_t kType = 1;
    uint32_t session = 0;
    uint8_t plugin = 0;  // kPluginFtp or kPluginHttp
    std::string url;
    int32_t pipeline = 1;
    template <class F>
    void fields(F &&f) {
        f(session), f(plugin), f(url, StringKind::kName), f(pipeline);
    }
};
struct Close {
    static constexpr uint8_t kType = 2;
    uint32_t session = 0;
    Budget budget;
    template <class F>
    void fields(F &&f) {
        f(session), f(budget);
    }
};
// The files after the one under way: the last list less its first `drop`,
// then `more`.
struct LookAhead {
    static constexpr uint8_t kType = 3;
    uint32_t session = 0;
    uint32_t drop = 0;
    std::vector<WireFile> more;
    template <class F>
    void fields(F &&f) {
        f(session), f(drop), f(more, kAheadLimit);
    }
};
// Prepare and, when that succeeds, one attempt at the file; the copy was
// opened already as `offer` says.
struct Run {
    static constexpr uint8_t kType = 4;
    uint32_t session = 0;
    WireFile file;
    int32_t attempt = 0;
    Budget budget;
    CopyState offer;
    template <class F>
    void fields(F &&f) {
        f(session), f(file), f(attempt), f(budget), f(offer);
    }
};
struct CopyReply {
    static constexpr uint8_t kType = 5;
    CopyState state;
    template <class F>
    void fields(F &&f) {
        f(state);
    }
};
struct KeptReply {
    static constexpr uint8_t kType = 6;
    uint8_t ok = 0;
    std::string etag;
    std::string last_modified;
    template <class F>
    void fields(F &&f) {
        f(ok), f(etag, StringKind::kName), f(last_modified, StringKind::kName);
    }
};
// The copy of the last attempt failed its checks.
struct Refused {
    static constexpr uint8_t kType = 7;
    uint32_t session = 0;
    template <class F>
    void fields(F &&f) {
        f(session);
    }
};
}  // namespace ask

// The fetcher to the updater.
namespace tell {
struct Started {
    static constexpr uint8_t kType = 16;
    uint8_t ok = 0;
    uint8_t switched = 0;  // runs as another user
    uint8_t landlock = 0;  // LandlockOutcome
    int32_t abi = 0;
    std::string why;        // of a failure, or of a missing Landlock
    uint8_t fell_back = 0;  // the user asked for does not exist: runs as nobody
    template <class F>
    void fields(F &&f) {
        f(ok), f(switched), f(landlock), f(abi), f(why, StringKind::kLine), f(fell_back);
    }
};
struct Opened {
    static constexpr uint8_t kType = 17;
    uint8_t ok = 0;
    template <class F>
    void fields(F &&f) {
        f(ok);
    }
};
struct Closed {
    static constexpr uint8_t kType = 18;
    template <class F>
    void fields(F &&) {}
};
struct Prepared {
    static constexpr uint8_t kType = 19;
    uint8_t ok = 0;
    template <class F>
    void fields(F &&f) {
        f(ok);
    }
};
struct CopyOpen {
    static constexpr uint8_t kType = 20;
    uint8_t use = 0;
    template <class F>
    void fields(F &&f) {
        f(use);
    }
};
struct CopyTruncate {
    static constexpr uint8_t kType = 21;
    template <class F>
    void fields(F &&) {}
};
struct CopyRewind {
    static constexpr uint8_t kType = 22;
    template <class F>
    void fields(F &&) {}
};
// `length` bytes of the file follow, raw.
struct Body {
    static constexpr uint8_t kType = 23;
    uint32_t length = 0;
    template <class F>
    void fields(F &&f) {
        f(length);
    }
};
// `length` bytes of the file wait in the pipe beside the channel, put
// there by the kernel straight from a plain connection.
struct Piped {
    static constexpr uint8_t kType = 29;
    uint32_t length = 0;
    template <class F>
    void fields(F &&f) {
        f(length);
    }
};
struct KeptFind {
    static constexpr uint8_t kType = 24;
    std::string key;
    template <class F>
    void fields(F &&f) {
        f(key, StringKind::kName);
    }
};
struct KeptFill {
    static constexpr uint8_t kType = 25;
    std::string key;
    template <class F>
    void fields(F &&f) {
        f(key, StringKind::kName);
    }
};
// The failure of the last open is the attempt's: the updater records it.
struct CopyReport {
    static constexpr uint8_t kType = 27;
    template <class F>
    void fields(F &&) {}
};
struct AttemptDone {
    static constexpr uint8_t kType = 26;
    uint8_t outcome = 0;  // AttemptOutcome
    int64_t retry_after = -1;
    int32_t budget_used = 0;
    int32_t pipeline = 1;
    WireKept kept;
    template <class F>
    void fields(F &&f) {
        f(outcome), f(retry_after), f(budget_used), f(pipeline), f(kept);
    }
};
// The fetcher ran the first attempt at `file` with `budget` (and the copy
// emptied) before it was asked: what follows, up to that attempt's end, is
// the answer when the updater's next word is exactly that run, and is
// dropped otherwise.
struct Ahead {
    static constexpr uint8_t kType = 28;
    WireFile file;
    Budget budget;
    template <class F>
    void fields(F &&f) {
        f(file), f(budget);
    }
};
// The events of the network side, in the order raised.
struct Error {
    static constexpr uint8_t kType = 32;
    int32_t class_ = 0;
    int32_t code = 0;
    std::string call;
    std::string text;
    template <class F>
    void fields(F &&f) {
        f(class_), f(code), f(call, StringKind::kName), f(text, StringKind::kLine);
    }
};
struct Spin {
    static constexpr uint8_t kType = 33;
    int32_t slice = 0;
    int32_t slices = 0;
    template <class F>
    void fields(F &&f) {
        f(slice), f(slices);
    }
};
struct Connecting {
    static constexpr uint8_t kType = 34;
    WirePeers peers;
    template <class F>
    void fields(F &&f) {
        f(peers);
    }
};
struct SentLine {
    static constexpr uint8_t kType = 35;
    std::string line;
    template <class F>
    void fields(F &&f) {
        f(line, StringKind::kText);
    }
};
struct ReceivedLine {
    static constexpr uint8_t kType = 36;
    std::string line;
    template <class F>
    void fields(F &&f) {
        f(line, StringKind::kText);
    }
};
struct DataReady {
    static constexpr uint8_t kType = 37;
    template <class F>
    void fields(F &&) {}
};
struct Timeout {
    static constexpr uint8_t kType = 38;
    template <class F>
    void fields(F &&) {}
};
struct ConnectionClosed {
    static constexpr uint8_t kType = 39;
    WirePeers peers;
    template <class F>
    void fields(F &&f) {
        f(peers);
    }
};
// The file's transfer starts over from its first byte.
struct Progress {
    static constexpr uint8_t kType = 40;
    template <class F>
    void fields(F &&) {}
};
struct TransferDone {
    static constexpr uint8_t kType = 41;
    template <class F>
    void fields(F &&) {}
};
}  // namespace tell

constexpr uint8_t kPluginFtp = 1;
constexpr uint8_t kPluginHttp = 2;

using Message =
    std::variant<ask::Start, ask::Open, ask::Close, ask::LookAhead, ask::Run, ask::CopyReply,
                 ask::KeptReply, ask::Refused, tell::Started, tell::Opened, tell::Closed,
                 tell::Prepared, tell::CopyOpen, tell::CopyTruncate, tell::CopyRewind, tell::Body,
                 tell::Piped, tell::KeptFind, tell::KeptFill, tell::CopyReport, tell::AttemptDone,
                 tell::Ahead, tell::Error, tell::Spin, tell::Connecting, tell::SentLine,
                 tell::ReceivedLine, tell::DataReady, tell::Timeout, tell::ConnectionClosed,
                 tell::Progress, tell::TransferDone>;

// The messages' records of what the updater and its listener know.
WireFile wire_file(const FileRecord &file);
WireKept wire_kept(const FileRecord &file);
WirePeers wire_peers(const Peers &peers);
// Valid as long as the record.
Peers peers_of(const WirePeers &wire);

// Whether the updater's next word after an attempt's end, `word` (a Run of
// session `session`, or null for anything else), takes the fetcher's run
// ahead: exactly the first attempt at that file, with a fresh budget and
// the copy emptied. Both ends decide by this alone.
bool run_takes_ahead(const ask::Run *word, uint32_t session, const tell::Ahead &ahead);

// Appends the message's frame (a body's header only: its bytes follow).
void channel_encode(std::string &out, const Message &message);

enum class DecodeEnd {
    kMessage,     // `message` took the first `used` bytes
    kIncomplete,  // the frame is not all there yet
    kRefused,     // malformed: `why` says how
};

struct Decoded {
    DecodeEnd end = DecodeEnd::kIncomplete;
    size_t used = 0;
    Message message;
    std::string why;
};

// The frame at the start of `bytes`. A frame is refused when its length
// is over the limit, its type unknown, a field runs past its end or bytes
// are left after its last field, a string is over its limit or holds a
// character its kind does not allow, or a list is over its limit.
Decoded channel_decode(std::string_view bytes);
// The length a frame's header announces, without the header; -1 when
// `bytes` holds less than a header.
int64_t channel_frame_length(std::string_view bytes);
