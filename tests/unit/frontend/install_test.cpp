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
#include <utility>
#include <vector>

#include "frontend/updcons.h"
#include "tests/unit/frontend/stdout_capture.h"

namespace {

constexpr long kTmpfsMagic = 0x01021994;

std::string make_temp_dir(const std::string &parent) {
    std::string pattern = parent + "/qavo-install-XXXXXX";
    return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}
void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}
std::string read_file(const std::string &path) {
    std::stringstream buffer;
    buffer << std::ifstream(path, std::ios::binary).rdbuf();
    return buffer.str();
}
bool exists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}
// Expands text after setting options of section global; "<failed>" when expand_path fails.
std::string expand(const std::vector<std::pair<const char *, const char *>> &settings,
                   const char *text) {
    RunState state{};
    state.config = config_new();
    for (const auto &[name, value] : settings) {
        ConfigOption *option = config_find_option(state.config, "global", name);
        free(option->value.string);
        option->value.string = strdup(value);
    }
    char *path = strdup(text);
    const int result = expand_path(&state, &path);
    std::string expanded = result == 0 ? path : "<failed>";
    free(path);
    config_free(state.config);
    return expanded;
}

TEST(ExpandPath, EachPlaceholderOnceInOptionOrder) {
    const struct {
        std::vector<std::pair<const char *, const char *>> settings;
        const char *text, *expected;
    } kCases[] = {
        {{}, "${DATADIR}/${PLATFORM}/x", "/var/opt/qavo/i686/x"},
        {{}, "${BINDIR}/a:${BINDIR}/b", "/opt/qavo/bin/a:/opt/qavo/bin/b"},
        {{}, "${INSTALL}|${CONFDIR}", "/var/opt/qavo|/etc/opt/qavo"},
        {{}, "/plain/path", "/plain/path"},
        {{}, "${UNKNOWN}/${DATADIR", "${UNKNOWN}/${DATADIR"},
        // A later placeholder in a value is expanded too, an earlier one has had its turn.
        {{{"INSTALL", "/srv/${PLATFORM}"}, {"PLATFORM", "x86_64"}},
         "${INSTALL}/lib",
         "/srv/x86_64/lib"},
        {{{"BINDIR", "${INSTALL}/bin"}}, "${BINDIR}", "${INSTALL}/bin"},
        // A value containing its own placeholder is expanded once.
        {{{"DATADIR", "/d/${DATADIR}"}}, "${DATADIR}:${DATADIR}", "/d/${DATADIR}:/d/${DATADIR}"},
        {{{"DATADIR", "${DATADIR}${DATADIR}"}}, "${DATADIR}", "${DATADIR}${DATADIR}"},
    };
    for (const auto &test : kCases)
        EXPECT_EQ(expand(test.settings, test.text), test.expected) << test.text;
}

TEST(ExpandPath, MissingOptionOrStateFails) {
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
            mounted_ = !other_.empty() && mount("qavo", other_.c_str(), "tmpfs", 0, "size=4m") == 0;
        }
        src_ = disk_ + "/src";
        dst_ = disk_ + "/dst";
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
    int install(int mode, const std::string &src, const std::string &dst) {
        return install_file(&state_, mode, src.c_str(), dst.c_str());
    }
    RunState state_{};
    std::string disk_, other_, src_, dst_;
    bool mounted_ = false;
};

TEST_F(InstallTest, CheckCreatesAMissingDestinationEmptyWith0600) {
    EXPECT_EQ(install(0, src_, dst_), -1);  // no source
    EXPECT_FALSE(exists(dst_));
    write_file(src_, "payload");
    const mode_t old_mask = umask(022);
    EXPECT_EQ(install(0, src_, dst_), 0);
    umask(old_mask);
    struct stat info;
    ASSERT_EQ(stat(dst_.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    write_file(dst_, "old");
    EXPECT_EQ(install(0, src_, dst_), 0);
    EXPECT_EQ(read_file(dst_), "old");  // an existing destination is left alone
    EXPECT_EQ(install(0, src_, disk_ + "/missing-dir/dst"), -1);
    EXPECT_EQ(install(3, src_, dst_), -1);
}

TEST_F(InstallTest, InstallLinksOnTheSameFileSystemAndCopiesWithTimesAcross) {
    write_file(src_, "new contents");
    write_file(dst_, "old");
    ASSERT_EQ(install(1, src_, dst_), 0);
    struct stat a, b;
    ASSERT_EQ(stat(src_.c_str(), &a), 0);
    ASSERT_EQ(stat(dst_.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(read_file(dst_), "new contents");

    if (!two_file_systems()) GTEST_SKIP() << "no tmpfs at /dev/shm and no right to mount one";
    std::string data;
    for (int i = 0; i < 10000; i++) data += static_cast<char>('a' + i % 26);  // several blocks
    for (const auto &[from, to] : {std::pair{other_, disk_}, std::pair{disk_, other_}}) {
        const std::string src = from + "/src2", dst = to + "/dst2";
        write_file(src, data);
        const struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, src.c_str(), times, 0), 0);
        write_file(dst, "old");
        ASSERT_EQ(install(1, src, dst), 0);
        ASSERT_EQ(stat(src.c_str(), &a), 0);
        ASSERT_EQ(stat(dst.c_str(), &b), 0);
        EXPECT_NE(a.st_dev, b.st_dev);
        EXPECT_EQ(b.st_mtime, 1200000000);
        EXPECT_EQ(b.st_atime, 1000000000);  // taken before reading moves the access time
        EXPECT_EQ(read_file(dst), data);
    }
}

TEST_F(InstallTest, FailedCopyRemovesTheDestination) {
    write_file(dst_, "old");
    EXPECT_EQ(copy_file((disk_ + "/absent").c_str(), dst_.c_str()), -1);
    EXPECT_FALSE(exists(dst_));
    // A directory opens for reading but cannot be read: the copy fails midway.
    write_file(dst_, "old");
    EXPECT_EQ(copy_file(disk_.c_str(), dst_.c_str()), -1);
    EXPECT_FALSE(exists(dst_));
    EXPECT_EQ(copy_file((disk_ + "/absent").c_str(), (disk_ + "/no-dir/dst").c_str()), -1);
}

TEST_F(InstallTest, SelfUpdateReplacesWithMode0755AndSetsTheFlagEvenOnFailure) {
    const std::string src = (other_.empty() ? disk_ : other_) + "/new";
    const std::string dst = disk_ + "/qavoupdate";
    write_file(src, "#!/bin/sh\n");
    write_file(dst, "old image");
    StdoutCapture capture;
    EXPECT_EQ(install(2, src, dst), 0);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(state_.self_updated, 1);
    struct stat info;
    ASSERT_EQ(stat(dst.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(read_file(dst), "#!/bin/sh\n");

    state_.self_updated = 0;
    const std::string unreachable = disk_ + "/no-dir/qavoupdate";
    StdoutCapture failure;
    EXPECT_EQ(install(2, src, unreachable), -1);
    EXPECT_EQ(failure.finish(), "Fatal Error: Can't unlink file '" + unreachable + "'(" +
                                    strerror(ENOENT) + ")\nFatal Error: Can't self update file '" +
                                    unreachable + "'\n");
    EXPECT_EQ(state_.self_updated, 1);
}

TEST_F(InstallTest, RestartRunsTheSelfUpdatedCopyAndReturnsItsStatus) {
    std::string shell = disk_ + "/shell";
    const std::string truth = disk_ + "/true";
    write_file(shell, "previous image");
    write_file(truth, "previous image");
    StdoutCapture capture;
    ASSERT_EQ(self_update_file("/bin/sh", shell.c_str()), 0);
    // Ended by a signal: the raw wait status, here the signal number.
    for (const auto &[script, status] :
         {std::pair{"exit 3", 3}, std::pair{"exit 0", 0}, std::pair{"kill -9 $$", 9}}) {
        std::string dash_c = "-c", command = script;
        char *argv[] = {shell.data(), dash_c.data(), command.data(), nullptr};
        EXPECT_EQ(restart_self(argv), status) << script;
    }
    ASSERT_EQ(self_update_file("/bin/true", truth.c_str()), 0);
    char *plain[] = {const_cast<char *>(truth.c_str()), nullptr};
    EXPECT_EQ(restart_self(plain), 0);
    EXPECT_EQ(capture.finish(), "");
}

TEST_F(InstallTest, RestartOfAnImageThatCannotStartReturns255) {
    const std::string absent = disk_ + "/absent", text = disk_ + "/text";
    write_file(text, "not a program");
    chmod(text.c_str(), 0755);
    for (const std::string &image : {absent, text}) {
        char *argv[] = {const_cast<char *>(image.c_str()), nullptr};
        EXPECT_EQ(restart_self(argv), 255) << image;
    }
    // No search of the command path: a bare name is looked up here only.
    char sh[] = "sh";
    char *bare[] = {sh, nullptr};
    if (!exists("sh")) {
        EXPECT_EQ(restart_self(bare), 255);
    }
}

}  // namespace
