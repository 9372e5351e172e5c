// What the network-side process gives up before it touches the network: root's ids, and through
// the kernel's Landlock every file access but reading a few paths, and TCP but a few ports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PrivilegeDrop {
    bool ok = false;         // false: the process must not go on (error says why)
    bool switched = false;   // ids changed (we were root)
    bool fell_back = false;  // the named user does not exist: switched to "nobody"
    std::string error;       // e.g. "setresuid (Operation not permitted)"
};
// As root: switches real, effective and saved uid and gid to `user` (to "nobody" when there is
// no such user), with no supplementary groups, and fails unless all of them then are that
// user's and none is 0. As anyone: then sets no-new-privileges and makes the process
// undumpable; a failure of either fails the drop.
PrivilegeDrop drop_privileges(const std::string &user);

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
