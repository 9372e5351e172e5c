// The fetcher's privilege drop and its Landlock ruleset. Landlock has no C library wrapper, so
// its three calls are made with syscall().
#include "support/sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/landlock.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>

#include "support/descriptor.h"
#include "support/sys_error.h"

// Older kernel headers lack these (file rights of ABI 3 and 5, TCP rules of 4, scopes of 6).
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#define LANDLOCK_RULE_NET_PORT 2
struct landlock_net_port_attr {
    __u64 allowed_access;
    __u64 port;
};
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

// The ruleset's attributes as a kernel of ABI 6 reads them: older headers' struct stops after
// the first field, and an older kernel accepts the longer one as long as the rest is zero.
struct RulesetAttr {
    __u64 handled_access_fs = 0;
    __u64 handled_access_net = 0;
    __u64 scoped = 0;
};

std::string failure(const char *call, SysError why) {
    return std::string(call) + " (" + why.text() + ")";
}

// Every file-system right the given ABI knows, so that none stays allowed by default.
uint64_t fs_rights(int32_t abi) {
    uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // those of ABI 1
    if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5) rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

int add_rule(int ruleset, int type, const void *attr) {
    return static_cast<int>(syscall(SYS_landlock_add_rule, ruleset, type, attr, 0U));
}

Account look_up(const std::string &name) {
    // Bounded: an entry longer than this is an error, never a reason to allocate more.
    std::array<char, 16384> buffer;
    passwd entry{};
    passwd *found = nullptr;
    const int code = getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    Account account;
    if (found != nullptr) return {true, entry.pw_uid, entry.pw_gid, false, {}};
    // The C libraries say "no such user" with any of these besides 0.
    if (code != 0 && code != ENOENT && code != ESRCH && code != EBADF && code != EPERM)
        account.why = {code};
    return account;
}

// Switches all ids to the account's and checks that no way back to root is left.
std::string switch_ids(const Account &account) {
    if (setgroups(0, nullptr) != 0) return failure("setgroups", SysError::last());
    const gid_t gid = account.gid;
    const uid_t uid = account.uid;
    if (setresgid(gid, gid, gid) != 0) return failure("setresgid", SysError::last());
    if (setresuid(uid, uid, uid) != 0) return failure("setresuid", SysError::last());
    uid_t real = 0, effective = 0, saved = 0;
    if (getresuid(&real, &effective, &saved) != 0) return failure("getresuid", SysError::last());
    gid_t real_group = 0, effective_group = 0, saved_group = 0;
    if (getresgid(&real_group, &effective_group, &saved_group) != 0)
        return failure("getresgid", SysError::last());
    const bool all_uid = real == uid && effective == uid && saved == uid;
    const bool all_gid = real_group == gid && effective_group == gid && saved_group == gid;
    if (!all_uid || !all_gid || uid == 0 || gid == 0)
        return "ids after the switch are not all " + std::to_string(uid) + ":" +
               std::to_string(gid) + " and non-zero";
    return "";
}

}  // namespace

Account choose_account(const std::string &user) {
    Account account = look_up(user);
    if (!account.found && !account.why) {
        account = look_up("nobody");
        account.fell_back = true;
    }
    return account;
}

std::string account_text(const Account &account) {
    return std::to_string(account.found ? 1 : 0) + ":" + std::to_string(account.uid) + ":" +
           std::to_string(account.gid) + ":" + std::to_string(account.fell_back ? 1 : 0) + ":" +
           std::to_string(account.why.code);
}

std::optional<Account> account_parse(std::string_view text) {
    uint64_t fields[5];
    for (size_t i = 0; i < 5; i++) {
        const char *end = text.data() + text.size();
        const auto [next, error] = std::from_chars(text.data(), end, fields[i]);
        if (error != std::errc() || (i < 4 ? next == end || *next != ':' : next != end))
            return std::nullopt;
        text.remove_prefix(static_cast<size_t>(next - text.data()) + (i < 4 ? 1 : 0));
    }
    const auto id_limit = uint64_t{UINT32_MAX};
    if (fields[0] > 1 || fields[1] > id_limit || fields[2] > id_limit || fields[3] > 1 ||
        fields[4] > INT32_MAX)
        return std::nullopt;
    return Account{fields[0] == 1,
                   static_cast<uid_t>(fields[1]),
                   static_cast<gid_t>(fields[2]),
                   fields[3] == 1,
                   {static_cast<int>(fields[4])}};
}

PrivilegeDrop drop_privileges(const std::string &user) {
    return drop_privileges(user, geteuid() == 0 ? choose_account(user) : Account{});
}

PrivilegeDrop drop_privileges(const std::string &user, const Account &account) {
    PrivilegeDrop drop;
    if (geteuid() == 0) {
        drop.fell_back = account.fell_back;
        const std::string name = drop.fell_back ? "nobody" : user;
        if (account.why) {
            drop.error = sys_failure("getpwnam_r", name, account.why);
            return drop;
        }
        if (!account.found) {
            drop.error = "neither user " + user + " nor nobody exists";
            return drop;
        }
        drop.error = switch_ids(account);
        if (!drop.error.empty()) return drop;
        drop.switched = true;
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        drop.error = failure("prctl PR_SET_NO_NEW_PRIVS", SysError::last());
        return drop;
    }
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        drop.error = failure("prctl PR_SET_DUMPABLE", SysError::last());
        return drop;
    }
    drop.ok = true;
    return drop;
}

LandlockResult landlock_restrict(const SandboxRules &rules) {
    LandlockResult result;
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 0) {
        const SysError why = SysError::last();
        // Missing, turned off, or kept from this process (a container's
        // system call filter answers EPERM): the run goes on without it.
        if (why.code == ENOSYS || why.code == EOPNOTSUPP || why.code == EPERM)
            result.outcome = LandlockOutcome::kUnsupported;
        result.error = failure("landlock_create_ruleset", why);
        return result;
    }
    result.abi = static_cast<int32_t>(abi);
    const bool tcp = rules.restrict_tcp && result.abi >= 4;

    RulesetAttr attr;
    attr.handled_access_fs = fs_rights(result.abi);
    if (tcp)
        attr.handled_access_net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    if (result.abi >= 6) attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
    const Descriptor ruleset(
        static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0U)));
    if (ruleset.fd < 0) {
        result.error = failure("landlock_create_ruleset", SysError::last());
        return result;
    }

    for (const std::string &path : rules.read_paths) {
        const Descriptor target(open(path.c_str(), O_PATH | O_CLOEXEC));
        if (target.fd < 0) {
            const SysError why = SysError::last();
            // What is not there, or not ours to read anyway, needs no rule.
            if (why.code == ENOENT || why.code == ENOTDIR || why.code == EACCES) continue;
            result.error = sys_failure("open", path, why);
            return result;
        }
        struct stat status {};
        if (fstat(target.fd, &status) != 0) {
            result.error = sys_failure("fstat", path, SysError::last());
            return result;
        }
        // The kernel refuses directory rights on anything but a directory.
        landlock_path_beneath_attr beneath{};
        beneath.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
        if (S_ISDIR(status.st_mode)) beneath.allowed_access |= LANDLOCK_ACCESS_FS_READ_DIR;
        beneath.parent_fd = target.fd;
        if (add_rule(ruleset.fd, LANDLOCK_RULE_PATH_BENEATH, &beneath) != 0) {
            result.error = sys_failure("landlock_add_rule", path, SysError::last());
            return result;
        }
    }
    for (const uint16_t port : tcp ? rules.tcp_ports : std::vector<uint16_t>{}) {
        const landlock_net_port_attr connect{LANDLOCK_ACCESS_NET_CONNECT_TCP, port};
        if (add_rule(ruleset.fd, LANDLOCK_RULE_NET_PORT, &connect) != 0) {
            result.error =
                sys_failure("landlock_add_rule port", std::to_string(port), SysError::last());
            return result;
        }
    }

    // Without it only a process with CAP_SYS_ADMIN may restrict itself.
    const int no_new_privs = prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0);
    if (no_new_privs < 0) {
        result.error = failure("prctl PR_GET_NO_NEW_PRIVS", SysError::last());
        return result;
    }
    if (no_new_privs == 0 && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        result.error = failure("prctl PR_SET_NO_NEW_PRIVS", SysError::last());
        return result;
    }
    if (syscall(SYS_landlock_restrict_self, ruleset.fd, 0U) != 0) {
        result.error = failure("landlock_restrict_self", SysError::last());
        return result;
    }
    result.outcome = LandlockOutcome::kRestricted;
    result.tcp_restricted = tcp;
    return result;
}

bool die_with_parent() {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) return false;
    // A parent that died before the request left us to init, and no signal will come.
    return getppid() != 1;
}
