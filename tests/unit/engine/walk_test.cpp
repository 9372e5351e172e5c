// Module walks and kits: dependency order through require and needs, cycles
// and missing modules, marks, and the install steps of one module with real
// install programs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/fetch.h"
#include "engine/kit_install.h"
#include "engine/walk.h"
#include "engine_test_util.h"

namespace {

using namespace engine_test;
using Names = std::vector<std::string>;

struct Blueprint {
    const char *name;
    std::vector<const char *> requires_ = {}, needs = {};
};

class ModuleWalkTest : public EngineFixture {
   protected:
    ModuleWalkTest() {
        link.context = &h.context;
        link.downloads = vector_new();
    }
    ~ModuleWalkTest() override {
        vector_free(link.downloads, 0);
        kit_free(&h.context, kit);
    }
    // A fresh kit of modules whose one file each is missing from the
    // installation, selected by the names given.
    void kit_of(std::vector<Blueprint> blueprints, std::vector<const char *> selection) {
        kit_free(&h.context, kit);
        kit = kit_new();
        vector_free(link.downloads, 0);
        link.downloads = vector_new();
        h.clear_selection();
        h.events.clear();
        for (const Blueprint &blueprint : blueprints) {
            ModuleRecord *made =
                make_module(kit, blueprint.name, blueprint.requires_, blueprint.needs);
            std::string site = std::string(blueprint.name) + "/file";
            module_add_file(made, make_file(site, "${ROOT}/" + site, "content of " + site));
        }
        for (const char *name : selection) h.select(name);
    }
    Names downloads() const {
        Names names;
        for (int32_t i = 0; i < link.downloads->count; i++)
            names.emplace_back(vector_at<FileRecord>(link.downloads, i)->sitepath);
        return names;
    }
    ModuleRecord *find(const char *name) {
        vector_sort(kit->modules, module_compar);
        void **slot = vector_search(name, kit->modules, comparekeywithmodule);
        return slot != nullptr ? static_cast<ModuleRecord *>(*slot) : nullptr;
    }

    EngineLink link{};
    KitRecord *kit = kit_new();
};

TEST_F(ModuleWalkTest, RequiredModulesAreCollectedFirstAndOnceFilesBySitepath) {
    kit_of({{"engine", {"base", "extra"}}, {"extra", {"base"}}, {"base"}, {"unselected"}},
           {"engine", "base"});  // base is also reached through engine
    module_add_file(find("engine"), make_file("engine/z", "${ROOT}/z", "z"));
    module_add_file(find("engine"), make_file("engine/a", "${ROOT}/a", "a"));
    EXPECT_EQ(kit_collect_files(&h.context, kit, &link), 0);
    EXPECT_EQ(downloads(),
              (Names{"base/file", "extra/file", "engine/a", "engine/file", "engine/z"}));
    EXPECT_EQ(h.names(UI_NEEDS_UPDATE), downloads());
    EXPECT_EQ(h.count(UI_ERROR), 0u);
    for (int32_t i = 0; i < kit->modules->count; i++)
        EXPECT_EQ(vector_at<ModuleRecord>(kit->modules, i)->mark, 0) << "marks reset";
}

TEST_F(ModuleWalkTest, BrokenDependenciesFailBeforeAnyFileIsChecked) {
    const struct {
        std::vector<Blueprint> blueprints;
        std::vector<const char *> selection;
        const char *call;  // null: failed silently
        int32_t code;
    } cases[] = {
        {{{"a", {"b"}}, {"b", {"c"}}, {"c", {"a"}}}, {"a"}, "a", UPD_CYCLIC},
        {{{"self", {"self"}}}, {"self"}, "self", UPD_CYCLIC},
        {{{"engine", {"base", "ghost"}}, {"base"}}, {"engine"}, "ghost", UPD_NO_INFO},
        {{{"engine"}}, {"nosuch"}, "nosuch", UPD_NO_INFO},
        // needs naming a module of the kit outside the run, and a needs cycle
        {{{"mail", {}, {"engine"}}, {"engine"}}, {"mail"}, nullptr, 0},
        {{{"a", {}, {"b"}}, {"b", {}, {"a"}}}, {"a", "b"}, nullptr, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.blueprints[0].name);
        kit_of(c.blueprints, c.selection);
        EXPECT_EQ(kit_collect_files(&h.context, kit, &link), -1);
        EXPECT_EQ(h.count(UI_ERROR), c.call != nullptr ? 1u : 0u);
        EXPECT_TRUE(c.call == nullptr || h.one_error(c.call, c.code));
        EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
        EXPECT_TRUE(downloads().empty());
    }
}

TEST_F(ModuleWalkTest, ResetStopsAtModulesAlreadyClear) {
    ModuleRecord *a = make_module(nullptr, "a"), *b = make_module(nullptr, "b");
    ModuleRecord *c = make_module(nullptr, "c");
    record_append(&a->dependencies, b);
    record_append(&b->dependencies, c);
    a->mark = 2;
    b->mark = 0;  // not descended into: c keeps its mark
    c->mark = 4;
    module_reset_marks(a);
    EXPECT_EQ(a->mark, 0);
    EXPECT_EQ(c->mark, 4);
    b->mark = a->mark = 1;
    module_reset_marks(a);
    EXPECT_EQ(c->mark, 0);
    module_reset_marks(nullptr);
    for (ModuleRecord *m : {a, b, c}) module_free(nullptr, m);
}

// Install steps, with programs that append their name to a log.
class ModuleInstallTest : public ModuleWalkTest {
   protected:
    // A fetched file: its temporary copy exists with the given content.
    void fetched(ModuleRecord *module, const std::string &site, const std::string &local,
                 const std::string &content, int32_t order = 0) {
        FileRecord *file = make_file(site, local, content, order);
        std::string temp = dir.file("tmp/" + std::to_string(counter++));
        write_text(temp, content);
        file->tempfile = strdup(temp.c_str());
        module_add_file(module, file);
    }
    void data(ModuleRecord *module, const std::string &name) {
        fetched(module, name, dir.file("root/" + name), name);
    }
    std::string program(const std::string &name, int status = 0) {
        return "#!/bin/sh\necho " + name + " >> " + dir.file("log") + "\nexit " +
               std::to_string(status) + "\n";
    }
    int install() {
        h.select("engine");
        EXPECT_GE(kit_collect_files(&h.context, kit, &link), 0);
        h.events.clear();
        return kit_install(&h.context, kit);
    }
    std::string log() { return read_text(dir.file("log")); }
    int counter = 0;
};

TEST_F(ModuleInstallTest, ModuleRunsProgramsAndBothPassesInOrder) {
    ModuleRecord *engine = make_module(kit, "engine");
    fetched(engine, "post2", "", program("post2"), 2);
    data(engine, "data");
    fetched(engine, "pre1", "", program("pre1"), -1);
    fetched(engine, "post1", "", program("post1"), 1);
    fetched(engine, "pre5", "", program("pre5"), -5);
    data(engine, "lib");
    EXPECT_EQ(install(), 0);
    EXPECT_EQ(log(), "pre5\npre1\npost1\npost2\n");
    std::vector<int> codes;
    for (const Event &event : h.events)
        if (event.code != UI_EXEC && event.code != UI_REMOVE_FILE) codes.push_back(event.code);
    EXPECT_EQ(codes, (std::vector<int>{UI_INSTALL_MODULE, UI_RUN_PRE_INSTALL, UI_RUN_PRE_INSTALL,
                                       UI_CHECK_FILE, UI_CHECK_FILE, UI_UPDATE_FILE, UI_UPDATE_FILE,
                                       UI_RUN_POST_INSTALL, UI_RUN_POST_INSTALL}));
    EXPECT_EQ(h.names(UI_INSTALL_MODULE), (Names{"engine"}));
    ASSERT_EQ(h.installs.size(), 4u);
    EXPECT_EQ(h.installs[0].mode, 0);
    EXPECT_EQ(h.installs[1].mode, 0);
    EXPECT_EQ(h.installs[2].mode, 1);
    EXPECT_EQ(read_text(dir.file("root/lib")), "lib");
    EXPECT_EQ(read_text(dir.file("root/data")), "data");
}

TEST_F(ModuleInstallTest, FailedPassInstallsNothingMoreAndRunsNoProgram) {
    const struct {
        int mode;
        const char *temp;  // the copy whose call fails
        const char *call;
        size_t installs;
    } cases[] = {{0, "/1", "tryinstall", 2}, {1, "/0", "doinstall", 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        kit_of({}, {});
        counter = 0;
        h.installs.clear();
        ModuleRecord *engine = make_module(kit, "engine");
        data(engine, "a");
        data(engine, "b");
        fetched(engine, "post", "", program("post"), 1);
        h.install_result = [c](const Install &call) {
            return call.mode == c.mode && call.temp.ends_with(c.temp) ? -1 : 0;
        };
        EXPECT_EQ(install(), -1);
        EXPECT_TRUE(h.one_error(c.call, UPD_CANT_INSTALL));
        EXPECT_EQ(h.installs.size(), c.installs);  // the checks, then installs up to the failure
        for (size_t i = 0; i < 2; i++) EXPECT_EQ(h.installs[i].mode, 0);
        EXPECT_FALSE(exists(dir.file("log")));
    }
}

TEST_F(ModuleInstallTest, FailingProgramsStopTheInstallation) {
    ModuleRecord *engine = make_module(kit, "engine");
    fetched(engine, "pre", "", program("pre", 3), -1);
    data(engine, "a");
    EXPECT_EQ(install(), -1);
    EXPECT_EQ(log(), "pre\n");
    EXPECT_TRUE(h.one_error("pre install", UPD_CANT_EXECUTE));
    EXPECT_TRUE(h.installs.empty());

    ModuleRecord *post = make_module(nullptr, "post");
    data(post, "a");
    fetched(post, "post", "", program("post", 1), 4);
    h.events.clear();
    EXPECT_EQ(module_install(&h.context, post), -1);
    EXPECT_TRUE(h.one_error("post install", UPD_CANT_EXECUTE));
    EXPECT_EQ(read_text(dir.file("root/a")), "a");  // installed before the program ran
    module_free(nullptr, post);
}

}  // namespace
