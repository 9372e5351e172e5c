// Module walks and kits: dependency order through require and needs, cycles
// and missing modules, marks, and the install steps of one module with real
// install programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/fetch.h"
#include "engine/kit_install.h"
#include "engine/walk.h"
#include "engine_test_util.h"

namespace {

using namespace engine_test;

class ModuleWalkTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("tmp"));
        temp_dir = dir.file("tmp");
        h.root = dir.file("root");
        h.context.temp_dir = temp_dir.data();
        h.context.error = &error;
        link.context = &h.context;
        link.downloads = vector_new();
        kit = kit_new();
    }
    void TearDown() override {
        vector_free(link.downloads, 0);
        kit_free(&h.context, kit);
    }

    // A module whose one file is missing from the installation, so that
    // collecting it lists the file for download.
    ModuleRecord *module(const char *name, std::vector<const char *> requires_ = {},
                         std::vector<const char *> needs = {}) {
        ModuleRecord *made = make_module(kit, name, requires_, needs);
        std::string site = std::string(name) + "/file";
        module_add_file(made, make_file(site, "${ROOT}/" + site, "content of " + site));
        return made;
    }

    std::vector<std::string> downloads() const {
        std::vector<std::string> names;
        for (int32_t i = 0; i < link.downloads->count; i++)
            names.emplace_back(vector_at<FileRecord>(link.downloads, i)->sitepath);
        return names;
    }

    ScratchDir dir;
    std::string temp_dir;
    Harness h;
    ErrorRecord error{};
    EngineLink link{};
    KitRecord *kit = nullptr;
};

using Names = std::vector<std::string>;

TEST_F(ModuleWalkTest, RequiredModulesAreCollectedFirstAndOnce) {
    module("engine", {"base", "extra"});
    module("extra", {"base"});
    module("base");
    module("unselected");
    h.select("engine");
    h.select("base");  // also reached through engine: collected once

    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(downloads(), (Names{"base/file", "extra/file", "engine/file"}));
    EXPECT_EQ(h.names(UI_NEEDS_UPDATE), downloads());
    EXPECT_EQ(h.count(UI_ERROR), 0u);
    for (int32_t i = 0; i < kit->modules->count; i++)
        EXPECT_EQ(vector_at<ModuleRecord>(kit->modules, i)->mark, 0) << "marks reset";
}

TEST_F(ModuleWalkTest, ModuleFilesAreCheckedInSitepathOrder) {
    ModuleRecord *engine = module("engine");
    module_add_file(engine, make_file("engine/a", "${ROOT}/a", "a"));
    module_add_file(engine, make_file("engine/z", "${ROOT}/z", "z"));
    h.select("engine");
    ASSERT_EQ(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(downloads(), (Names{"engine/a", "engine/file", "engine/z"}));
}

TEST_F(ModuleWalkTest, RequireCyclesAreReportedOnceWithTheModuleMetAgain) {
    module("a", {"b"});
    module("b", {"c"});
    module("c", {"a"});
    module("self", {"self"});
    h.select("a");
    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.class_, ERR_UPDATE);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_CYCLIC);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "a");
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);

    vector_sort(kit->modules, module_compar);
    void **self = vector_search("self", kit->modules, comparekeywithmodule);
    ASSERT_NE(self, nullptr);
    h.events.clear();
    EXPECT_EQ(module_resolve_requires(&h.context, kit->modules, static_cast<ModuleRecord *>(*self)),
              -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "self");
}

TEST_F(ModuleWalkTest, MissingModuleFailsBeforeAnyFileIsChecked) {
    module("engine", {"base", "ghost"});  // list order: base, then ghost
    module("base");
    h.select("engine");
    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_NO_INFO);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "ghost");
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
    EXPECT_TRUE(downloads().empty());
}

TEST_F(ModuleWalkTest, UnknownSelectionIsReportedByItsName) {
    module("engine");
    h.select("nosuch");
    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "nosuch");
}

TEST_F(ModuleWalkTest, NeedsOrdersModulesThatAreInTheRun) {
    // Selection order alone would put mail first; mail needs engine.
    module("mail", {}, {"engine", "absent"});
    module("engine");
    h.select("mail");
    h.select("engine");
    ASSERT_EQ(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(downloads(), (Names{"engine/file", "mail/file"}));

    // A needs below the first level is resolved too.
    KitRecord *other = kit_new();
    std::swap(kit, other);
    vector_free(link.downloads, 0);
    link.downloads = vector_new();
    module("top", {"mail"});
    module("mail", {}, {"engine"});
    module("engine");
    h.clear_selection();
    h.select("top");
    h.select("engine");
    ASSERT_EQ(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(downloads(), (Names{"engine/file", "mail/file", "top/file"}));
    kit_free(&h.context, other);
}

TEST_F(ModuleWalkTest, NeedsOutsideTheRunAndNeedsCyclesFailSilently) {
    module("mail", {}, {"engine"});  // engine is in the kit but not selected
    module("engine");
    h.select("mail");
    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), -1);
    EXPECT_EQ(h.count(UI_ERROR), 0u);
    EXPECT_TRUE(downloads().empty());

    KitRecord *other = kit_new();
    std::swap(kit, other);
    module("a", {}, {"b"});
    module("b", {}, {"a"});
    h.clear_selection();
    h.select("a");
    h.select("b");
    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), -1);
    EXPECT_EQ(h.count(UI_ERROR), 0u);
    kit_free(&h.context, other);
}

TEST_F(ModuleWalkTest, ResetStopsAtModulesAlreadyClear) {
    ModuleRecord *a = make_module(nullptr, "a");
    ModuleRecord *b = make_module(nullptr, "b");
    ModuleRecord *c = make_module(nullptr, "c");
    record_append(&a->dependencies, b);
    record_append(&b->dependencies, c);
    a->mark = 2;
    b->mark = 0;  // not descended into: c keeps its mark
    c->mark = 4;
    module_reset_marks(a);
    EXPECT_EQ(a->mark, 0);
    EXPECT_EQ(c->mark, 4);
    b->mark = 1;
    a->mark = 1;
    module_reset_marks(a);
    EXPECT_EQ(c->mark, 0);
    module_reset_marks(nullptr);
    for (ModuleRecord *m : {a, b, c}) module_free(nullptr, m);
}

TEST_F(ModuleWalkTest, EmptySelectionChecksAndInstallsNothing) {
    module("engine");
    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(kit_install(&h.context, kit), 0);
    EXPECT_TRUE(h.events.empty());
    EXPECT_TRUE(h.installs.empty());
    EXPECT_EQ(kit_install(&h.context, nullptr), -1);
    KitRecord *bare = kit_new();
    EXPECT_EQ(kit_install(&h.context, bare), -1);  // no modules, no root
    kit_free(&h.context, bare);
}

// Install steps, with programs that append their name to a log.
class ModuleInstallTest : public ModuleWalkTest {
   protected:
    // A fetched file: its temporary copy exists with the given content.
    FileRecord *fetched(ModuleRecord *module, const std::string &site, const std::string &local,
                        const std::string &content, int32_t order = 0) {
        FileRecord *file = make_file(site, local, content, order);
        std::string temp = dir.file("tmp/" + std::to_string(counter++));
        write_text(temp, content);
        file->tempfile = strdup(temp.c_str());
        module_add_file(module, file);
        return file;
    }
    std::string program(const std::string &name, int status = 0) {
        return "#!/bin/sh\necho " + name + " >> " + dir.file("log") + "\nexit " +
               std::to_string(status) + "\n";
    }
    std::string log() { return read_text(dir.file("log")); }
    std::vector<int> codes() const {
        std::vector<int> seen;
        for (const Event &event : h.events)
            if (event.code != UI_EXEC && event.code != UI_REMOVE_FILE) seen.push_back(event.code);
        return seen;
    }
    int counter = 0;
};

TEST_F(ModuleInstallTest, ModuleRunsProgramsAndBothPassesInOrder) {
    ModuleRecord *engine = make_module(kit, "engine");
    fetched(engine, "post2", "", program("post2"), 2);
    fetched(engine, "data", dir.file("root/data"), "data");
    fetched(engine, "pre1", "", program("pre1"), -1);
    fetched(engine, "post1", "", program("post1"), 1);
    fetched(engine, "pre5", "", program("pre5"), -5);
    fetched(engine, "lib", dir.file("root/lib"), "lib");
    h.select("engine");
    ASSERT_EQ(kit_collect_files(&h.context, kit, &link), 0);
    h.events.clear();

    EXPECT_EQ(kit_install(&h.context, kit), 0);
    EXPECT_EQ(log(), "pre5\npre1\npost1\npost2\n");
    EXPECT_EQ(h.names(UI_INSTALL_MODULE), (Names{"engine"}));
    EXPECT_EQ(codes(),
              (std::vector<int>{UI_INSTALL_MODULE, UI_RUN_PRE_INSTALL, UI_RUN_PRE_INSTALL,
                                UI_CHECK_FILE, UI_CHECK_FILE, UI_UPDATE_FILE, UI_UPDATE_FILE,
                                UI_RUN_POST_INSTALL, UI_RUN_POST_INSTALL}));
    ASSERT_EQ(h.installs.size(), 4u);
    EXPECT_EQ(h.installs[0].mode, 0);
    EXPECT_EQ(h.installs[1].mode, 0);
    EXPECT_EQ(h.installs[2].mode, 1);
    EXPECT_EQ(read_text(dir.file("root/lib")), "lib");
    EXPECT_EQ(read_text(dir.file("root/data")), "data");
}

TEST_F(ModuleInstallTest, DependenciesAreInstalledFirstAndOnce) {
    ModuleRecord *mail = make_module(kit, "mail", {"base"});
    ModuleRecord *engine = make_module(kit, "engine", {"base"});
    ModuleRecord *base = make_module(kit, "base");
    fetched(mail, "m", dir.file("root/m"), "m");
    fetched(engine, "e", dir.file("root/e"), "e");
    fetched(base, "b", dir.file("root/b"), "b");
    h.select("mail");
    h.select("engine");
    ASSERT_GE(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(kit_install(&h.context, kit), 0);
    // Selection order, each module after what it requires, base only once.
    EXPECT_EQ(h.names(UI_INSTALL_MODULE), (Names{"base", "mail", "engine"}));
}

TEST_F(ModuleInstallTest, FailedCheckPassInstallsNothingOfTheModule) {
    ModuleRecord *engine = make_module(kit, "engine");
    fetched(engine, "a", dir.file("root/a"), "a");
    fetched(engine, "b", dir.file("root/b"), "b");
    fetched(engine, "c", dir.file("root/c"), "c");
    h.install_result = [](const Install &call) {
        return call.mode == 0 && call.temp.ends_with("/2") ? -1 : 0;
    };
    h.select("engine");
    ASSERT_GE(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(kit_install(&h.context, kit), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_CANT_INSTALL);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "tryinstall");
    for (const Install &call : h.installs) EXPECT_EQ(call.mode, 0);
    EXPECT_EQ(h.installs.size(), 3u);
}

TEST_F(ModuleInstallTest, FailedInstallPassIsReportedAsDoinstall) {
    ModuleRecord *engine = make_module(kit, "engine");
    fetched(engine, "a", dir.file("root/a"), "a");
    fetched(engine, "b", dir.file("root/b"), "b");
    fetched(engine, "post", "", program("post"), 1);
    h.install_result = [](const Install &call) { return call.mode == 1 ? -1 : 0; };
    h.select("engine");
    ASSERT_GE(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(kit_install(&h.context, kit), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "doinstall");
    EXPECT_EQ(h.installs.size(), 3u);  // two checks, then the first install
    EXPECT_FALSE(exists(dir.file("log")));
}

TEST_F(ModuleInstallTest, FailingProgramsStopTheInstallation) {
    ModuleRecord *engine = make_module(kit, "engine");
    fetched(engine, "pre", "", program("pre", 3), -1);
    fetched(engine, "a", dir.file("root/a"), "a");
    h.select("engine");
    ASSERT_GE(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(kit_install(&h.context, kit), -1);
    EXPECT_EQ(log(), "pre\n");
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_CANT_EXECUTE);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "pre install");
    EXPECT_TRUE(h.installs.empty());

    ModuleRecord *post = make_module(nullptr, "post");
    fetched(post, "a", dir.file("root/a"), "a");
    fetched(post, "post", "", program("post", 1), 4);
    h.events.clear();
    EXPECT_EQ(module_install(&h.context, post), -1);
    EXPECT_EQ(h.of(UI_ERROR).back().call, "post install");
    EXPECT_EQ(read_text(dir.file("root/a")), "a");  // installed before the program ran
    module_free(nullptr, post);
}

TEST_F(ModuleInstallTest, ModuleWithOnlyUninstallableFilesRunsNothing) {
    ModuleRecord *engine = make_module(kit, "engine");
    fetched(engine, "pre", "", program("pre"), -1);
    fetched(engine, "tool", "", "data");
    h.select("engine");
    ASSERT_GE(kit_collect_files(&h.context, kit, &link), 0);
    h.events.clear();
    EXPECT_EQ(kit_install(&h.context, kit), 0);
    EXPECT_EQ(h.count(UI_INSTALL_MODULE), 0u);
    EXPECT_FALSE(exists(dir.file("log")));
}

TEST_F(ModuleInstallTest, PresentProgramWithoutMirrorNameRunsFromItsExpandedPath) {
    write_text(dir.file("root/bin/stop"), program("stop"));
    ModuleRecord *engine = make_module(kit, "engine");
    module_add_file(engine, make_file("", "${ROOT}/bin/stop", "", -2));
    fetched(engine, "a", dir.file("root/a"), "a");
    h.select("engine");
    ASSERT_GE(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(kit_install(&h.context, kit), 0);
    EXPECT_EQ(log(), "stop\n");
}

}  // namespace
