// engine_update over a file:// mirror with a compressed catalogue signed by
// the test key: a whole run under the sanitizers, refused signatures, plugin
// failures and refused contexts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "engine_test_util.h"
#include "integrity/lzss.h"

namespace {

using namespace engine_test;
using Names = std::vector<std::string>;

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

std::string entry(const std::string &site, const std::string &local, const std::string &data) {
    return "<file> sitepath = " + site + " localpath = \"" + local +
           "\" size = " + std::to_string(data.size()) +
           " time = 1000000000 md5 = " + md5_hex_of(data) + " </file>\n";
}

class EngineUpdateTest : public EngineFixture {
   protected:
    EngineUpdateTest() {
        h.context.error = nullptr;  // engine_update makes its own
        write_text(dir.file("root/bin/qavoupdate"), self);
        mirror("base/data", "base data");
        mirror("engine/engine.so", "engine code");
        mirror("qavoupdate", self);
        publish();
    }
    void mirror(const std::string &site, const std::string &data) {
        write_text(dir.file("mirror/" + site), data);
    }
    void publish() {
        std::string text = "<update> sitepath = qavoupdate localpath = ${ROOT}/bin/qavoupdate " +
                           std::string("size = ") + std::to_string(self.size()) +
                           " md5 = " + md5_hex_of(self) + " </update>\n<kit>\n" +
                           "<module> name = engine require = base\n" +
                           entry("engine/engine.so", "${ROOT}/engine.so", "engine code") +
                           "</module>\n<module> name = base\n" +
                           entry("base/data", "${ROOT}/data", "base data") + "</module>\n</kit>\n";
        mirror("qavoe.info", signed_with_test_key(compressed(text)));
    }
    bool temp_dir_empty() const { return std::filesystem::is_empty(temp_dir); }

    TestKeyGuard key;
    std::string self = "the updater, current";
};

TEST_F(EngineUpdateTest, FirstRunInstallsDependenciesFirstAndCleansUp) {
    h.select("engine");
    EXPECT_EQ(engine_update(&h.context), 0);
    EXPECT_EQ(h.context.error, nullptr);
    EXPECT_EQ(h.names(UI_NEEDS_UPDATE), (Names{"base/data", "engine/engine.so"}));
    EXPECT_EQ(h.names(UI_INSTALL_MODULE), (Names{"base", "engine"}));
    EXPECT_EQ(read_text(dir.file("root/data")), "base data");
    EXPECT_EQ(read_text(dir.file("root/engine.so")), "engine code");
    ASSERT_EQ(h.count(UI_VERIFY_SIGNATURE), 1u);
    EXPECT_EQ(h.of(UI_VERIFY_SIGNATURE)[0].status, 1);
    EXPECT_EQ(h.count(UI_ERROR), 0u);
    EXPECT_TRUE(temp_dir_empty());
}

TEST_F(EngineUpdateTest, CatalogueWithABadSignatureIsRefused) {
    std::string catalogue = read_text(dir.file("mirror/qavoe.info"));
    catalogue[3] ^= 0x40;
    mirror("qavoe.info", catalogue);
    h.select("engine");
    EXPECT_EQ(engine_update(&h.context), -1);
    ASSERT_EQ(h.count(UI_VERIFY_SIGNATURE), 1u);
    EXPECT_EQ(h.of(UI_VERIFY_SIGNATURE)[0].status, -1);
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
    EXPECT_TRUE(temp_dir_empty());

    // A good signature refused by the answer.
    h.events.clear();
    publish();
    h.answer = [](const Event &event) { return event.code == UI_VERIFY_SIGNATURE ? -1 : 0; };
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(h.count(UI_NEEDS_UPDATE), 0u);
}

TEST_F(EngineUpdateTest, PluginFailuresEndTheRun) {
    h.select("engine");
    int transfers = 0;
    // The second transfer is the first module file.
    h.answer = [&](const Event &event) {
        return event.code == UI_TRANSFER_DONE && ++transfers == 2 ? -2 : 0;
    };
    EXPECT_EQ(engine_update(&h.context), -2);
    EXPECT_TRUE(h.one_error("engineGetFile", UPD_BAD_MD5));
    EXPECT_TRUE(h.installs.empty());

    // For the information file the run fails with -1.
    h.events.clear();
    h.answer = [](const Event &event) { return event.code == UI_TRANSFER_DONE ? -2 : 0; };
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(h.count(UI_VERIFY_SIGNATURE), 0u);
}

TEST_F(EngineUpdateTest, UnreadableCatalogueIsReported) {
    mirror("qavoe.info", signed_with_test_key(compressed("<kit> </kit>")));
    EXPECT_EQ(engine_update(&h.context), -1);
    ASSERT_EQ(h.count(UI_ERROR), 1u);
    EXPECT_EQ(h.of(UI_ERROR)[0].error.code, UPD_PARSER);
    EXPECT_TRUE(temp_dir_empty());
}

TEST_F(EngineUpdateTest, IncompleteContextIsRefusedUntouched) {
    ErrorRecord busy{};
    h.context.error = &busy;
    EXPECT_EQ(engine_update(&h.context), -1);
    EXPECT_EQ(h.context.error, &busy);
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
