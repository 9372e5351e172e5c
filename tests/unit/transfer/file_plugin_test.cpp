// The file plugin: the mirror directory taken from the URL, copies resumed
// from their size on disk, the attempt budget and its events.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../engine/engine_test_util.h"
#include "transfer/file_plugin.h"
#include "transfer/plugin.h"

namespace {

using namespace engine_test;

class FilePluginTest : public EngineFixture {
   protected:
    FilePluginTest() {
        h.context.tries = 3;
        source = static_cast<FileSource *>(file_plugin.open(&h.context));
        file->tempfile = strdup(temp.c_str());
    }
    ~FilePluginTest() override {
        file_plugin.close(source);
        file_free(nullptr, file);
    }
    // Progress events raised while data moved (the file's own has a name).
    std::vector<int32_t> data_progress() const {
        std::vector<int32_t> done;
        for (const Event &event : h.of(UI_PROGRESS))
            if (event.name.empty()) done.push_back(event.done);
        return done;
    }

    std::string temp = dir.file("copy"), mirrored = dir.file("mirror/sub/data");
    FileSource *source = nullptr;
    FileRecord *file = make_file("sub/data", "");
};

TEST_F(FilePluginTest, BaseIsTheDirectoryOfTheInformationFile) {
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->base, dir.file("mirror"));
    EXPECT_EQ(source->context, &h.context);
    EXPECT_EQ(source->announced, 0);
    for (auto [text, base] : {std::pair{"file:///var/mirror/qavoe.info", "/var/mirror"},
                              std::pair{"file://qavoe.info", "."}, std::pair{"file:relative", ""},
                              std::pair{"File:///x", ""}, std::pair{"http://host/x", ""}}) {
        std::string copy = text;
        h.context.info_url = copy.data();
        auto *other = static_cast<FileSource *>(file_plugin.open(&h.context));
        if (*base == '\0') {
            EXPECT_EQ(other, nullptr) << text;  // declined
            continue;
        }
        ASSERT_NE(other, nullptr);
        EXPECT_STREQ(other->base, base);
        file_plugin.close(other);
    }
}

TEST_F(FilePluginTest, CopyIsContinuedFromItsRealSize) {
    const std::string data = std::string(6000, 'a') + std::string(6000, 'b');
    const struct {
        std::string source, copy;
        bool has_copy;
        int result;
        std::string after;
        std::vector<int32_t> progress;
        int attempts;
    } cases[] = {
        // received stays 0: the plugin goes by the size on disk
        {data, data.substr(0, 5000), true, 0, data, {5000 + 4096, 12000}, 1},
        {"complete", "complete", true, 0, "complete", {}, 1},
        {"fresh", "", false, 0, "fresh", {5}, 1},  // created with 0600
        // never truncated here; the budget is spent without an error
        {"short", "longer than the source", true, -1, "longer than the source", {}, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.source.substr(0, 10));
        h.events.clear();
        source->attempts = 0;
        write_text(mirrored, c.source);
        std::filesystem::remove(temp);
        if (c.has_copy) write_text(temp, c.copy);
        EXPECT_EQ(file_plugin.get(file, source), c.result);
        EXPECT_EQ(read_text(temp), c.after);
        EXPECT_EQ(data_progress(), c.progress);
        EXPECT_EQ(h.count(UI_TRANSFER_DONE), c.result == 0 ? 1u : 0u);
        EXPECT_EQ(h.count(UI_ERROR), 0u);
        EXPECT_EQ(source->attempts, c.attempts);
        struct stat info;
        ASSERT_EQ(stat(temp.c_str(), &info), 0);
        if (!c.has_copy) {
            EXPECT_EQ(info.st_mode & 0777, 0600u);
        }
    }
}

TEST_F(FilePluginTest, MissingSourceIsReportedOnEveryAttempt) {
    EXPECT_EQ(file_plugin.get(file, source), -1);
    ASSERT_EQ(h.count(UI_ERROR), 3u);
    for (const Event &event : h.of(UI_ERROR)) {
        EXPECT_EQ(event.error.class_, ERR_FILE_SYSCALL);
        EXPECT_EQ(event.error.code, ENOENT);
        EXPECT_EQ(event.call, "stat");
    }
    auto retries = h.of(UI_RETRY);
    ASSERT_EQ(retries.size(), 2u);
    EXPECT_EQ(retries[0].words[0], 1);
    EXPECT_EQ(retries[1].words[0], 2);
    EXPECT_EQ(retries[1].words[1], 3);
}

TEST_F(FilePluginTest, NoBudgetRetriesUntilTheCopySucceeds) {
    h.context.tries = 0;
    h.answer = [&](const Event &event) {
        if (event.code == UI_RETRY && event.words[0] == 6) write_text(mirrored, "late");
        return 0;
    };
    EXPECT_EQ(file_plugin.get(file, source), 0);
    EXPECT_EQ(source->attempts, 7);
    EXPECT_EQ(h.count(UI_ERROR), 6u);
    EXPECT_EQ(read_text(temp), "late");
}

TEST_F(FilePluginTest, ConnectingIsAnnouncedOncePerHandle) {
    write_text(mirrored, "x");
    EXPECT_EQ(file_plugin.get(file, source), 0);
    std::filesystem::remove(temp);
    EXPECT_EQ(file_plugin.get(file, source), 0);
    ASSERT_EQ(h.count(UI_CONNECTING), 1u);
    EXPECT_EQ(h.of(UI_CONNECTING)[0].name, "localhost");
    EXPECT_EQ(source->announced, 1);
    EXPECT_EQ(h.count(UI_PROGRESS) - data_progress().size(), 2u);
}

TEST_F(FilePluginTest, NegativeAnswersEndTheGet) {
    write_text(mirrored, "x");
    h.answer = [](const Event &event) { return event.code == UI_CONNECTING ? -1 : 0; };
    EXPECT_EQ(file_plugin.get(file, source), -1);
    EXPECT_EQ(h.count(UI_PROGRESS), 0u);
    h.answer = [](const Event &event) { return event.code == UI_PROGRESS ? -1 : 0; };
    EXPECT_EQ(file_plugin.get(file, source), -1);
    EXPECT_EQ(read_text(temp), "");
    EXPECT_EQ(file_plugin.get(nullptr, source), -1);
    EXPECT_EQ(file_plugin.get(file, nullptr), -1);
}

}  // namespace
