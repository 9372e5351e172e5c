// The check before an installation, which keeps a module from being half
// installed: a missing file passes only where it could be created.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "frontend/install.h"
#include "frontend/run_state.h"
#include "test_util.h"

namespace {

// However many files of a directory were checked before, each name is
// looked at; after an installation or a refusal, the next check looks at
// the directory afresh.
TEST(InstallCheck, AMissingFilePassesOnlyWhereItCouldBeCreated) {
    ScratchDir scratch;
    RunState state;
    FileInstaller installer(state);
    const std::string copy = scratch.write("copy", {'c'});
    ASSERT_EQ(chmod(copy.c_str(), 0600), 0);
    std::filesystem::create_directory(scratch.file("dir"));
    ASSERT_EQ(symlink("nowhere", scratch.file("dir/dangling").c_str()), 0);
    const auto check = [&](const std::string &name) {
        return installer.install_file(InstallStep::kCheck, copy, scratch.file(name), false);
    };
    EXPECT_EQ(check("dir/a"), 0);
    EXPECT_EQ(check("dir/dangling"), -1);  // the link holds the name
    EXPECT_EQ(check("none/a"), -1);
    EXPECT_EQ(check("dir/b"), 0);
    EXPECT_EQ(installer.install_file(InstallStep::kInstall, copy, scratch.file("dir/b"), false), 0);
    std::filesystem::remove_all(scratch.file("dir"));
    EXPECT_EQ(check("dir/c"), -1);
    std::filesystem::create_directory(scratch.file("other"));
    EXPECT_EQ(check("other/a"), 0);
    EXPECT_EQ(check("other/dangling/x"), -1);
    std::filesystem::remove_all(scratch.file("other"));
    EXPECT_EQ(check("other/b"), -1);
}

}  // namespace
