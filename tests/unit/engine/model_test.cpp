// The information model: add operations, the comparators in sorts and
// lookups, the digest and installability tests, and release with the
// temporary copies deleted or kept by the front end's answer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine_test_util.h"

namespace {

using namespace engine_test;
using Names = std::vector<std::string>;

FileRecord *named_file(const char *sitepath, int32_t order = 0) {
    FileRecord *file = file_new();
    file->sitepath = sitepath != nullptr ? strdup(sitepath) : nullptr;
    file->order = order;
    return file;
}

ModuleRecord *named_module(const char *name) {
    ModuleRecord *module = module_new();
    module->name = name != nullptr ? strdup(name) : nullptr;
    return module;
}

// Sorts a vector of files by the comparator, returns their names, frees them.
Names sorted_and_freed(Vector *files, int (*compar)(const void *, const void *)) {
    EXPECT_EQ(vector_sort(files, compar), 0);
    Names names;
    for (int32_t i = 0; i < files->count; i++) {
        names.emplace_back(vector_at<FileRecord>(files, i)->sitepath);
        file_free(nullptr, vector_at<FileRecord>(files, i));
    }
    vector_free(files, 0);
    return names;
}

class ModelTest : public ::testing::Test {
   protected:
    // A file whose temporary copy exists.
    FileRecord *with_copy(const char *sitepath, const std::string &name) {
        FileRecord *file = named_file(sitepath);
        write_text(dir.file(name), "partial");
        file->tempfile = strdup(dir.file(name).c_str());
        return file;
    }
    ScratchDir dir;
    Harness h;
};

TEST_F(ModelTest, AddOperationsCreateTheirVectorsOnFirstUseAndRefuseNulls) {
    ModuleRecord *module = named_module("engine");
    KitRecord *kit = kit_new();
    EXPECT_EQ(module_add_file(module, nullptr), -1);
    EXPECT_EQ(module_add_requirement(module, nullptr), -1);
    EXPECT_EQ(kit_add_module(kit, nullptr), -1);
    EXPECT_EQ(module_add_file(nullptr, nullptr), -1);
    EXPECT_EQ(kit_add_module(nullptr, module), -1);
    EXPECT_EQ(module->files, nullptr);  // refusals leave the containers unmade
    EXPECT_EQ(module->requires_, nullptr);
    EXPECT_EQ(kit->modules, nullptr);

    EXPECT_EQ(module_add_file(module, named_file("a")), 0);
    EXPECT_EQ(module_add_file(module, named_file("b")), 0);
    ASSERT_NE(module->files, nullptr);
    EXPECT_EQ(module->files->count, 2);
    char *name = strdup("base");
    EXPECT_EQ(module_add_requirement(module, name), 0);
    ASSERT_NE(module->requires_, nullptr);
    EXPECT_EQ(vector_at<char>(module->requires_, 0), name);  // owned, not copied
    EXPECT_EQ(kit_add_module(kit, module), 0);
    EXPECT_EQ(kit->modules->count, 1);
    EXPECT_EQ(kit_free(&h.context, kit), 0);
}

TEST_F(ModelTest, FileComparatorsSortByNameAndByOrder) {
    Vector *files = vector_new();
    for (const char *name : {"engine/z", "base/data", "engine/a", "Zeta"})
        vector_add(files, named_file(name));
    EXPECT_EQ(sorted_and_freed(files, file_compar),
              (Names{"Zeta", "base/data", "engine/a", "engine/z"}));
    files = vector_new();
    const std::pair<const char *, int32_t> entries[] = {
        {"post3", 3}, {"plain", 0}, {"pre1", -1}, {"post1", 1}, {"pre5", -5}};
    for (const auto &[name, order] : entries) vector_add(files, named_file(name, order));
    EXPECT_EQ(sorted_and_freed(files, file_order_compar),
              (Names{"pre5", "pre1", "plain", "post1", "post3"}));

    FileRecord named{}, unnamed{}, low{}, high{};
    named.sitepath = const_cast<char *>("a");
    low.order = INT32_MIN;  // extreme orders keep their sign instead of overflowing
    high.order = INT32_MAX;
    FileRecord *n = &named, *u = &unnamed, *null_record = nullptr, *lo = &low, *hi = &high;
    EXPECT_EQ(file_compar(&u, &n), -1);
    EXPECT_EQ(file_compar(&n, &u), 1);
    EXPECT_EQ(file_compar(&null_record, &n), -1);
    EXPECT_EQ(file_compar(nullptr, &n), -1);
    EXPECT_EQ(file_compar(&n, nullptr), 1);
    EXPECT_EQ(file_compar(&u, &u), -1);  // the left side is checked first
    EXPECT_GT(file_order_compar(&null_record, &n), 0);
    EXPECT_LT(file_order_compar(&n, nullptr), 0);
    EXPECT_EQ(file_order_compar(&null_record, &null_record), 0);
    EXPECT_LT(file_order_compar(&lo, &hi), 0);
    EXPECT_GT(file_order_compar(&hi, &lo), 0);
}

TEST_F(ModelTest, ModuleComparatorsAndLookupsInASortedKit) {
    KitRecord *kit = kit_new();
    for (const char *name :
         {"qavomd", "engine", "base", "Base", static_cast<const char *>(nullptr)})
        kit_add_module(kit, named_module(name));
    ASSERT_EQ(vector_sort(kit->modules, module_compar), 0);
    // Byte order, case-sensitive, the nameless module last.
    EXPECT_STREQ(vector_at<ModuleRecord>(kit->modules, 0)->name, "Base");
    EXPECT_STREQ(vector_at<ModuleRecord>(kit->modules, 3)->name, "qavomd");
    EXPECT_EQ(vector_at<ModuleRecord>(kit->modules, 4)->name, nullptr);
    void **slot = vector_search("engine", kit->modules, comparekeywithmodule);
    ASSERT_NE(slot, nullptr);
    EXPECT_STREQ(static_cast<ModuleRecord *>(*slot)->name, "engine");
    EXPECT_EQ(vector_search("Engine", kit->modules, comparekeywithmodule), nullptr);
    EXPECT_EQ(vector_search("nerio", kit->modules, comparekeywithmodule), nullptr);

    ModuleRecord *named = static_cast<ModuleRecord *>(*slot);
    ModuleRecord *unnamed = vector_at<ModuleRecord>(kit->modules, 4), *null_record = nullptr;
    ModuleRecord twin{};
    twin.name = named->name;  // one name string shared: equal without comparing it
    ModuleRecord *twin_pointer = &twin;
    EXPECT_EQ(module_compar(&unnamed, &named), 1);
    EXPECT_EQ(module_compar(&named, &unnamed), -1);
    EXPECT_EQ(module_compar(&null_record, &named), 1);
    EXPECT_EQ(module_compar(&named, nullptr), -1);
    EXPECT_EQ(module_compar(&unnamed, &unnamed), 0);  // the same slot
    EXPECT_EQ(module_compar(&named, &twin_pointer), 0);
    EXPECT_EQ(comparekeywithmodule("engine", &named), 0);
    EXPECT_LT(comparekeywithmodule("base", &named), 0);
    EXPECT_GT(comparekeywithmodule("zz", &named), 0);
    EXPECT_EQ(comparekeywithmodule("engine", &unnamed), 1);
    EXPECT_EQ(comparekeywithmodule("engine", &null_record), 1);
    EXPECT_EQ(comparekeywithmodule(nullptr, &unnamed), 0);
    EXPECT_EQ(comparekeywithmodule(nullptr, &named), -1);
    EXPECT_EQ(kit_free(&h.context, kit), 0);
}

TEST_F(ModelTest, DigestAndInstallabilityPredicates) {
    // RFC 1321: MD5("abc") = 900150983cd24fb0d6963f7d28e17f72.
    uint8_t abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                       0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    write_text(dir.file("abc"), "abc");
    write_text(dir.file("abd"), "abd");
    EXPECT_EQ(file_md5_matches(dir.file("abc").c_str(), abc), 1);
    EXPECT_EQ(file_md5_matches(dir.file("abd").c_str(), abc), 0);
    EXPECT_EQ(file_md5_matches(dir.file("missing").c_str(), abc), 0);
    EXPECT_EQ(file_md5_matches(nullptr, abc), -1);
    abc[15] ^= 1;
    EXPECT_EQ(file_md5_matches(dir.file("abc").c_str(), abc), 0);

    FileRecord file{};
    EXPECT_EQ(file_md5_missing(&file), 1);
    file.md5[15] = 1;
    EXPECT_EQ(file_md5_missing(&file), 0);
    EXPECT_EQ(file_md5_missing(nullptr), -1);
    EXPECT_EQ(file_is_installable(&file), 1);  // no localpath listed
    file.localpath = const_cast<char *>("");
    EXPECT_EQ(file_is_installable(&file), 0);
    file.localpath = const_cast<char *>("${BINDIR}/qavoupdate");
    EXPECT_EQ(file_is_installable(&file), 1);
    EXPECT_EQ(file_is_installable(nullptr), 0);
}

TEST_F(ModelTest, FileFreeDeletesOrKeepsTheTemporaryCopyByTheAnswer) {
    const std::pair<int, bool> cases[] = {{0, false}, {1, true}, {7, true}, {-2, true}};
    for (const auto &[answer, kept] : cases) {
        SCOPED_TRACE(answer);
        h.events.clear();
        h.answer = [answer](const Event &) { return answer; };
        FileRecord *file = with_copy("engine/engine.so", "copy" + std::to_string(answer));
        file->localpath = strdup("/opt/qavo/engine.so");
        std::string temp = file->tempfile;
        EXPECT_EQ(file_free(&h.context, file), answer == 0 || answer == 1 ? 0 : answer);
        ASSERT_EQ(h.count(UI_REMOVE_FILE), 1u);
        EXPECT_EQ(h.of(UI_REMOVE_FILE)[0].temp, temp);
        EXPECT_EQ(h.of(UI_REMOVE_FILE)[0].name, "engine/engine.so");
        EXPECT_EQ(exists(temp), kept);
    }
    EXPECT_EQ(file_free(&h.context, nullptr), -1);
    h.events.clear();
    EXPECT_EQ(file_free(&h.context, named_file("engine/engine.so")), 0);
    EXPECT_TRUE(h.events.empty());  // no copy: released silently

    h.context.ui_event = nullptr;  // every answer is then 0
    FileRecord *orphan = with_copy("x", "orphan");
    EXPECT_EQ(file_free(&h.context, orphan), 0);
    EXPECT_FALSE(exists(dir.file("orphan")));
}

TEST_F(ModelTest, InfoFreeReleasesEverythingAndSumsTheAnswers) {
    h.answer = [](const Event &) { return 3; };  // keep every copy, and count in the result
    InfoRecord *info = info_new();
    ASSERT_NE(info, nullptr);
    info->update_file = with_copy("qavoupdate", "self");
    info->kit = kit_new();
    info->kit->name = strdup("engine kit");
    ModuleRecord *engine = named_module("engine"), *base = named_module("base");
    module_add_file(engine, with_copy("engine/a", "a"));
    module_add_file(engine, with_copy("engine/b", "b"));
    module_add_requirement(engine, strdup("base"));
    record_append(&engine->needs, strdup("qavomd"));
    // Dependencies borrow modules of the kit; releasing must not free them twice.
    record_append(&engine->dependencies, base);
    kit_add_module(info->kit, engine);
    kit_add_module(info->kit, base);

    // The module files' answers are not collected; only the update entry's.
    EXPECT_EQ(info_free(&h.context, info), 3);
    ASSERT_EQ(h.count(UI_REMOVE_FILE), 3u);
    for (const Event &removal : h.of(UI_REMOVE_FILE)) EXPECT_TRUE(exists(removal.temp));
    EXPECT_EQ(info_free(&h.context, nullptr), -1);
}

}  // namespace
