// engine_update over a file:// mirror with a compressed catalogue signed by
// the test key: a whole run under the sanitizers, refused signatures, plugin
// failures and refused contexts (the end-to-end tests cover the rest).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "engine_test_util.h"
#include "integrity/lzss.h"

namespace {

using namespace engine_test;

std::string compressed(const std::string &text) {
    FILE *input = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    char *buffer = nullptr;
    size_t size = 0;
    FILE *output = open_memstream(&buffer, &size);
    EXPECT_EQ(lzss_encode(input, output), 0);
    fclose(input);
    fclose(output);
    std::string result(buffer, size);
    free(buffer);
    return result;
}

std::string entry(const std::string &site, const std::string &local, const std::string &data,
                  const std::string &extra = "") {
    return "<file> sitepath = " + site + " localpath = \"" + local +
           "\" size = " + std::to_string(data.size()) +
           " time = 1000000000 md5 = " + md5_hex_of(data) + " " + extra + " </file>\n";
}

class EngineUpdateTest : public ::testing::Test {
   protected:
    void SetUp() override {
        for (const char *sub : {"tmp", "mirror", "root/bin"})
            std::filesystem::create_directories(dir.file(sub));
        temp_dir = dir.file("tmp");
        url = "file://" + dir.file("mirror/qavoe.info");
        h.root = dir.file("root");
        h.context.temp_dir = temp_dir.data();
        h.context.info_url = url.data();
        write_text(dir.file("root/bin/qavoupdate"), self);
        mirror("base/data", "base data");
        mirror("engine/engine.so", "engine code");
        mirror("qavoupdate", self);
    }
    void mirror(const std::string &site, const std::string &data) {
        write_text(dir.file("mirror/" + site), data);
    }
    void publish(const std::string &self_data) {
        std::string text = "<update> sitepath = qavoupdate localpath = ${ROOT}/bin/qavoupdate " +
                           std::string("size = ") + std::to_string(self_data.size()) +
                           " md5 = " + md5_hex_of(self_data) + " </update>\n<kit>\n" +
                           "<module> name = engine require = base\n" +
                           entry("engine/engine.so", "${ROOT}/engine.so", "engine code") +
                           "</module>\n<module> name = base\n" +
                           entry("base/data", "${ROOT}/data", "base data") + "</module>\n</kit>\n";
        mirror("qavoe.info", signed_with_test_key(compressed(text)));
    }
    bool temp_dir_empty() const { return std::filesystem::is_empty(temp_dir); }

    TestKeyGuard key;
    ScratchDir dir;
    std::string temp_dir, url;
    std::string self = "the updater, current";
    Harness h;
};

TEST_F(EngineUpdateTest, FirstRunInstallsDependenciesFirstAndCleansUp) {
    publish(self);
    h.select("engine");
    EXPECT_EQ(engine_update(&h.context), 0);
    EXPECT_EQ(h.context.error, nullptr);
    EXPECT_EQ(h.names(UI_NEEDS_UPDATE),
              (std::vector<std::string>{"base/data", "engine/engine.so"}));
    EXPECT_EQ(h.names(UI_INSTALL_MODULE), (std::vector<std::string>{"base", "engine"}));
    EXPECT_EQ(read_text(dir.file("root/data")), "base data");
    EXPECT_EQ(read_text(dir.file("root/engine.so")), "engine code");
    ASSERT_EQ(h.of(UI_VERIFY_SIGNATURE).size(), 1u);
    EXPECT_EQ(h.of(UI_VERIFY_SIGNATURE)[0].status, 1);
    EXPECT_EQ(h.count(UI_ERROR), 0u);
    EXPECT_TRUE(temp_dir_empty());

    h.events.clear();
    h.installs.clear();
    EXPECT_EQ(engine_update(&h.context), 0);
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
    EXPECT_EQ(h.count(UI_INSTALL_MODULE), 0u);
    EXPECT_TRUE(h.installs.empty());
    EXPECT_TRUE(temp_dir_empty());
}

TEST_F(EngineUpdateTest, CatalogueWithABadSignatureIsRefused) {
    publish(self);
    std::string catalogue = read_text(dir.file("mirror/qavoe.info"));
    catalogue[3] ^= 0x40;
    mirror("qavoe.info", catalogue);
    h.select("engine");
    EXPECT_EQ(engine_update(&h.context), -1);
    ASSERT_EQ(h.count(UI_VERIFY_SIGNATURE), 1u);
    EXPECT_EQ(h.of(UI_VERIFY_SIGNATURE)[0].status, -1);
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
    EXPECT_TRUE(temp_dir_empty());

    h.events.clear();
    publish(self);
    h.answer = [](const Event &event) { return event.code == UI_VERIFY_SIGNATURE ? -1 : 0; };
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
}

TEST_F(EngineUpdateTest, PluginFailuresEndTheRun) {
    publish(self);
    h.select("engine");
    int transfers = 0;
    // The second transfer is the first module file.
    h.answer = [&](const Event &event) {
        return event.code == UI_TRANSFER_DONE && ++transfers == 2 ? -2 : 0;
    };
    EXPECT_EQ(engine_update(&h.context), -2);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "engineGetFile");
    EXPECT_TRUE(h.installs.empty());

    // For the information file the run fails with -1.
    h.events.clear();
    h.answer = [](const Event &event) { return event.code == UI_TRANSFER_DONE ? -2 : 0; };
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(h.count(UI_VERIFY_SIGNATURE), 0u);
}

TEST_F(EngineUpdateTest, MissingModuleAndUnreadableCatalogueAreReported) {
    publish(self);
    h.select("nosuch");
    EXPECT_EQ(engine_update(&h.context), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_NO_INFO);
    EXPECT_EQ(h.of(UI_ERROR)[0].call, "nosuch");

    h.events.clear();
    mirror("qavoe.info", signed_with_test_key(compressed("<kit> </kit>")));
    EXPECT_EQ(engine_update(&h.context), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_PARSER);
    EXPECT_TRUE(temp_dir_empty());
}

TEST_F(EngineUpdateTest, IncompleteContextIsRefusedUntouched) {
    publish(self);
    ErrorRecord busy{};
    h.context.error = &busy;
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(h.context.error, &busy);
    EXPECT_TRUE(h.events.empty());
    h.context.error = nullptr;
    h.context.install_file = nullptr;
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(engine_update(nullptr), -1);
    EXPECT_TRUE(h.events.empty());

    // A URL that no plugin serves fails after the error record was made.
    std::string other = "gopher://mirror.example/qavoe.info";
    h.context.info_url = other.data();
    h.context.install_file = [](RunState *, int, const char *, const char *) { return 0; };
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(h.context.error, nullptr);
}

}  // namespace
