// Installation services: path expansion, check/install/self-update across
// file systems, copying with times, and running a replaced executable.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "frontend/updcons.h"
#include "tests/unit/frontend/stdout_capture.h"

namespace {

constexpr long kTmpfsMagic = 0x01021994;

std::string make_temp_dir(const std::string &parent) {
    std::string pattern = parent + "/qavo-install-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return "";
    return pattern;
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

class ExpandPathTest : public ::testing::Test {
   protected:
    void SetUp() override {
        state_.config = config_new();
        ASSERT_NE(state_.config, nullptr);
    }
    void TearDown() override { config_free(state_.config); }

    void set(const char *name, const char *value) {
        ConfigOption *option = config_find_option(state_.config, "global", name);
        ASSERT_NE(option, nullptr) << name;
        free(option->value.string);
        option->value.string = strdup(value);
    }
    // Expands text; "<failed>" when expand_path reports failure.
    std::string expand(const char *text) {
        char *path = strdup(text);
        const int result = expand_path(&state_, &path);
        std::string expanded = path;
        free(path);
        return result == 0 ? expanded : "<failed>";
    }

    RunState state_{};
};

// Two file systems: a directory on the disk and one on a tmpfs.
class InstallTest : public ::testing::Test {
   protected:
    void SetUp() override {
        disk_ = make_temp_dir("/tmp");
        ASSERT_FALSE(disk_.empty()) << strerror(errno);
        struct statfs fs;
        if (statfs("/dev/shm", &fs) == 0 && fs.f_type == kTmpfsMagic) {
            other_ = make_temp_dir("/dev/shm");
        } else {
            other_ = make_temp_dir("/tmp");
            if (!other_.empty() && mount("qavo", other_.c_str(), "tmpfs", 0, "size=4m") == 0) {
                mounted_ = true;
            }
        }
    }
    void TearDown() override {
        if (mounted_) umount(other_.c_str());
        if (!other_.empty()) std::system(("rm -rf '" + other_ + "'").c_str());
        std::system(("rm -rf '" + disk_ + "'").c_str());
    }
    bool two_file_systems() {
        struct stat a, b;
        return !other_.empty() && stat(disk_.c_str(), &a) == 0 && stat(other_.c_str(), &b) == 0 &&
               a.st_dev != b.st_dev;
    }

    RunState state_{};
    std::string disk_;
    std::string other_;
    bool mounted_ = false;
};

}  // namespace

TEST_F(ExpandPathTest, DefaultsReplaceEveryPlaceholder) {
    EXPECT_EQ(expand("${DATADIR}/${PLATFORM}/x"), "/var/opt/qavo/i686/x");
    EXPECT_EQ(expand("${BINDIR}/a:${BINDIR}/b"), "/opt/qavo/bin/a:/opt/qavo/bin/b");
    EXPECT_EQ(expand("${INSTALL}|${CONFDIR}"), "/var/opt/qavo|/etc/opt/qavo");
    EXPECT_EQ(expand("/plain/path"), "/plain/path");
    EXPECT_EQ(expand("${UNKNOWN}/${DATADIR"), "${UNKNOWN}/${DATADIR");
}

TEST_F(ExpandPathTest, ValuesWithLaterPlaceholdersAreExpandedToo) {
    set("INSTALL", "/srv/${PLATFORM}");
    set("PLATFORM", "x86_64");
    EXPECT_EQ(expand("${INSTALL}/lib"), "/srv/x86_64/lib");
    // An earlier placeholder in a later value has had its turn already.
    set("BINDIR", "${INSTALL}/bin");
    EXPECT_EQ(expand("${BINDIR}"), "${INSTALL}/bin");
}

TEST_F(ExpandPathTest, ValueContainingItsOwnPlaceholderIsExpandedOnce) {
    set("DATADIR", "/d/${DATADIR}");
    EXPECT_EQ(expand("${DATADIR}:${DATADIR}"), "/d/${DATADIR}:/d/${DATADIR}");
    set("DATADIR", "${DATADIR}${DATADIR}");
    EXPECT_EQ(expand("${DATADIR}"), "${DATADIR}${DATADIR}");
}

TEST_F(ExpandPathTest, MissingOptionOrStateFails) {
    char *path = strdup("${DATADIR}/x");
    EXPECT_EQ(expand_path(nullptr, &path), -1);
    EXPECT_STREQ(path, "${DATADIR}/x");
    ConfigSection *no_sections[1] = {nullptr};
    Config empty{no_sections, nullptr, 0, 0};  // a model without section global
    RunState bare{};
    bare.config = &empty;
    EXPECT_EQ(expand_path(&bare, &path), -1);
    free(path);
    char *plain = strdup("/no/placeholders");
    EXPECT_EQ(expand_path(&bare, &plain), 0);  // nothing to look up
    free(plain);
}

TEST_F(InstallTest, CheckCreatesAMissingDestinationEmptyWith0600) {
    const std::string src = disk_ + "/src";
    const std::string dst = disk_ + "/dst";
    EXPECT_EQ(install_file(&state_, 0, src.c_str(), dst.c_str()), -1);  // no source
    EXPECT_FALSE(exists(dst));
    write_file(src, "payload");
    const mode_t old_mask = umask(022);
    EXPECT_EQ(install_file(&state_, 0, src.c_str(), dst.c_str()), 0);
    umask(old_mask);
    struct stat info;
    ASSERT_EQ(stat(dst.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    write_file(dst, "old");
    EXPECT_EQ(install_file(&state_, 0, src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(read_file(dst), "old");  // an existing destination is left alone
    const std::string unreachable = disk_ + "/missing-dir/dst";
    EXPECT_EQ(install_file(&state_, 0, src.c_str(), unreachable.c_str()), -1);
    EXPECT_EQ(install_file(&state_, 3, src.c_str(), dst.c_str()), -1);
}

TEST_F(InstallTest, InstallOnTheSameFileSystemLinks) {
    const std::string src = disk_ + "/src";
    const std::string dst = disk_ + "/dst";
    write_file(src, "new contents");
    write_file(dst, "old");
    ASSERT_EQ(install_file(&state_, 1, src.c_str(), dst.c_str()), 0);
    struct stat a, b;
    ASSERT_EQ(stat(src.c_str(), &a), 0);
    ASSERT_EQ(stat(dst.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(read_file(dst), "new contents");
}

TEST_F(InstallTest, InstallAcrossFileSystemsCopiesWithTheSourcesTimes) {
    if (!two_file_systems()) GTEST_SKIP() << "no tmpfs at /dev/shm and no right to mount one";
    std::string data;
    for (int i = 0; i < 10000; i++) data += static_cast<char>('a' + i % 26);  // several blocks
    for (const auto &[from, to] : {std::pair{other_, disk_}, std::pair{disk_, other_}}) {
        const std::string src = from + "/src";
        const std::string dst = to + "/dst";
        write_file(src, data);
        const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
        write_file(dst, "old");
        ASSERT_EQ(install_file(&state_, 1, src.c_str(), dst.c_str()), 0);
        struct stat a, b;
        ASSERT_EQ(stat(src.c_str(), &a), 0);
        ASSERT_EQ(stat(dst.c_str(), &b), 0);
        EXPECT_NE(a.st_dev, b.st_dev);
        EXPECT_EQ(b.st_mtime, 1200000000);
        EXPECT_EQ(b.st_atime, 1000000000);  // before reading it moves the access time
        EXPECT_EQ(read_file(dst), data);
    }
}

TEST_F(InstallTest, FailedCopyRemovesTheDestination) {
    const std::string dst = disk_ + "/dst";
    write_file(dst, "old");
    EXPECT_EQ(copy_file((disk_ + "/absent").c_str(), dst.c_str()), -1);
    EXPECT_FALSE(exists(dst));
    // A directory opens for reading but cannot be read: the copy fails midway.
    write_file(dst, "old");
    EXPECT_EQ(install_file(&state_, 1, disk_.c_str(), dst.c_str()), -1);
    EXPECT_FALSE(exists(dst));
    EXPECT_EQ(copy_file((disk_ + "/absent").c_str(), (disk_ + "/no-dir/dst").c_str()), -1);
}

TEST_F(InstallTest, SelfUpdateReplacesTheFileWithMode0755AndSetsTheFlag) {
    const std::string src = other_.empty() ? disk_ + "/new" : other_ + "/new";
    const std::string dst = disk_ + "/qavoupdate";
    write_file(src, "#!/bin/sh\n");
    write_file(dst, "old image");
    StdoutCapture capture;
    EXPECT_EQ(install_file(&state_, 2, src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(state_.self_updated, 1);
    struct stat info;
    ASSERT_EQ(stat(dst.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(read_file(dst), "#!/bin/sh\n");
}

TEST_F(InstallTest, FailedSelfUpdateReportsBothMessagesAndStillSetsTheFlag) {
    const std::string src = disk_ + "/new";
    const std::string dst = disk_ + "/no-dir/qavoupdate";
    write_file(src, "image");
    StdoutCapture capture;
    EXPECT_EQ(install_file(&state_, 2, src.c_str(), dst.c_str()), -1);
    EXPECT_EQ(capture.finish(), "Fatal Error: Can't unlink file '" + dst + "'(" + strerror(ENOENT) +
                                    ")\nFatal Error: Can't self update file '" + dst + "'\n");
    EXPECT_EQ(state_.self_updated, 1);
}

TEST_F(InstallTest, RestartRunsTheSelfUpdatedCopyAndReturnsItsStatus) {
    std::string shell = disk_ + "/shell";
    const std::string truth = disk_ + "/true";
    write_file(shell, "previous image");
    write_file(truth, "previous image");
    StdoutCapture capture;
    ASSERT_EQ(self_update_file("/bin/sh", shell.c_str()), 0);
    std::string exit3 = "exit 3";
    std::string dash_c = "-c";
    char *argv[] = {shell.data(), dash_c.data(), exit3.data(), nullptr};
    EXPECT_EQ(restart_self(argv), 3);

    std::string exit0 = "exit 0";
    argv[2] = exit0.data();
    EXPECT_EQ(restart_self(argv), 0);

    // Ended by a signal: the raw wait status, here the signal number.
    std::string kill9 = "kill -9 $$";
    argv[2] = kill9.data();
    EXPECT_EQ(restart_self(argv), 9);

    ASSERT_EQ(self_update_file("/bin/true", truth.c_str()), 0);
    char *plain[] = {const_cast<char *>(truth.c_str()), nullptr};
    EXPECT_EQ(restart_self(plain), 0);
    EXPECT_EQ(capture.finish(), "");
}

TEST_F(InstallTest, RestartOfAnImageThatCannotStartReturns255) {
    const std::string absent = disk_ + "/absent";
    char *argv[] = {const_cast<char *>(absent.c_str()), nullptr};
    EXPECT_EQ(restart_self(argv), 255);
    // No search of the command path: a bare name is looked up here only.
    char sh[] = "sh";
    char *bare[] = {sh, nullptr};
    if (!exists("sh")) {
        EXPECT_EQ(restart_self(bare), 255);
    }
    const std::string text = disk_ + "/text";
    write_file(text, "not a program");
    chmod(text.c_str(), 0755);
    char *garbage[] = {const_cast<char *>(text.c_str()), nullptr};
    EXPECT_EQ(restart_self(garbage), 255);
}
