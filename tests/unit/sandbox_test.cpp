// The fetcher's privilege drop and Landlock confinement. Neither can be undone, so each case runs
// in a forked child that reports what it saw through a pipe.
#include "support/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "support/descriptor.h"
#include "tests/unit/test_util.h"

namespace {

using Report = std::vector<int64_t>;

// What `body` returned in a forked child; empty when the child did not end normally.
Report in_child(const std::function<Report()> &body) {
    int ends[2];
    if (pipe(ends) != 0) return {};
    Descriptor reading(ends[0]), writing(ends[1]);
    const pid_t pid = fork();
    if (pid < 0) return {};
    if (pid == 0) {
        const Report report = body();
        const ssize_t size = static_cast<ssize_t>(report.size() * sizeof(int64_t));
        _exit(write(writing.fd, report.data(), static_cast<size_t>(size)) == size ? 0 : 1);
    }
    writing.reset();
    Report report;
    int64_t value = 0;
    while (read(reading.fd, &value, sizeof value) == sizeof value) report.push_back(value);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return report;
}

// 0 when the open succeeded (the descriptor is closed again), else its errno.
int64_t opened(int fd) {
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// 0 when a TCP socket could bind to, or connect to, the loopback port; else the errno.
int64_t tcp(bool bind_it, uint16_t port) {
    const Descriptor socket_end(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket_end.fd < 0) return errno;
    const sockaddr_in address = loopback(port);
    const auto *generic = reinterpret_cast<const sockaddr *>(&address);
    const auto call = bind_it ? bind : connect;
    return call(socket_end.fd, generic, sizeof address) == 0 ? 0 : errno;
}

// A loopback TCP listener on a port of the kernel's choosing.
struct Listener {
    Descriptor end{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    uint16_t port = 0;
    Listener() {
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        auto *generic = reinterpret_cast<sockaddr *>(&address);
        EXPECT_EQ(bind(end.fd, generic, size), 0);
        EXPECT_EQ(listen(end.fd, 4), 0);
        EXPECT_EQ(getsockname(end.fd, generic, &size), 0);
        port = ntohs(address.sin_port);
    }
};

struct DropCase {
    const char *name;
    const char *user;
    bool unprivileged_first;  // the child gives up root itself before the drop
    bool ok, switched, fell_back;
};

class SandboxDrop : public testing::TestWithParam<DropCase> {};

TEST_P(SandboxDrop, LeavesNoWayBackToRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const int64_t uid = nobody->pw_uid, gid = nobody->pw_gid;
    const DropCase &c = GetParam();
    const Report report = in_child([&] {
        if (c.unprivileged_first && (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
                                     setresuid(uid, uid, uid) != 0))
            _exit(2);
        const PrivilegeDrop drop = drop_privileges(c.user);
        uid_t uids[3] = {0, 0, 0};  // real, effective, saved
        gid_t gids[3] = {0, 0, 0};
        getresuid(&uids[0], &uids[1], &uids[2]);
        getresgid(&gids[0], &gids[1], &gids[2]);
        Report seen{drop.ok, drop.switched, drop.fell_back, drop.error.empty(),
                    getgroups(0, nullptr)};
        seen.insert(seen.end(),
                    {prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0), prctl(PR_GET_DUMPABLE, 0, 0, 0, 0)});
        seen.insert(seen.end(), {uids[0], uids[1], uids[2], gids[0], gids[1], gids[2]});
        seen.push_back(setresuid(0, 0, 0) == 0 ? 0 : errno);
        return seen;
    });
    ASSERT_EQ(report.size(), 14u);
    if (!c.ok) {
        EXPECT_EQ(Report(report.begin(), report.begin() + 4), (Report{0, 0, 0, 0}));
        return;
    }
    EXPECT_EQ(report, (Report{1, c.switched, c.fell_back, 1, 0, 1, 0, uid, uid, uid, gid, gid, gid,
                              EPERM}));
}

// The account chosen before the fetcher starts afresh reaches it as an
// argument: every field comes back as it was, and nothing but that form is
// taken for an account.
TEST(SandboxAccount, ComesThroughItsArgumentExactlyOrNotAtAll) {
    const Account accounts[] = {{true, 65534, 65534, true, {}},
                                {true, 4294967294u, 7, false, {}},
                                {false, 0, 0, true, {EIO}},
                                {false, 0, 0, true, {}}};
    for (const Account &account : accounts) {
        const std::string text = account_text(account);
        const std::optional<Account> back = account_parse(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(
            (Report{back->found, back->uid, back->gid, back->fell_back, back->why.code}),
            (Report{account.found, account.uid, account.gid, account.fell_back, account.why.code}))
            << text;
    }
    for (const char *text : {"", "1:2:3:0", "1:2:3:0:0:0", "2:2:3:0:0", "1:2:3:2:0", "1:-2:3:0:0",
                             "1:4294967296:3:0:0", "1:2:3:0:0x", " 1:2:3:0:0",
                             "1:2:3:0:", "1::3:0:0", "1:2:3:0:2147483648"})
        EXPECT_FALSE(account_parse(text).has_value()) << '"' << text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Sandbox, SandboxDrop,
    testing::Values(DropCase{"ToNobody", "nobody", false, true, true, false},
                    DropCase{"UnknownUserFallsBackToNobody", "qavo-no-such-user", false, true, true,
                             true},
                    DropCase{"NotRootOnlyLocksIn", "nobody", true, true, false, false},
                    DropCase{"RefusesAUserOfUidZero", "root", false, false, false, false}),
    [](const auto &info) { return std::string(info.param.name); });

enum class Probe { kRead, kWrite, kCreate, kConnectListed, kConnectUnlisted, kBind, kSignal };

struct ConfineCase {
    const char *name;
    Probe probe;
    const char *path;  // beneath the scratch directory
    bool restrict_tcp;
    int32_t min_abi;   // skipped on an older kernel
    int64_t expected;  // the probe's errno once confined; before, every probe succeeds
};

class SandboxLandlock : public testing::TestWithParam<ConfineCase> {
   protected:
    int64_t attempt(const ConfineCase &c) const {
        const std::string path = scratch.file(c.path);
        if (c.probe == Probe::kRead) return opened(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (c.probe == Probe::kWrite) return opened(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (c.probe == Probe::kConnectListed) return tcp(false, listed.port);
        if (c.probe == Probe::kConnectUnlisted) return tcp(false, unlisted.port);
        if (c.probe == Probe::kBind) return tcp(true, 0);
        if (c.probe == Probe::kSignal) return kill(getppid(), 0) == 0 ? 0 : errno;
        // kCreate: mknod needs no right on the file itself, as an open to write it would.
        const int64_t created = mknod(path.c_str(), S_IFREG | 0600, 0) == 0 ? 0 : errno;
        unlink(path.c_str());
        return created;
    }
    ScratchDir scratch;
    Listener listed, unlisted;
};

TEST_P(SandboxLandlock, ConfinesTheChild) {
    const ConfineCase &c = GetParam();
    scratch.write("listed", {1});
    scratch.write("unlisted", {2});
    ASSERT_EQ(mkdir(scratch.file("sub").c_str(), 0700), 0);
    scratch.write("sub/inner", {3});
    const SandboxRules rules{
        {scratch.file("listed"), scratch.file("sub"), scratch.file("missing/none")},
        c.restrict_tcp,
        {listed.port}};
    const Report report = in_child([&] {
        const int64_t before = attempt(c);
        const LandlockResult result = landlock_restrict(rules);
        return Report{before, static_cast<int64_t>(result.outcome), result.abi,
                      result.tcp_restricted, attempt(c)};
    });
    ASSERT_EQ(report.size(), 5u);
    if (report[1] == static_cast<int64_t>(LandlockOutcome::kUnsupported))
        GTEST_SKIP() << "no Landlock in this kernel";
    if (report[2] < c.min_abi) GTEST_SKIP() << "Landlock ABI " << report[2];
    EXPECT_EQ(report[0], 0) << "before confinement: " << strerror(static_cast<int>(report[0]));
    EXPECT_EQ(report[1], static_cast<int64_t>(LandlockOutcome::kRestricted));
    EXPECT_EQ(report[3], c.restrict_tcp);
    EXPECT_EQ(report[4], c.expected) << strerror(static_cast<int>(report[4]));
}

INSTANTIATE_TEST_SUITE_P(
    Sandbox, SandboxLandlock,
    testing::Values(
        ConfineCase{"ReadsListedFile", Probe::kRead, "listed", false, 1, 0},
        ConfineCase{"ReadsInListedDirectory", Probe::kRead, "sub/inner", false, 1, 0},
        ConfineCase{"ListsListedDirectory", Probe::kRead, "sub", false, 1, 0},
        ConfineCase{"RefusesUnlistedFile", Probe::kRead, "unlisted", false, 1, EACCES},
        ConfineCase{"RefusesUnlistedDirectory", Probe::kRead, "", false, 1, EACCES},
        ConfineCase{"RefusesWriteToListed", Probe::kWrite, "listed", false, 1, EACCES},
        ConfineCase{"RefusesCreateInTmp", Probe::kCreate, "new", false, 1, EACCES},
        ConfineCase{"ConnectsToListedPort", Probe::kConnectListed, "", true, 4, 0},
        ConfineCase{"RefusesUnlistedPort", Probe::kConnectUnlisted, "", true, 4, EACCES},
        ConfineCase{"RefusesBind", Probe::kBind, "", true, 4, EACCES},
        ConfineCase{"ConnectsAnywhereUnrestricted", Probe::kConnectUnlisted, "", false, 1, 0},
        ConfineCase{"SignalsNoOneOutside", Probe::kSignal, "", false, 6, EPERM}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

// The fetcher confines itself after it became another user: a listed path
// that user may not open needs no rule, and is no reason to refuse to run.
TEST(SandboxLandlockAsAnotherUser, SkipsWhatItMayNotOpen) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ScratchDir scratch;
    ASSERT_EQ(mkdir(scratch.file("private").c_str(), 0700), 0);
    scratch.write("private/secret", {4});
    scratch.write("open", {5});
    ASSERT_EQ(chmod(scratch.path.c_str(), 0755), 0);
    ASSERT_EQ(chmod(scratch.file("open").c_str(), 0644), 0);
    const Report report = in_child([&] {
        const PrivilegeDrop drop = drop_privileges("nobody");
        const LandlockResult result =
            landlock_restrict({{scratch.file("private/secret"), scratch.file("open")}, false, {}});
        return Report{drop.ok, static_cast<int64_t>(result.outcome),
                      opened(open(scratch.file("open").c_str(), O_RDONLY | O_CLOEXEC))};
    });
    ASSERT_EQ(report.size(), 3u);
    if (report[1] == static_cast<int64_t>(LandlockOutcome::kUnsupported))
        GTEST_SKIP() << "no Landlock in this kernel";
    EXPECT_EQ(report, (Report{1, static_cast<int64_t>(LandlockOutcome::kRestricted), 0}));
}
