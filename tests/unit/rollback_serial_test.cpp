// What the state directory keeps between runs: the rollback serial, per
// catalogue, only ever raised, and refused when the state could have been
// changed by someone else; the kept catalogues with their validators; and
// the versions installed, known only while their files stand as installed.
#include <fcntl.h>
#include <sys/stat.h>

#include "engine/installed_digests.h"
#include "engine/rollback_serial.h"
#include "integrity/md5.h"
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

TEST(InstalledDigests, KnowAFileOnlyWhileItStandsAsInstalled) {
    State state;
    // The last is too small to be worth a line.
    constexpr int32_t kSizes[] = {70000, 70000, 70000, 60000};
    std::vector<FileRecord> files(4);
    for (size_t i = 0; i < files.size(); i++) {
        FileRecord &file = files[i];
        file.sitepath = "data/" + std::to_string(i) + ".dat";
        file.localpath = state.scratch.write(std::to_string(i), Bytes(kSizes[i], 'a'));
        file.size = kSizes[i];
        file.sha256.fill(static_cast<uint8_t>(i + 1));
        file.sha256_set = true;
    }
    const std::vector<const FileRecord *> all = {&files[0], &files[1], &files[2], &files[3]};
    const auto known = [&](const std::string &catalogue, size_t i) {
        struct stat info;
        EXPECT_EQ(stat(files[i].localpath->c_str(), &info), 0);
        const InstalledDigests record = InstalledDigests::read(state.fd.fd, catalogue);
        const Sha256Value *digest = record.find(*files[i].sitepath, info);
        return digest != nullptr ? int((*digest)[0]) : 0;
    };
    files[2].size = 70001;  // not what stands there: not recorded
    InstalledDigests::note(state.fd.fd, "a.info", all, all);
    EXPECT_EQ(std::vector({known("a.info", 0), known("a.info", 1), known("a.info", 2),
                           known("a.info", 3), known("b.info", 0)}),
              std::vector({1, 2, 0, 0, 0}));
    // Changed since: another time (if only by a nanosecond), or another size.
    struct stat before;
    ASSERT_EQ(stat(files[0].localpath->c_str(), &before), 0);
    const timespec times[2] = {{0, UTIME_OMIT},
                               {before.st_mtim.tv_sec, (before.st_mtim.tv_nsec + 1) % 1000000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, files[0].localpath->c_str(), times, 0), 0);
    state.scratch.write("1", Bytes(70001, 'a'));
    EXPECT_EQ(std::pair(known("a.info", 0), known("a.info", 1)), std::pair(0, 0));
    // A later run: what it installed is recorded as it stands now, the
    // catalogue's other files keep their entries, and a file it no longer
    // lists loses its own.
    files[1].size = 70001;
    files[1].sha256.fill(7);
    files[0].sha256.fill(9);
    const std::string record = state.scratch.file("state/installed-" + md5_hex_of("a.info"));
    const auto recorded = [&] {
        std::ifstream in(record);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    InstalledDigests::note(state.fd.fd, "a.info", {&files[0], &files[2]}, {&files[0]});
    EXPECT_EQ(known("a.info", 0), 9);
    EXPECT_EQ(recorded().find("data/1.dat"), std::string::npos);
    InstalledDigests::note(state.fd.fd, "a.info", all, {&files[1]});
    EXPECT_EQ(std::pair(known("a.info", 0), known("a.info", 1)), std::pair(9, 7));
    // A damaged record, or one others may write, knows nothing.
    const std::string text = recorded();
    chmod(record.c_str(), 0622);
    EXPECT_EQ(known("a.info", 0), 0);
    for (const std::string &damaged : {text.substr(0, text.size() - 1), "x" + text, text + text,
                                       text.substr(0, text.find(' ')) + "\n"}) {
        state.scratch.write("state/" + record.substr(record.rfind('/') + 1),
                            Bytes(damaged.begin(), damaged.end()));
        chmod(record.c_str(), 0600);
        EXPECT_EQ(known("a.info", 0), 0) << damaged;
    }
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
