// The network side of a run: a process forked before the first connection
// that drops root and confines itself, then makes every connection of the
// run for the updater, which gets everything back over one strict channel.
#pragma once

#include <memory>
#include <string>

#include "core/context.h"
#include "transfer/channel_port.h"
#include "transfer/remote_session.h"

struct FetcherStart {
    std::unique_ptr<FetcherLink> link;  // null when the fetcher could not start
    std::string error;                  // then why
    bool switched = false;              // it runs as another user than the updater
    bool fell_back = false;             // as nobody, since the user asked for does not exist
    bool landlock = false;              // it is confined by Landlock
    std::string landlock_why;           // why it is not
};

// Starts the fetcher for the run of `context` (this program again, in its
// fetcher mode), which then runs as `user` (as nobody when no such user
// exists) when started as root.
FetcherStart fetcher_start(EngineContext *context, const std::string &user);

// Whether this process was started as a fetcher: the argument "--fetcher"
// (and, as root, the account chosen for it), with the channel as
// descriptor 3.
bool fetcher_mode(int argc, char **argv);
// The fetcher's life: its settings from the channel, the switch (to the
// `account` chosen for it, in account_text's form, or looked up here when
// null) and the confinement, then the updater's requests; the exit status.
int fetcher_main(const char *account = nullptr);

// The fetcher's work once confined: serves the updater's requests on the
// port until the channel ends; the process's exit status.
int fetcher_serve(EngineContext &context, ChannelPort &port);
