// The information model: add operations, the comparators in sorts and
// lookups, the digest and installability tests, and release with the
// temporary copies deleted or kept by the front end's answer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/update.h"

namespace {

struct Removal {
    std::string temp;
    std::string name;
};

std::vector<Removal> removals;
std::vector<int> codes;
int remove_answer = 0;

int on_event(RunState *, UiEvent *event) {
    codes.push_back(event->code);
    if (event->code == UI_REMOVE_FILE) {
        const auto *info = static_cast<const UiFileInfo *>(event->data);
        removals.push_back(
            {info->temp != nullptr ? info->temp : "", info->name != nullptr ? info->name : ""});
    }
    return remove_answer;
}

FileRecord *make_file(const char *sitepath, int32_t order = 0) {
    FileRecord *file = file_new();
    if (file == nullptr) return nullptr;
    file->sitepath = sitepath != nullptr ? strdup(sitepath) : nullptr;
    file->order = order;
    return file;
}

ModuleRecord *make_module(const char *name) {
    ModuleRecord *module = module_new();
    if (module == nullptr) return nullptr;
    module->name = name != nullptr ? strdup(name) : nullptr;
    return module;
}

std::vector<std::string> sitepaths(const Vector *files) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < files->count; i++) {
        names.emplace_back(vector_at<FileRecord>(files, i)->sitepath);
    }
    return names;
}

class ModelTest : public ::testing::Test {
   protected:
    void SetUp() override {
        removals.clear();
        codes.clear();
        remove_answer = 0;
        context_.run_state = reinterpret_cast<RunState *>(this);
        context_.ui_event = on_event;
        char pattern[] = "/tmp/qavo-model-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (const std::string &path : paths_) unlink(path.c_str());
        rmdir(dir_.c_str());
    }

    std::string write_file(const std::string &name, const std::string &text) {
        std::string path = dir_ + "/" + name;
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (file != nullptr) {
            fwrite(text.data(), 1, text.size(), file);
            fclose(file);
        }
        paths_.push_back(path);
        return path;
    }

    EngineContext context_{};
    std::string dir_;
    std::vector<std::string> paths_;
};

bool exists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

TEST_F(ModelTest, AddOperationsCreateTheirVectorsOnFirstUse) {
    ModuleRecord *module = make_module("engine");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->files, nullptr);
    EXPECT_EQ(module_add_file(module, make_file("a")), 0);
    EXPECT_EQ(module_add_file(module, make_file("b")), 0);
    ASSERT_NE(module->files, nullptr);
    EXPECT_EQ(module->files->count, 2);

    char *name = strdup("base");
    EXPECT_EQ(module_add_requirement(module, name), 0);
    ASSERT_NE(module->requires_, nullptr);
    EXPECT_EQ(vector_at<char>(module->requires_, 0), name);  // owned, not copied

    KitRecord *kit = kit_new();
    ASSERT_NE(kit, nullptr);
    EXPECT_EQ(kit_add_module(kit, module), 0);
    EXPECT_EQ(kit->modules->count, 1);
    EXPECT_EQ(kit_free(&context_, kit), 0);
}

TEST_F(ModelTest, AddOperationsRefuseNullsAndLeaveTheContainerUnchanged) {
    ModuleRecord *module = module_new();
    KitRecord *kit = kit_new();
    ASSERT_NE(module, nullptr);
    ASSERT_NE(kit, nullptr);
    EXPECT_EQ(module_add_file(module, nullptr), -1);
    EXPECT_EQ(module_add_requirement(module, nullptr), -1);
    EXPECT_EQ(kit_add_module(kit, nullptr), -1);
    EXPECT_EQ(module->files, nullptr);
    EXPECT_EQ(module->requires_, nullptr);
    EXPECT_EQ(kit->modules, nullptr);
    EXPECT_EQ(module_add_file(nullptr, nullptr), -1);
    EXPECT_EQ(kit_add_module(nullptr, module), -1);
    EXPECT_EQ(module_free(&context_, module), 0);
    EXPECT_EQ(kit_free(&context_, kit), 0);
}

TEST_F(ModelTest, FileComparSortsBySitepathAndHandlesMissingNames) {
    Vector *files = vector_new();
    for (const char *name : {"engine/z", "base/data", "engine/a", "Zeta"}) {
        ASSERT_EQ(vector_add(files, make_file(name)), 0);
    }
    ASSERT_EQ(vector_sort(files, file_compar), 0);
    EXPECT_EQ(sitepaths(files),
              (std::vector<std::string>{"Zeta", "base/data", "engine/a", "engine/z"}));

    FileRecord *named = vector_at<FileRecord>(files, 0);
    FileRecord *unnamed = make_file(nullptr);
    FileRecord *null_record = nullptr;
    EXPECT_EQ(file_compar(&unnamed, &named), -1);
    EXPECT_EQ(file_compar(&named, &unnamed), 1);
    EXPECT_EQ(file_compar(&null_record, &named), -1);
    EXPECT_EQ(file_compar(nullptr, &named), -1);
    EXPECT_EQ(file_compar(&named, nullptr), 1);
    EXPECT_EQ(file_compar(&unnamed, &unnamed), -1);  // the left side is checked first
    EXPECT_EQ(file_free(&context_, unnamed), 0);
    for (int32_t i = 0; i < files->count; i++)
        file_free(&context_, vector_at<FileRecord>(files, i));
    vector_free(files, 0);
}

TEST_F(ModelTest, ModuleLookupsFindNamesOnlyInASortedKit) {
    KitRecord *kit = kit_new();
    for (const char *name : {"qavomd", "engine", "base", "Base"}) {
        ASSERT_EQ(kit_add_module(kit, make_module(name)), 0);
    }
    ASSERT_EQ(kit_add_module(kit, make_module(nullptr)), 0);
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
    EXPECT_EQ(kit_free(&context_, kit), 0);
}

TEST_F(ModelTest, ModuleComparatorsOnMissingAndSharedNames) {
    ModuleRecord *named = make_module("engine");
    ModuleRecord *unnamed = make_module(nullptr);
    ModuleRecord *null_record = nullptr;
    EXPECT_EQ(module_compar(&unnamed, &named), 1);
    EXPECT_EQ(module_compar(&named, &unnamed), -1);
    EXPECT_EQ(module_compar(&null_record, &named), 1);
    EXPECT_EQ(module_compar(&named, nullptr), -1);
    EXPECT_EQ(module_compar(&unnamed, &unnamed), 0);  // the same slot

    // Two records sharing one name string are equal without comparing it.
    ModuleRecord twin{};
    twin.name = named->name;
    ModuleRecord *twin_pointer = &twin;
    EXPECT_EQ(module_compar(&named, &twin_pointer), 0);

    EXPECT_EQ(comparekeywithmodule("engine", &named), 0);
    EXPECT_LT(comparekeywithmodule("base", &named), 0);
    EXPECT_GT(comparekeywithmodule("zz", &named), 0);
    EXPECT_EQ(comparekeywithmodule("engine", &unnamed), 1);
    EXPECT_EQ(comparekeywithmodule("engine", &null_record), 1);
    EXPECT_EQ(comparekeywithmodule(nullptr, &unnamed), 0);
    EXPECT_EQ(comparekeywithmodule(nullptr, &named), -1);
    module_free(&context_, named);
    module_free(&context_, unnamed);
}

TEST_F(ModelTest, FileOrderPutsPreProgramsFirstAndPostProgramsLast) {
    Vector *files = vector_new();
    const std::pair<const char *, int32_t> entries[] = {
        {"post3", 3}, {"plain", 0}, {"pre1", -1}, {"post1", 1}, {"pre5", -5}};
    for (const auto &[name, order] : entries)
        ASSERT_EQ(vector_add(files, make_file(name, order)), 0);
    ASSERT_EQ(vector_sort(files, file_order_compar), 0);
    EXPECT_EQ(sitepaths(files),
              (std::vector<std::string>{"pre5", "pre1", "plain", "post1", "post3"}));

    FileRecord *first = vector_at<FileRecord>(files, 0);
    FileRecord *null_record = nullptr;
    EXPECT_GT(file_order_compar(&null_record, &first), 0);
    EXPECT_LT(file_order_compar(&first, nullptr), 0);
    EXPECT_EQ(file_order_compar(&null_record, &null_record), 0);

    // Extreme orders keep their sign instead of overflowing.
    FileRecord low{}, high{};
    low.order = INT32_MIN;
    high.order = INT32_MAX;
    FileRecord *low_pointer = &low, *high_pointer = &high;
    EXPECT_LT(file_order_compar(&low_pointer, &high_pointer), 0);
    EXPECT_GT(file_order_compar(&high_pointer, &low_pointer), 0);
    for (int32_t i = 0; i < files->count; i++)
        file_free(&context_, vector_at<FileRecord>(files, i));
    vector_free(files, 0);
}

TEST_F(ModelTest, Md5MatchesAgainstRealFiles) {
    // RFC 1321: MD5("abc") = 900150983cd24fb0d6963f7d28e17f72.
    const uint8_t abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                             0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    std::string path = write_file("abc", "abc");
    EXPECT_EQ(file_md5_matches(path.c_str(), abc), 1);
    std::string other = write_file("abd", "abd");
    EXPECT_EQ(file_md5_matches(other.c_str(), abc), 0);
    EXPECT_EQ(file_md5_matches((dir_ + "/missing").c_str(), abc), 0);
    EXPECT_EQ(file_md5_matches(nullptr, abc), -1);

    uint8_t last_byte_off[16];
    memcpy(last_byte_off, abc, sizeof abc);
    last_byte_off[15] ^= 1;
    EXPECT_EQ(file_md5_matches(path.c_str(), last_byte_off), 0);
}

TEST_F(ModelTest, DigestAndInstallabilityPredicates) {
    FileRecord file{};
    EXPECT_EQ(file_md5_missing(&file), 1);
    file.md5[15] = 1;
    EXPECT_EQ(file_md5_missing(&file), 0);
    EXPECT_EQ(file_md5_missing(nullptr), -1);

    EXPECT_EQ(file_is_installable(&file), 1);  // no localpath listed
    char empty[] = "";
    char path[] = "${BINDIR}/qavoupdate";
    file.localpath = empty;
    EXPECT_EQ(file_is_installable(&file), 0);
    file.localpath = path;
    EXPECT_EQ(file_is_installable(&file), 1);
    EXPECT_EQ(file_is_installable(nullptr), 0);
}

TEST_F(ModelTest, FileFreeDeletesOrKeepsTheTemporaryCopyByTheAnswer) {
    const std::pair<int, bool> cases[] = {{0, false}, {1, true}, {7, true}, {-2, true}};
    for (const auto &[answer, kept] : cases) {
        SCOPED_TRACE(answer);
        removals.clear();
        remove_answer = answer;
        std::string temp = write_file("copy" + std::to_string(answer), "partial");
        FileRecord *file = make_file("engine/engine.so");
        file->localpath = strdup("/opt/qavo/engine.so");
        file->tempfile = strdup(temp.c_str());
        int expected = answer == 0 || answer == 1 ? 0 : answer;
        EXPECT_EQ(file_free(&context_, file), expected);
        ASSERT_EQ(removals.size(), 1u);
        EXPECT_EQ(removals[0].temp, temp);
        EXPECT_EQ(removals[0].name, "engine/engine.so");
        EXPECT_EQ(exists(temp), kept);
    }
    EXPECT_EQ(file_free(&context_, nullptr), -1);
}

TEST_F(ModelTest, FileWithoutTemporaryCopyIsReleasedSilently) {
    FileRecord *file = make_file("engine/engine.so");
    EXPECT_EQ(file_free(&context_, file), 0);
    EXPECT_TRUE(codes.empty());
}

TEST_F(ModelTest, InfoFreeReleasesEverythingAndSumsTheAnswers) {
    remove_answer = 3;  // keep every copy, and count in the result
    InfoRecord *info = info_new();
    ASSERT_NE(info, nullptr);
    info->update_file = make_file("qavoupdate");
    info->update_file->tempfile = strdup(write_file("self", "x").c_str());
    info->kit = kit_new();
    info->kit->name = strdup("engine kit");
    ModuleRecord *engine = make_module("engine");
    ModuleRecord *base = make_module("base");
    for (const char *name : {"engine/a", "engine/b"}) {
        FileRecord *file = make_file(name);
        file->tempfile = strdup(write_file(std::string(name).substr(7), "y").c_str());
        ASSERT_EQ(module_add_file(engine, file), 0);
    }
    ASSERT_EQ(module_add_requirement(engine, strdup("base")), 0);
    engine->needs = vector_new();
    ASSERT_EQ(vector_add(engine->needs, strdup("qavomd")), 0);
    // Dependencies borrow modules of the kit; releasing must not free them twice.
    engine->dependencies = vector_new();
    ASSERT_EQ(vector_add(engine->dependencies, base), 0);
    ASSERT_EQ(kit_add_module(info->kit, engine), 0);
    ASSERT_EQ(kit_add_module(info->kit, base), 0);

    // The module files' answers are not collected; only the update entry's.
    EXPECT_EQ(info_free(&context_, info), 3);
    EXPECT_EQ(removals.size(), 3u);
    for (const Removal &removal : removals) EXPECT_TRUE(exists(removal.temp));
    EXPECT_EQ(info_free(&context_, nullptr), -1);
}

TEST_F(ModelTest, ReleaseWithoutCallbackDeletesTheCopies) {
    context_.ui_event = nullptr;  // every answer is then 0
    std::string temp = write_file("orphan", "z");
    FileRecord *file = make_file("x");
    file->tempfile = strdup(temp.c_str());
    EXPECT_EQ(file_free(&context_, file), 0);
    EXPECT_FALSE(exists(temp));
}

}  // namespace
