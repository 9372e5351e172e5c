// Temporary copies, the need-to-fetch check and engineGetFile through the
// file plugin: names, reuse and emptying of copies, digest and signature
// verification, times, and the error of a plugin failure below -1.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include <string>

#include "engine/fetch.h"
#include "engine_test_util.h"
#include "transfer/plugin.h"

namespace {

using namespace engine_test;
using Names = std::vector<std::string>;

class FetchTest : public EngineFixture {
   protected:
    ~FetchTest() override {
        engine_close_link(link);
        for (FileRecord *file : files) file_free(nullptr, file);
    }
    FileRecord *listed(const std::string &site, const std::string &content) {
        files.push_back(make_file(site, "${ROOT}/" + site, content));
        return files.back();
    }
    std::string copy_of(const std::string &site) { return dir.file("tmp/" + md5_hex_of(site)); }

    TestKeyGuard key;
    EngineLink *link = engine_open_link(&h.context);
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

TEST_F(FetchTest, CompleteCopyIsKeptAndAnyOtherEmptied) {
    const struct {
        const char *site, *listed, *copy;
        int result;
        int32_t received, status;  // status 0: no digest, no verification event
    } cases[] = {
        {"good", "complete content", "complete content", 1, 16, 1},
        {"bad", "complete content", "complete", 0, 0, -1},
        {"unsigned", "", "whatever was there", 0, 0, 0},  // no digest: never trusted
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.site);
        h.events.clear();
        FileRecord *file = listed(c.site, c.listed);
        write_text(copy_of(c.site), c.copy);
        EXPECT_EQ(engine_prepare_tempfile(&h.context, file), c.result);
        EXPECT_EQ(file->received, c.received);
        EXPECT_EQ(read_text(copy_of(c.site)), c.result == 1 ? c.copy : "");
        if (c.status == 0) continue;
        ASSERT_EQ(h.count(UI_VERIFY_MD5), 1u);
        EXPECT_EQ(h.of(UI_VERIFY_MD5)[0].status, c.status);
    }
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
    EXPECT_TRUE(h.one_error("open"));
}

// Whatever another user may have put under a copy's name is neither read
// nor written through, and never taken for a complete copy even when its
// content has the listed digest: a fresh copy of our own replaces it.
TEST_F(FetchTest, PlantedNamesAreReplacedByAFreshCopyOfOurOwn) {
    const std::string victim = dir.file("victim");
    const struct {
        const char *site;
        bool needs_root;
        std::function<void(const std::string &)> plant;
    } cases[] = {
        {"link", false,
         [&](const std::string &copy) { EXPECT_EQ(symlink(victim.c_str(), copy.c_str()), 0); }},
        {"dangling", false,
         [&](const std::string &copy) {
             EXPECT_EQ(symlink(dir.file("created").c_str(), copy.c_str()), 0);
         }},
        {"hard link", false,
         [&](const std::string &copy) { EXPECT_EQ(::link(victim.c_str(), copy.c_str()), 0); }},
        {"writable", false,
         [&](const std::string &copy) {
             write_text(copy, "good content");
             EXPECT_EQ(chmod(copy.c_str(), 0666), 0);
         }},
        {"nobody's", true,
         [&](const std::string &copy) {
             write_text(copy, "good content");
             EXPECT_EQ(chown(copy.c_str(), 65534, 65534), 0);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.site);
        if (c.needs_root && geteuid() != 0) continue;
        h.events.clear();
        write_text(victim, "good content");
        FileRecord *file = listed(c.site, "good content");
        c.plant(copy_of(c.site));
        EXPECT_EQ(engine_prepare_tempfile(&h.context, file), 0);
        EXPECT_EQ(file->received, 0);
        EXPECT_EQ(h.count(UI_VERIFY_MD5), 0u);
        struct stat copy;
        ASSERT_EQ(lstat(copy_of(c.site).c_str(), &copy), 0);
        EXPECT_TRUE(S_ISREG(copy.st_mode));
        EXPECT_EQ(copy.st_mode & 07777, 0600u);
        EXPECT_EQ(copy.st_uid, geteuid());
        EXPECT_EQ(copy.st_nlink, 1u);
        EXPECT_EQ(copy.st_size, 0);
        EXPECT_EQ(read_text(victim), "good content");
        EXPECT_FALSE(exists(dir.file("created")));
    }
}

TEST_F(FetchTest, ADirectoryOthersCanClearHoldsNoCopies) {
    ASSERT_EQ(chmod(temp_dir.c_str(), 0777), 0);
    FileRecord *file = listed("data", "x");
    EXPECT_EQ(engine_prepare_tempfile(&h.context, file), -1);
    EXPECT_TRUE(h.one_error("temppath"));
    EXPECT_EQ(file->tempfile, nullptr);
    EXPECT_FALSE(exists(copy_of("data")));
    ASSERT_EQ(chmod(temp_dir.c_str(), 01777), 0);  // the sticky bit makes it safe
    EXPECT_EQ(engine_prepare_tempfile(&h.context, file), 0);
}

TEST_F(FetchTest, ChangedOrMissingFilesAreListedForDownload) {
    ASSERT_NE(link, nullptr);
    write_text(dir.file("root/current"), "installed data");
    write_text(dir.file("root/changed"), "old text");  // same size, other digest
    const struct {
        const char *site, *content;
        int answer, result;
        int32_t status;  // of the installed file's check, 0 when there is none
    } cases[] = {
        {"current", "installed data", 0, 0, 1},
        {"changed", "new text", 0, 1, -1},
        {"missing", "data", 0, 1, 0},
        {"skipped", "data", 7, 7, 0},
        {"", "data", 0, 0, 0},  // without a mirror name never fetched
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.site);
        h.events.clear();
        int32_t listed_before = link->downloads->count;
        h.answer = [answer = c.answer](const Event &event) {
            return event.code == UI_NEEDS_UPDATE ? answer : 0;
        };
        FileRecord *file = listed(c.site, c.content);
        EXPECT_EQ(engine_check_file(file, link), c.result);
        bool needed = c.result != 0;  // a copy was made ready and the file listed
        EXPECT_EQ(file->tempfile != nullptr, needed);
        EXPECT_EQ(h.names(UI_NEEDS_UPDATE), needed ? Names{c.site} : Names{});
        ASSERT_EQ(link->downloads->count, listed_before + needed);
        if (needed) {
            EXPECT_EQ(vector_at<FileRecord>(link->downloads, listed_before), file);
        }
        EXPECT_EQ(h.count(UI_VERIFY_MD5) != 0 ? h.of(UI_VERIFY_MD5)[0].status : 0, c.status);
    }
    EXPECT_STREQ(files[0]->localpath, dir.file("root/current").c_str());  // expanded
}

TEST_F(FetchTest, FetchedCopyIsVerifiedAndGetsTheListedTime) {
    ASSERT_NE(link, nullptr);
    std::string signed_data = signed_with_test_key("signed payload"), forged = signed_data;
    forged[0] ^= 1;
    const struct {
        const char *site;
        std::string mirror;
        const char *listed;
        int verify, result;
        int event;  // the verification event, 0 for none
        int32_t status;
        bool kept;
        int64_t mtime;  // -1: not checked
    } cases[] = {
        {"data", "mirror data", "mirror data", 1, 0, UI_VERIFY_MD5, 1, true, 1000000000},
        {"tampered", "tampered!!!", "mirror data", 1, -1, UI_VERIFY_MD5, -1, false, -1},
        // Without a digest the signature is checked, and stays in the copy.
        {"signed", signed_data, "", 1, 0, UI_VERIFY_SIGNATURE, 1, true, -1},
        {"forged", forged, "", 1, -1, UI_VERIFY_SIGNATURE, -1, false, -1},
        {"qavoe.info", "catalogue", "", 0, 0, 0, 0, true, 0},  // unverified
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.site);
        h.events.clear();
        write_text(dir.file(std::string("mirror/") + c.site), c.mirror);
        FileRecord *file = listed(c.site, c.listed);
        file->time = c.verify != 0 ? 1000000000 : 0;
        ASSERT_TRUE(c.verify != 0 || engine_prepare_tempfile(&h.context, file) == 0);
        EXPECT_EQ(engineGetFile(file, link, c.verify), c.result);
        struct stat info;  // before reading it, which would touch the access time
        ASSERT_EQ(stat(file->tempfile, &info), 0);
        if (c.mtime >= 0) {
            EXPECT_EQ(info.st_mtime, c.mtime);
            EXPECT_EQ(info.st_atime, c.mtime);
        }
        EXPECT_EQ(read_text(file->tempfile), c.kept ? c.mirror : "");
        ASSERT_EQ(h.count(UI_VERIFY_SIGNATURE) + h.count(UI_VERIFY_MD5), c.event != 0 ? 1u : 0u);
        EXPECT_EQ(c.event != 0 ? h.of(c.event).at(0).status : 0, c.status);
        EXPECT_EQ(h.count(UI_ERROR), 0u);  // the verification event is the report
    }
    // The verification answer becomes the result.
    h.answer = [](const Event &event) { return event.code == UI_VERIFY_MD5 ? 5 : 0; };
    write_text(dir.file("mirror/tampered"), "mirror data");
    EXPECT_EQ(engineGetFile(files[1], link, 1), 5);
}

TEST_F(FetchTest, MirrorFileLongerThanListedIsRefusedUnreadAndNeverVerified) {
    ASSERT_NE(link, nullptr);
    write_text(dir.file("mirror/data"), "mirror data, and then some");
    FileRecord *file = listed("data", "mirror data");
    EXPECT_EQ(engineGetFile(file, link, 1), -1);
    EXPECT_TRUE(h.one_error("write"));
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, EFBIG);
    EXPECT_EQ(read_text(file->tempfile), "");
    EXPECT_EQ(h.count(UI_VERIFY_MD5), 0u);
    // Without a listed size the catalogue's bound applies instead.
    h.events.clear();
    FileRecord *unlisted = listed("data", "mirror data");
    unlisted->size = 0;
    ASSERT_EQ(engine_prepare_tempfile(&h.context, unlisted), 0);
    EXPECT_EQ(engineGetFile(unlisted, link, 0), 0);
    EXPECT_EQ(read_text(unlisted->tempfile), "mirror data, and then some");
}

TEST_F(FetchTest, PluginFailureBelowMinusOneIsRecordedOnce) {
    ASSERT_NE(link, nullptr);
    write_text(dir.file("mirror/data"), "mirror data");
    // The file plugin's result is the answer to its closing event.
    h.answer = [](const Event &event) { return event.code == UI_TRANSFER_DONE ? -2 : 0; };
    EXPECT_EQ(engineGetFile(listed("data", "mirror data"), link, 1), -2);
    EXPECT_TRUE(h.one_error("engineGetFile", UPD_BAD_MD5));
    EXPECT_EQ(h.count(UI_VERIFY_MD5), 0u);

    // A plain -1 was reported by the plugin already.
    h.answer = nullptr;
    h.events.clear();
    EXPECT_EQ(engineGetFile(listed("absent", "x"), link, 1), -1);
    EXPECT_TRUE(h.one_error("stat"));
}

TEST_F(FetchTest, LinkIsOpenedOnlyForFileUrls) {
    ASSERT_NE(link, nullptr);
    EXPECT_STREQ(plugin_table[link->plugin]->name, "file");
    EXPECT_EQ(link->plugin, 0);
    EXPECT_NE(link->handle, nullptr);
    EXPECT_EQ(link->downloads->count, 0);
    // Schemes are compared case-sensitively; no plugin serves these.
    for (std::string other : {"file:relative", "FILE:///x/y", "gopher://host/x"}) {
        h.context.info_url = other.data();
        EXPECT_EQ(engine_open_link(&h.context), nullptr) << other;
    }
    h.context.info_url = url.data();
    h.context.ui_event = nullptr;
    EXPECT_EQ(engine_open_link(&h.context), nullptr);
    engine_close_link(nullptr);
}

}  // namespace
