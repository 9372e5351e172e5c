// The catalogue's scanner and grammar: properties into records, string
// forms, and recovery: every broken file is one parser error, and the next
// load starts afresh.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "infofile/infofile.h"
#include "tests/unit/test_util.h"

namespace {

class Catalogue : public ::testing::Test {
   protected:
    void TearDown() override { info_free(&recorder.context, info); }

    InfoRecord *load(const std::string &text) {
        info_free(&recorder.context, info);
        recorder.errors.clear();
        testing::internal::CaptureStdout();
        info = update_get_information(&recorder.context,
                                      dir.write("info", Bytes(text.begin(), text.end())).c_str());
        echoed = testing::internal::GetCapturedStdout();
        return info;
    }
    static std::string with_file(const std::string &properties) {
        return "<update> sitepath = q </update>\n<kit> <module> name = m <file> " + properties +
               " </file> </module> </kit>\n";
    }
    const ModuleRecord *module(int32_t at = 0) const {
        return vector_at<ModuleRecord>(info->kit->modules, at);
    }
    const FileRecord *file() const { return vector_at<FileRecord>(module()->files, 0); }
    static std::vector<std::string> names(const Vector *list) {
        std::vector<std::string> found;
        for (int32_t i = 0; list != nullptr && i < list->count; i++)
            found.emplace_back(vector_at<char>(list, i));
        return found;
    }
    // The one error of a broken file, and nothing loaded.
    void expect_parser_error() const {
        EXPECT_EQ(info, nullptr);
        EXPECT_EQ(recorder.error_text(), std::to_string(ERR_UPDATE) + " " +
                                             std::to_string(UPD_PARSER) +
                                             " update_get_information");
    }

    ScratchDir dir;
    Recorder recorder;
    InfoRecord *info = nullptr;
    std::string echoed;
};

TEST_F(Catalogue, PropertiesBecomeRecordFields) {
    ASSERT_NE(load("<!-- head --><Update> SitePath = qavoupdate LOCALPATH = ${BINDIR}/q size = 812 "
                   "time = 900 md5 = 0123456789ABCDEF0123456789abcdef </UPDATE>\n<KIT> Name = "
                   "\"engine <!-- kit -->\" <MoDuLe> NAME = engine Require = a b c NEEDS = x y\n"
                   "<file> sitepath = engine/setup localpath = \"\" exec = POST 1 </file>\n"
                   "</module> <module> name = base require = z require = w </module> </kit>"),
              nullptr);
    EXPECT_EQ(recorder.errors.size(), 0u);
    EXPECT_EQ(echoed, "");
    const FileRecord *self = info->update_file;
    EXPECT_EQ(std::string(self->sitepath) + " " + self->localpath, "qavoupdate ${BINDIR}/q");
    EXPECT_EQ(std::make_tuple(self->size, self->time, self->md5[0], self->md5[7]),
              std::make_tuple(812, 900, uint8_t{0x01}, uint8_t{0xef}));
    EXPECT_STREQ(info->kit->name, "engine <!-- kit -->");
    // Name lists are read backwards; a repeated property replaces the list.
    EXPECT_EQ(names(module(0)->requires_), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(names(module(0)->needs), (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(names(module(1)->requires_), std::vector<std::string>{"w"});
    EXPECT_EQ(std::make_tuple(file()->order, file_is_installable(file()), file_md5_missing(file())),
              std::make_tuple(1, 0, 1));

    const struct {
        const char *properties, *sitepath;
        int32_t size, time, order;
    } kCases[] = {
        {"sitepath = p exec = pre 5", "p", 0, 0, -5},
        {"sitepath = p exec = later 5", "p", 0, 0, 0},
        {"sitepath = p exec = post 2 exec = later 9", "p", 0, 0, 2},
        {"sitepath = p exec = pre 99999999999", "p", 0, 0, -INT32_MAX},
        {"sitepath = s size = \" 42abc\" time = -7 owner = root", "s", 42, -7, 0},
        {"sitepath = one size = abc time = 99999999999 sitepath = two", "two", 0, INT32_MAX, 0},
        {"sitepath = require sizes = 9 size=5", "require", 5, 0, 0},
        // String forms: quotes, blanks and markup inside, backslashes kept.
        {"sitepath = \"a b<c=d>e\"", "a b<c=d>e", 0, 0, 0},
        {"sitepath = \"abc\"def", "abc\"de", 0, 0, 0},
        {"sitepath = \"say \\\"hi\\\"\"", "say \\\"hi\\\"", 0, 0, 0},
        {"sitepath = \"two\nlines\"", "two\nlines", 0, 0, 0},
        {"sitepath = a\\b\"c", "a\\b\"c", 0, 0, 0},
    };
    for (const auto &test : kCases) {
        ASSERT_NE(load(with_file(test.properties)), nullptr) << test.properties;
        EXPECT_STREQ(file()->sitepath, test.sitepath) << test.properties;
        EXPECT_EQ(std::make_tuple(file()->size, file()->time, file()->order),
                  std::make_tuple(test.size, test.time, test.order))
            << test.properties;
    }
    ASSERT_NE(load("<update> sitepath = q </update> <kit> <|> name = k </kit>"), nullptr);
    EXPECT_EQ(echoed, "<|>");  // stray characters are echoed and ignored
}

TEST_F(Catalogue, EveryBrokenFileIsOneParserErrorAndTheNextLoadStartsAfresh) {
    const std::string kBroken[] = {
        "", "<update> sitepath = q </update>", "<kit> <module> name = m </module> </kit>",
        "<update> </update> <kit> name = k </kit>",
        "<update> sitepath = q </update> <kit> </kit>",
        "<update> sitepath = q </update> <kit> <module> </module> </kit>",
        "<update> sitepath = q </update> <kit> name = k",
        "<update> sitepath = q </update> <kit> name = k </kit> x",
        "<update> sitepath = q </update> <kit> name = k </kit> <!-- open",
        "<update> sitepath = q <kit> name = k </kit> </update>",
        "<update> sitepath = q </update> <kit> name = k </kit> <kit> name = j </kit>",
        "<update> sitepath = </update> <kit> name = k </kit>",
        "<update> exec = pre </update> <kit> name = k </kit>",
        "<update> sitepath = q </update> <kit> name = k </kit> <{string}> hidden",
        "<update> sitepath = q </update> <kit> colour = blue <module> name = m </module> </kit>",
        with_file("md5 = 0011223344556677889aabbccddeeff"),
        with_file("md5 = 00112233445566778899aabbccddeeff0"),
        with_file("md5 = 0011223344556677889gaabbccddeeff"), with_file("localpath = time"),
        with_file("sitepath = a <update> sitepath = b </update>"),
        with_file("sitepath = a") + "<!-- unterminated",
    };
    for (const std::string &text : kBroken) {
        SCOPED_TRACE(text);
        load(text);
        expect_parser_error();
        ASSERT_NE(load(with_file("sitepath = fresh")), nullptr);
        EXPECT_STREQ(file()->sitepath, "fresh");
    }
    info_free(&recorder.context, info);
    recorder.errors.clear();
    info = update_get_information(&recorder.context, dir.file("missing").c_str());
    expect_parser_error();
}

}  // namespace
