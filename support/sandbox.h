// What the network-side process gives up before it touches the network: root's ids, and through
// the kernel's Landlock every file access but reading a few paths, and TCP but a few ports.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/sys_error.h"

struct PrivilegeDrop {
    bool ok = false;         // false: the process must not go on (error says why)
    bool switched = false;   // ids changed (we were root)
    bool fell_back = false;  // the named user does not exist: switched to "nobody"
    std::string error;       // e.g. "setresuid (Operation not permitted)"
};
// The ids of the user the network side becomes: `user`'s, or nobody's (fell_back) when there
// is no such user; found false with no `why` when neither exists.
struct Account {
    bool found = false;
    uid_t uid = 0;
    gid_t gid = 0;
    bool fell_back = false;
    SysError why;  // the lookup failed
};
// Looks the account up through the C library's user database, whose modules (and what they
// load) stay in the process that asks: the updater asks in the fetcher's process before that
// starts afresh, so that the fetcher itself carries none of them.
Account choose_account(const std::string &user);
// The account as one argument of a command line, and back (nullopt for anything else).
std::string account_text(const Account &account);
std::optional<Account> account_parse(std::string_view text);

// As root: switches real, effective and saved uid and gid to the account chosen for `user`,
// with no supplementary groups, and fails unless all of them then are that user's and none is
// 0. As anyone: then sets no-new-privileges and makes the process undumpable; a failure of
// either fails the drop. Without an account, looks it up first.
PrivilegeDrop drop_privileges(const std::string &user);
PrivilegeDrop drop_privileges(const std::string &user, const Account &account);

struct SandboxRules {
    // Files, or directories readable beneath; missing ones are skipped.
    std::vector<std::string> read_paths;
    bool restrict_tcp = false;  // with ABI >= 4: TCP connect only to `tcp_ports`, bind to none
    std::vector<uint16_t> tcp_ports;
};

enum class LandlockOutcome { kRestricted, kUnsupported, kFailed };

struct LandlockResult {
    LandlockOutcome outcome = LandlockOutcome::kFailed;
    int32_t abi = 0;  // the kernel's ABI version (0: none)
    bool tcp_restricted = false;
    std::string error;  // for kUnsupported/kFailed: what was missing or which call failed
};
// Restricts the calling thread, and so a single-threaded process, for good: every file-system
// access the kernel's ABI knows is denied but reading beneath each entry of `rules.read_paths`
// that exists and that the process may open (others are skipped); with `restrict_tcp` (ABI >= 4)
// TCP binds are denied and connects allowed only to `tcp_ports`; with ABI >= 6 abstract unix
// sockets and signals stay inside the sandbox. Sets no-new-privileges when it is not yet set.
// kUnsupported also when the process may not use Landlock (a system call filter's EPERM).
LandlockResult landlock_restrict(const SandboxRules &rules);

// Asks for SIGKILL when the parent dies; false when that failed or the parent is already gone.
// Call it after drop_privileges: the kernel forgets the request when the ids change.
bool die_with_parent();
