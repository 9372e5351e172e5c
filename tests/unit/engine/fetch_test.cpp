// Temporary copies, the need-to-fetch check and engineGetFile through the
// file plugin: names, reuse and emptying of copies, digest and signature
// verification, times, and the error of a plugin failure below -1.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "engine/fetch.h"
#include "engine_test_util.h"
#include "transfer/plugin.h"

namespace {

using namespace engine_test;

class FetchTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("tmp"));
        std::filesystem::create_directories(dir.file("mirror"));
        temp_dir = dir.file("tmp");
        url = "file://" + dir.file("mirror/qavoe.info");
        h.root = dir.file("root");
        h.context.temp_dir = temp_dir.data();
        h.context.info_url = url.data();
        h.context.error = &error;
    }
    void TearDown() override {
        engine_close_link(link);
        for (FileRecord *file : files) file_free(nullptr, file);
    }
    FileRecord *listed(const std::string &site, const std::string &content) {
        files.push_back(make_file(site, "${ROOT}/" + site, content));
        return files.back();
    }
    EngineLink *open_link() {
        link = engine_open_link(&h.context);
        return link;
    }
    std::string copy_of(const std::string &site) { return dir.file("tmp/" + md5_hex_of(site)); }

    ScratchDir dir;
    std::string temp_dir, url;
    Harness h;
    ErrorRecord error{};
    EngineLink *link = nullptr;
    std::vector<FileRecord *> files;
};

TEST_F(FetchTest, CopyIsNamedAfterTheDigestOfTheMirrorName) {
    std::string slashed = temp_dir + "//";
    h.context.temp_dir = slashed.data();
    FileRecord *file = listed("engine/engine.so", "x");
    EXPECT_EQ(engine_prepare_tempfile(&h.context, file), 0);
    EXPECT_STREQ(file->tempfile, copy_of("engine/engine.so").c_str());
    struct stat info;
    ASSERT_EQ(stat(file->tempfile, &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    FileRecord *empty = listed("", "");
    EXPECT_EQ(engine_prepare_tempfile(&h.context, empty), 0);
    EXPECT_STREQ(empty->tempfile, (temp_dir + "/d41d8cd98f00b204e9800998ecf8427e").c_str());
}

TEST_F(FetchTest, CompleteCopyIsKeptAndAWrongOneEmptied) {
    FileRecord *good = listed("good", "complete content");
    write_text(copy_of("good"), "complete content");
    EXPECT_EQ(engine_prepare_tempfile(&h.context, good), 1);
    EXPECT_EQ(good->received, 16);
    ASSERT_EQ(h.count(UI_VERIFY_MD5), 1u);
    EXPECT_EQ(h.of(UI_VERIFY_MD5)[0].status, 1);

    FileRecord *bad = listed("bad", "complete content");
    write_text(copy_of("bad"), "complete");
    EXPECT_EQ(engine_prepare_tempfile(&h.context, bad), 0);
    EXPECT_EQ(bad->received, 0);
    EXPECT_EQ(read_text(copy_of("bad")), "");
    EXPECT_EQ(h.of(UI_VERIFY_MD5)[1].status, -1);

    // Without a digest no copy can be trusted.
    FileRecord *unsigned_copy = listed("signed", "");
    write_text(copy_of("signed"), "whatever was there");
    EXPECT_EQ(engine_prepare_tempfile(&h.context, unsigned_copy), 0);
    EXPECT_EQ(read_text(copy_of("signed")), "");
}

TEST_F(FetchTest, NegativeAnswerOrMissingDirectoryFailsWithoutACopyName) {
    FileRecord *file = listed("good", "content");
    write_text(copy_of("good"), "content");
    h.answer = [](const Event &) { return -1; };
    EXPECT_EQ(engine_prepare_tempfile(&h.context, file), -1);
    EXPECT_EQ(file->tempfile, nullptr);

    h.answer = nullptr;
    std::string missing = dir.file("nowhere");
    h.context.temp_dir = missing.data();
    EXPECT_EQ(engine_prepare_tempfile(&h.context, file), -1);
    EXPECT_EQ(file->tempfile, nullptr);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "open");
}

TEST_F(FetchTest, CurrentInstalledFileIsNeitherFetchedNorListed) {
    ASSERT_NE(open_link(), nullptr);
    FileRecord *file = listed("data", "installed data");
    write_text(dir.file("root/data"), "installed data");
    EXPECT_EQ(engine_check_file(file, link), 0);
    EXPECT_STREQ(file->localpath, dir.file("root/data").c_str());  // expanded
    EXPECT_EQ(file->tempfile, nullptr);
    EXPECT_EQ(link->downloads->count, 0);
    ASSERT_EQ(h.count(UI_VERIFY_MD5), 1u);
    EXPECT_EQ(h.of(UI_VERIFY_MD5)[0].status, 1);
}

TEST_F(FetchTest, ChangedOrMissingFileIsListedForDownload) {
    ASSERT_NE(open_link(), nullptr);
    FileRecord *changed = listed("changed", "new text");
    write_text(dir.file("root/changed"), "old text");  // same size, other digest
    FileRecord *missing = listed("missing", "data");
    EXPECT_EQ(engine_check_file(changed, link), 1);
    EXPECT_EQ(engine_check_file(missing, link), 1);
    EXPECT_EQ(h.names(UI_NEEDS_UPDATE), (std::vector<std::string>{"changed", "missing"}));
    ASSERT_EQ(link->downloads->count, 2);
    EXPECT_EQ(vector_at<FileRecord>(link->downloads, 1), missing);
    EXPECT_EQ(h.of(UI_VERIFY_MD5)[0].status, -1);

    FileRecord *skipped = listed("skipped", "data");
    h.answer = [](const Event &event) { return event.code == UI_NEEDS_UPDATE ? 7 : 0; };
    EXPECT_EQ(engine_check_file(skipped, link), 7);

    FileRecord *never = listed("", "data");
    EXPECT_EQ(engine_check_file(never, link), 0);
    EXPECT_EQ(never->tempfile, nullptr);
}

TEST_F(FetchTest, CompleteCopyFromAnEarlierRunIsInstalledWithoutFetching) {
    ASSERT_NE(open_link(), nullptr);
    FileRecord *file = listed("data", "data of the mirror");
    write_text(copy_of("data"), "data of the mirror");
    EXPECT_EQ(engineGetFile(file, link, 1), 0);
    EXPECT_STREQ(file->tempfile, copy_of("data").c_str());
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
    EXPECT_EQ(h.count(UI_PROGRESS), 0u);
}

TEST_F(FetchTest, FetchedFileIsVerifiedByDigestAndGetsTheListedTime) {
    ASSERT_NE(open_link(), nullptr);
    write_text(dir.file("mirror/data"), "mirror data");
    FileRecord *file = listed("data", "mirror data");
    file->time = 1000000000;
    EXPECT_EQ(engineGetFile(file, link, 1), 0);
    struct stat info;  // before reading it, which would touch the access time
    ASSERT_EQ(stat(file->tempfile, &info), 0);
    EXPECT_EQ(info.st_mtime, 1000000000);
    EXPECT_EQ(info.st_atime, 1000000000);
    EXPECT_EQ(read_text(file->tempfile), "mirror data");
    EXPECT_EQ(h.of(UI_VERIFY_MD5).back().status, 1);
}

TEST_F(FetchTest, DigestMismatchEmptiesTheCopy) {
    ASSERT_NE(open_link(), nullptr);
    write_text(dir.file("mirror/data"), "tampered!!!");
    FileRecord *file = listed("data", "mirror data");
    EXPECT_EQ(engineGetFile(file, link, 1), -1);
    EXPECT_EQ(read_text(file->tempfile), "");
    EXPECT_EQ(h.of(UI_VERIFY_MD5).back().status, -1);
    EXPECT_EQ(h.count(UI_ERROR), 0u);  // the verification event is the report

    // The verification answer becomes the result.
    write_text(dir.file("mirror/data"), "mirror data");
    h.answer = [](const Event &event) { return event.code == UI_VERIFY_MD5 ? 5 : 0; };
    EXPECT_EQ(engineGetFile(file, link, 1), 5);
}

TEST_F(FetchTest, FileWithoutDigestIsCheckedByItsSignature) {
    TestKeyGuard key;
    ASSERT_NE(open_link(), nullptr);
    std::string signed_data = signed_with_test_key("signed payload");
    write_text(dir.file("mirror/signed"), signed_data);
    FileRecord *file = listed("signed", "");
    EXPECT_EQ(engineGetFile(file, link, 1), 0);
    EXPECT_EQ(read_text(file->tempfile), signed_data);  // the signature stays
    ASSERT_EQ(h.count(UI_VERIFY_SIGNATURE), 1u);
    EXPECT_EQ(h.of(UI_VERIFY_SIGNATURE)[0].status, 1);

    std::string forged = signed_data;
    forged[0] ^= 1;
    write_text(dir.file("mirror/forged"), forged);
    FileRecord *bad = listed("forged", "");
    EXPECT_EQ(engineGetFile(bad, link, 1), -1);
    EXPECT_EQ(read_text(bad->tempfile), "");
    EXPECT_EQ(h.of(UI_VERIFY_SIGNATURE).back().status, -1);
}

TEST_F(FetchTest, UnverifiedFetchSetsTheTimesToZero) {
    ASSERT_NE(open_link(), nullptr);
    write_text(dir.file("mirror/qavoe.info"), "catalogue");
    FileRecord *file = listed("qavoe.info", "");
    ASSERT_EQ(engine_prepare_tempfile(&h.context, file), 0);
    EXPECT_EQ(engineGetFile(file, link, 0), 0);
    struct stat info;
    ASSERT_EQ(stat(file->tempfile, &info), 0);
    EXPECT_EQ(info.st_mtime, 0);
    EXPECT_EQ(h.count(UI_VERIFY_SIGNATURE) + h.count(UI_VERIFY_MD5), 0u);
}

TEST_F(FetchTest, PluginFailureBelowMinusOneIsRecordedOnce) {
    ASSERT_NE(open_link(), nullptr);
    write_text(dir.file("mirror/data"), "mirror data");
    FileRecord *file = listed("data", "mirror data");
    // The file plugin's result is the answer to its closing event.
    h.answer = [](const Event &event) { return event.code == UI_TRANSFER_DONE ? -2 : 0; };
    EXPECT_EQ(engineGetFile(file, link, 1), -2);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.class_, ERR_UPDATE);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_BAD_MD5);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "engineGetFile");
    EXPECT_EQ(h.count(UI_VERIFY_MD5), 0u);

    // A plain -1 was reported by the plugin already.
    h.answer = nullptr;
    h.events.clear();
    FileRecord *absent = listed("absent", "x");
    EXPECT_EQ(engineGetFile(absent, link, 1), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "stat");
}

TEST_F(FetchTest, LinkIsOpenedOnlyForFileUrls) {
    ASSERT_NE(open_link(), nullptr);
    EXPECT_EQ(link->plugin, 0);
    EXPECT_STREQ(plugin_table[link->plugin]->name, "file");
    EXPECT_NE(link->handle, nullptr);
    EXPECT_EQ(link->downloads->count, 0);

    // Schemes are compared case-sensitively; no plugin serves these.
    for (const char *other : {"file:relative", "FILE:///x/y", "gopher://host/x"}) {
        std::string text = other;
        h.context.info_url = text.data();
        EXPECT_EQ(engine_open_link(&h.context), nullptr) << other;
    }
    h.context.info_url = url.data();
    h.context.ui_event = nullptr;
    EXPECT_EQ(engine_open_link(&h.context), nullptr);
    engine_close_link(nullptr);
}

}  // namespace
