// Temporary copies in a shared directory: what may be opened, created,
// installed from, and which directories may hold copies at all. Cases that
// need another user's file run only as root, which can hand files to nobody.
#include "support/privfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

constexpr uid_t kNobody = 65534;

class PrivateFile : public ::testing::Test {
   protected:
    void SetUp() override {
        char pattern[] = "/tmp/qavo-private-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string path(const char *name) const { return dir + "/" + name; }
    void write(const std::string &file, const std::string &text, mode_t mode = 0600) const {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        ASSERT_EQ(chmod(file.c_str(), mode), 0);
    }
    static std::string read(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static bool root() { return geteuid() == 0; }

    std::string dir;
};

// Each planted name under "copy": open refuses it with the errno given and
// the victim keeps its text; check gives the verdict an installation uses.
TEST_F(PrivateFile, OnlyARegularFileOfOurOwnWithOneNameIsOpened) {
    const std::string copy = path("copy"), victim = path("victim");
    const struct {
        const char *what;
        bool needs_root;
        std::function<void()> plant;
        int open_errno;  // 0: opened
        bool installable;
    } cases[] = {
        {"our copy", false, [&] { write(copy, "ours"); }, 0, true},
        {"link to a file", false, [&] { ASSERT_EQ(symlink(victim.c_str(), copy.c_str()), 0); },
         ELOOP, false},
        {"dangling link", false, [&] { ASSERT_EQ(symlink("/nonexistent", copy.c_str()), 0); },
         ELOOP, false},
        {"writable by others", false, [&] { write(copy, "ours", 0666); }, EPERM, false},
        {"writable by the group", false, [&] { write(copy, "ours", 0620); }, EPERM, false},
        {"second name of a file", false, [&] { ASSERT_EQ(link(victim.c_str(), copy.c_str()), 0); },
         EPERM, true},
        {"fifo", false, [&] { ASSERT_EQ(mkfifo(copy.c_str(), 0600), 0); }, EPERM, false},
        {"directory", false, [&] { ASSERT_EQ(mkdir(copy.c_str(), 0700), 0); }, EPERM, false},
        {"somebody else's file", true,
         [&] {
             write(copy, "theirs", 0644);
             ASSERT_EQ(chown(copy.c_str(), kNobody, kNobody), 0);
         },
         EPERM, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && !root()) continue;
        write(victim, "victim");
        c.plant();
        for (int flags : {O_RDONLY, O_RDWR}) {
            errno = 0;
            const int fd = private_open(copy.c_str(), flags);
            EXPECT_EQ(fd >= 0 ? 0 : errno, c.open_errno);
            if (fd >= 0) {
                EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
                EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
                close(fd);
            }
        }
        EXPECT_EQ(private_check(copy.c_str()) == 0, c.installable);
        EXPECT_EQ(read(victim), "victim");
        std::system(("rm -rf '" + copy + "'").c_str());
    }
    errno = 0;
    EXPECT_EQ(private_open(path("absent").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(private_check(path("absent").c_str()), -1);
}

TEST_F(PrivateFile, CreationIsExclusiveWithMode0600AndNeverThroughALink) {
    const mode_t saved = umask(0);
    const int fd = private_create(path("fresh").c_str(), O_WRONLY);
    umask(saved);
    ASSERT_GE(fd, 0);
    struct stat info;
    ASSERT_EQ(fstat(fd, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    close(fd);
    errno = 0;
    EXPECT_EQ(private_create(path("fresh").c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EEXIST);
    // A dangling link would otherwise create its target.
    ASSERT_EQ(symlink(path("target").c_str(), path("link").c_str()), 0);
    EXPECT_EQ(private_create(path("link").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_NE(access(path("target").c_str(), F_OK), 0);
}

TEST_F(PrivateFile, DirectoriesThatOthersCanClearAreRefused) {
    const struct {
        const char *name;
        mode_t mode;
        uid_t owner;  // 0 here stands for this process's user
        int result;
    } cases[] = {
        {"private", 0700, 0, 0},        {"readable", 0755, 0, 0},
        {"shared-sticky", 01777, 0, 0}, {"shared", 0777, 0, -1},
        {"group-shared", 0770, 0, -1},  {"group-sticky", 01770, 0, 0},
        {"theirs", 0700, kNobody, -1},  {"theirs-sticky", 01777, kNobody, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.owner != 0 && !root()) continue;
        const std::string sub = path(c.name);
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        ASSERT_EQ(chmod(sub.c_str(), c.mode), 0);
        if (c.owner != 0) {
            ASSERT_EQ(chown(sub.c_str(), c.owner, c.owner), 0);
        }
        errno = 0;
        EXPECT_EQ(private_directory_check(sub.c_str()), c.result);
        if (c.result < 0) {
            EXPECT_EQ(errno, EPERM);
        }
    }
    EXPECT_EQ(private_directory_check("/"), 0);
    write(path("plain"), "not a directory");
    EXPECT_EQ(private_directory_check(path("plain").c_str()), -1);
    EXPECT_EQ(private_directory_check(path("absent").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
