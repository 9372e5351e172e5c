// The requests outstanding on the HTTP client's connection, in the order
// they were sent, which is the order their replies come in: what lets a
// session ask for the next files before the reply it reads has ended.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>

#include "core/records.h"
#include "transfer/http.h"

class HttpPipeline {
   public:
    explicit HttpPipeline(HttpClient &client) : client_(client) {}

    // Forgets the requests of a connection that is gone (closed, or
    // replaced by another): their replies will never come.
    void settle();
    // Whether the next reply on the connection answers `target` for `file`.
    bool next_is(const FileRecord &file, const std::string &target) const;
    bool empty() const { return outstanding_.empty(); }
    // Whether the next reply answers a request for `file`, whatever its
    // target, and that request is on the wire.
    bool next_for(const FileRecord &file) const {
        return outstanding_.size() > held_ && outstanding_.front().file == &file;
    }
    size_t size() const { return outstanding_.size(); }
    // Whether the next reply answers a request that was sent ahead.
    bool next_was_ahead() const { return !outstanding_.empty() && outstanding_.front().ahead; }
    // A request went out on the connection; `ahead` when it went behind
    // another whose reply was still to come.
    void sent(const FileRecord &file, std::string target, bool ahead);
    // The last `count` requests sent were held back (HttpClient::gate), or
    // that many of the held ones went out: no reply comes for one held.
    void hold(size_t count) { held_ = std::min(held_ + count, outstanding_.size()); }
    void release(size_t count) { held_ -= std::min(count, held_); }
    size_t held() const { return held_; }
    // The next reply was read whole.
    void answered();
    // How many requests may go ahead of their turn now: none unless the
    // connection answered one already and its server did not say it closes
    // (Received::peer_closes); then up to what the run allows outstanding.
    size_t room_ahead() const;
    // A request sent ahead whose connection ended before the first byte of
    // its reply: the server closed a connection it had kept, and the
    // request is sent again without counting an attempt. A server that did
    // so before answering anything sent ahead gets no more requests ahead
    // in this run.
    bool lost_ahead();
    // Closes the connection: the requests outstanding are asked again.
    void drop();

   private:
    struct Outstanding {
        const FileRecord *file;
        std::string target;
        bool ahead;
    };
    HttpClient &client_;
    std::deque<Outstanding> outstanding_;
    uint32_t connection_ = 0;  // client_.opened when the requests went out
    int32_t answered_ = 0;     // replies read whole on that connection
    size_t held_ = 0;          // the last of outstanding_, held back
};
