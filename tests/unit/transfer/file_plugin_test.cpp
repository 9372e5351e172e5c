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

class FilePluginTest : public ::testing::Test {
   protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("mirror/sub"));
        url = "file://" + dir.file("mirror/qavoe.info");
        h.context.info_url = url.data();
        h.context.error = &error;
        h.context.tries = 3;
        source = static_cast<FileSource *>(file_plugin.open(&h.context));
        file = make_file("sub/data", "");
        temp = dir.file("copy");
        file->tempfile = strdup(temp.c_str());
    }
    void TearDown() override {
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

    ScratchDir dir;
    std::string url, temp;
    Harness h;
    ErrorRecord error{};
    FileSource *source = nullptr;
    FileRecord *file = nullptr;
};

TEST_F(FilePluginTest, BaseIsTheDirectoryOfTheInformationFile) {
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->base, dir.file("mirror"));
    EXPECT_EQ(source->context, &h.context);
    EXPECT_EQ(source->announced, 0);

    for (auto [text, base] : {std::pair{"file:///var/mirror/qavoe.info", "/var/mirror"},
                              std::pair{"file://qavoe.info", "."}}) {
        std::string copy = text;
        h.context.info_url = copy.data();
        auto *other = static_cast<FileSource *>(file_plugin.open(&h.context));
        ASSERT_NE(other, nullptr);
        EXPECT_STREQ(other->base, base);
        file_plugin.close(other);
    }
    for (const char *declined : {"file:relative", "File:///x", "http://host/x"}) {
        std::string copy = declined;
        h.context.info_url = copy.data();
        EXPECT_EQ(file_plugin.open(&h.context), nullptr) << declined;
    }
}

TEST_F(FilePluginTest, PartialCopyIsContinuedFromItsRealSize) {
    std::string data = std::string(6000, 'a') + std::string(6000, 'b');
    write_text(dir.file("mirror/sub/data"), data);
    write_text(temp, data.substr(0, 5000));
    file->received = 0;  // the plugin goes by the size on disk, not by this
    EXPECT_EQ(file_plugin.get(file, source), 0);
    EXPECT_EQ(read_text(temp), data);
    EXPECT_EQ(data_progress(), (std::vector<int32_t>{5000 + 4096, 12000}));
    EXPECT_EQ(h.count(UI_TRANSFER_DONE), 1u);
    EXPECT_EQ(source->attempts, 1);
}

TEST_F(FilePluginTest, CopyAsLongAsTheSourceIsDoneAtOnce) {
    write_text(dir.file("mirror/sub/data"), "complete");
    write_text(temp, "complete");
    EXPECT_EQ(file_plugin.get(file, source), 0);
    EXPECT_TRUE(data_progress().empty());
    EXPECT_EQ(h.count(UI_TRANSFER_DONE), 1u);
}

TEST_F(FilePluginTest, MissingCopyIsCreatedWith0600) {
    write_text(dir.file("mirror/sub/data"), "fresh");
    std::filesystem::remove(temp);
    EXPECT_EQ(file_plugin.get(file, source), 0);
    struct stat info;
    ASSERT_EQ(stat(temp.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(read_text(temp), "fresh");
}

TEST_F(FilePluginTest, CopyLongerThanTheSourceSpendsTheBudgetSilently) {
    write_text(dir.file("mirror/sub/data"), "short");
    write_text(temp, "longer than the source");
    EXPECT_EQ(file_plugin.get(file, source), -1);
    EXPECT_EQ(source->attempts, 3);
    EXPECT_EQ(h.count(UI_ERROR), 0u);
    EXPECT_EQ(h.count(UI_TRANSFER_DONE), 0u);
    EXPECT_EQ(read_text(temp), "longer than the source");  // never truncated here
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
    std::string source_path = dir.file("mirror/sub/data");
    h.answer = [&](const Event &event) {
        if (event.code == UI_RETRY && event.words[0] == 6) write_text(source_path, "late");
        return 0;
    };
    EXPECT_EQ(file_plugin.get(file, source), 0);
    EXPECT_EQ(source->attempts, 7);
    EXPECT_EQ(h.count(UI_ERROR), 6u);
    EXPECT_EQ(read_text(temp), "late");
}

TEST_F(FilePluginTest, ConnectingIsAnnouncedOncePerHandle) {
    write_text(dir.file("mirror/sub/data"), "x");
    EXPECT_EQ(file_plugin.get(file, source), 0);
    std::filesystem::remove(temp);
    EXPECT_EQ(file_plugin.get(file, source), 0);
    ASSERT_EQ(h.count(UI_CONNECTING), 1u);
    EXPECT_EQ(h.of(UI_CONNECTING)[0].name, "localhost");
    EXPECT_EQ(source->announced, 1);
    EXPECT_EQ(h.count(UI_PROGRESS) - data_progress().size(), 2u);
}

TEST_F(FilePluginTest, NegativeAnswersEndTheGet) {
    write_text(dir.file("mirror/sub/data"), "x");
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
