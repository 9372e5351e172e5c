// What the state directory keeps between runs: the rollback serial, per
// catalogue, only ever raised, and refused when the state could have been
// changed by someone else; and the kept catalogues with their validators.
#include <fcntl.h>
#include <sys/stat.h>

#include "engine/rollback_serial.h"
#include "support/kept_copy.h"
#include "support/whole_write.h"
#include "test_util.h"

namespace {

// A state directory `dir` in a scratch folder, opened as a run opens it.
struct State {
    ScratchDir scratch;
    std::string dir = scratch.file("state");
    Descriptor fd;
    State() { EXPECT_EQ(rollback_serial_prepare(dir, fd), ""); }
    int64_t serial(const std::string &infofile) {
        int64_t serial = -1;
        EXPECT_EQ(rollback_serial_read(fd.fd, dir, infofile, serial), "");
        return serial;
    }
    std::string raise(const std::string &infofile, int64_t serial) {
        return rollback_serial_raise(fd.fd, dir, infofile, serial);
    }
};

}  // namespace

TEST(RollbackSerial, IsKeptPerCatalogueAndNeverLowered) {
    State state;
    struct stat info;
    ASSERT_EQ(stat(state.dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(state.serial("a/qavoe.info"), 0);
    state.scratch.write("state/serials.new", {});  // left by a run that stopped while writing
    EXPECT_EQ(state.raise("a/qavoe.info", 200), "");
    EXPECT_EQ(state.raise("b qavoe.info", 100), "");
    EXPECT_EQ(state.raise("a/qavoe.info", 150), "");  // lower: kept as it was
    EXPECT_EQ(state.serial("a/qavoe.info"), 200);
    EXPECT_EQ(state.serial("b qavoe.info"), 100);
    EXPECT_EQ(state.raise("b qavoe.info", 300), "");
    EXPECT_EQ(state.serial("b qavoe.info"), 300);
    EXPECT_EQ(state.serial("a/qavoe.info"), 200);
}

TEST(RollbackSerial, DamagedOrForeignStateIsRefused) {
    State state;
    int64_t serial = 0;
    for (const char *damaged : {"12x a\n", "12 a", " a\n", "-5 a\n", "99999999999999999999 a\n"}) {
        state.scratch.write("state/serials", Bytes(damaged, damaged + strlen(damaged)));
        chmod(state.scratch.file("state/serials").c_str(), 0600);
        EXPECT_NE(rollback_serial_read(state.fd.fd, state.dir, "a", serial), "") << damaged;
        EXPECT_NE(state.raise("a", 1), "") << damaged;
    }
    // Others may write the file, or the directory: either could lower the serial.
    chmod(state.scratch.file("state/serials").c_str(), 0622);
    EXPECT_NE(rollback_serial_read(state.fd.fd, state.dir, "a", serial), "");
    chmod(state.dir.c_str(), 0777);
    Descriptor opened;
    EXPECT_NE(rollback_serial_prepare(state.dir, opened), "");
    state.scratch.write("plain", {});
    EXPECT_NE(rollback_serial_prepare(state.scratch.file("plain"), opened), "");
    EXPECT_NE(rollback_serial_prepare(state.scratch.file("missing/state"), opened), "");
}

TEST(WholeWrite, AFailedStepKeepsTheOldFileAndLeavesNothingBeside) {
    ScratchDir scratch;
    scratch.write("old", {'o'});
    std::filesystem::create_directory(scratch.file("full"));
    scratch.write("full/in", {});      // a directory with an entry: nothing is renamed over it
    scratch.write("left.new", {'x'});  // left by a run that stopped
    const auto refused = [](int, const void *) { return SysError{ENOSPC}; };
    const auto written = [](int fd, const void *) { return write_all(fd, "new", 3); };
    for (const auto &[name, fill, step, why] :
         {std::tuple{"old", +refused, ReplaceStep::kWrite, ENOSPC},
          std::tuple{"full", +written, ReplaceStep::kRename, EISDIR},
          std::tuple{"left", +written, ReplaceStep::kDone, 0}}) {
        const std::string path = scratch.file(name), next = path + ".new";
        errno = EINVAL;  // whatever an earlier call left
        const Replaced done =
            replace_file({AT_FDCWD, path.c_str(), next.c_str(), 0600}, fill, nullptr);
        EXPECT_EQ(std::pair(done.step, done.why.code), std::pair(step, why)) << name;
        EXPECT_FALSE(std::filesystem::exists(next)) << name;
    }
    EXPECT_EQ(std::filesystem::file_size(scratch.file("old")), 1u);
}

TEST(KeptCopy, ServesOnlyItsOwnUrlWholeAndPrivate) {
    State state;
    const int dir = state.fd.fd;
    Descriptor body{open(state.scratch.write("body", {'c', 'a', 't'}).c_str(), O_RDONLY)};
    const KeptCopy kept{"http://m:80/qavoe.info", "Tue, 09 Nov 2004 11:33:20 GMT", "\"3-a\"",
                        false};
    ASSERT_EQ(kept_store(dir, kept, body.fd), "");
    KeptCopy found = kept, other = kept;
    other.key += ".sig";
    ASSERT_TRUE(kept_find(dir, found));
    EXPECT_EQ(found.last_modified + found.etag, kept.last_modified + kept.etag);
    EXPECT_FALSE(kept_find(dir, other));
    off_t size = 0;
    // A copy cut short, or one that others may write, is not used.
    const std::string name = std::filesystem::directory_iterator(state.dir)->path().string();
    ASSERT_EQ(truncate(name.c_str(), std::filesystem::file_size(name) - 1), 0);
    EXPECT_FALSE(kept_find(dir, found));
    EXPECT_LT(kept_open(dir, kept.key, size).fd, 0);
    ASSERT_EQ(kept_store(dir, kept, body.fd), "");
    chmod(name.c_str(), 0622);
    EXPECT_FALSE(kept_find(dir, found));
    for (const char *value : {"", "\"a\"\r\nX-Injected: 1", "caf\xc3\xa9"})
        EXPECT_FALSE(validator_acceptable(value)) << value;
    EXPECT_TRUE(validator_acceptable("W/\"3-a\""));
}
