// The updater's link to its fetcher: the process, the channel, the events
// it sends told as if raised here, its runs ahead taken or skipped, and the
// one way the conversation ends early.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "core/context.h"
#include "core/records.h"
#include "transfer/channel_port.h"
#include "transfer/fetch_channel.h"

class FetcherLink {
   public:
    // The fetcher `pid` at the other end of the socket `fd` (owned).
    FetcherLink(EngineContext *context, pid_t pid, int fd);
    FetcherLink(const FetcherLink &) = delete;
    FetcherLink &operator=(const FetcherLink &) = delete;
    // Closes the channel, which ends the fetcher, and reaps it.
    ~FetcherLink();

    ChannelPort &port() { return port_; }
    // Sends, noting the first message after an attempt's end that decides
    // on a file the fetcher may have run ahead.
    void send(const Message &message);
    // An attempt of the session ended: what is sent next is that word.
    void watch(uint32_t session);
    // Reads and drops `length` bytes of a body from the channel or the
    // pipe: false when the conversation broke meanwhile.
    bool drop_body(uint32_t length, bool piped);
    EngineContext *context() const { return context_; }
    // The next message that is not an event, the events before it told
    // as if raised here; `file` is the one a progress event is about.
    // Absent once the conversation is broken off.
    std::optional<Message> next(const FileRecord *file);
    bool broken() const { return broken_; }
    // Ends the conversation for good: one error line, the fetcher killed,
    // the run marked so that nothing is installed.
    void break_off(const std::string &why);
    uint32_t new_session() { return ++sessions_; }

   private:
    // Tells an event message: false when it is none.
    bool tell_event(const Message &message, const FileRecord *file);
    // Whether the run ahead is the answer to the word sent.
    bool taken(const tell::Ahead &ahead) const;
    // Skips the messages of a run ahead that the word did not take.
    bool skip(const tell::Ahead &ahead);
    const char *intern(const std::string &name);

    EngineContext *context_;  // not owned
    pid_t pid_;
    ChannelPort port_;
    bool broken_ = false;
    uint32_t sessions_ = 0;
    bool watching_ = false;  // for the first message after an attempt's end
    uint32_t watched_ = 0;   // of this session
    std::optional<Message> word_;
    bool ahead_may_come_ = false;  // an attempt's end was read last
    uint32_t skipped_ = 0;         // runs ahead skipped since the last other message
    // Error records keep their call's name by pointer.
    std::set<std::string> names_;
};
