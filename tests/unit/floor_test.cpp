// The rollback floor kept between runs: per catalogue, only ever raised,
// and refused when the state could have been changed by someone else.
#include <sys/stat.h>

#include "engine/floor.h"
#include "test_util.h"

namespace {

int64_t floor_of(const std::string &dir, const std::string &infofile) {
    int64_t serial = -1;
    EXPECT_EQ(floor_read(dir, infofile, serial), "");
    return serial;
}

}  // namespace

TEST(Floor, IsKeptPerCatalogueAndNeverLowered) {
    ScratchDir scratch;
    const std::string dir = scratch.file("state");
    ASSERT_EQ(floor_prepare(dir), "");
    struct stat info;
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(floor_of(dir, "a/qavoe.info"), 0);
    scratch.write("state/serials.new", {});  // left by a run that stopped while writing
    EXPECT_EQ(floor_raise(dir, "a/qavoe.info", 200), "");
    EXPECT_EQ(floor_raise(dir, "b qavoe.info", 100), "");
    EXPECT_EQ(floor_raise(dir, "a/qavoe.info", 150), "");  // lower: kept as it was
    EXPECT_EQ(floor_of(dir, "a/qavoe.info"), 200);
    EXPECT_EQ(floor_of(dir, "b qavoe.info"), 100);
    EXPECT_EQ(floor_raise(dir, "b qavoe.info", 300), "");
    EXPECT_EQ(floor_of(dir, "b qavoe.info"), 300);
    EXPECT_EQ(floor_of(dir, "a/qavoe.info"), 200);
}

TEST(Floor, DamagedOrForeignStateIsRefused) {
    ScratchDir scratch;
    const std::string dir = scratch.file("state");
    ASSERT_EQ(floor_prepare(dir), "");
    int64_t serial = 0;
    for (const char *damaged : {"12x a\n", "12 a", " a\n", "-5 a\n", "99999999999999999999 a\n"}) {
        scratch.write("state/serials", Bytes(damaged, damaged + strlen(damaged)));
        chmod(scratch.file("state/serials").c_str(), 0600);
        EXPECT_NE(floor_read(dir, "a", serial), "") << damaged;
        EXPECT_NE(floor_raise(dir, "a", 1), "") << damaged;
    }
    // Others may write the file, or the directory: either could lower the floor.
    chmod(scratch.file("state/serials").c_str(), 0622);
    EXPECT_NE(floor_read(dir, "a", serial), "");
    chmod(dir.c_str(), 0777);
    EXPECT_NE(floor_prepare(dir), "");
    scratch.write("plain", {});
    EXPECT_NE(floor_prepare(scratch.file("plain")), "");
    EXPECT_NE(floor_prepare(scratch.file("missing/state")), "");
}
