// The catalogue's scanner and grammar: properties into records, string forms, and recovery: every
// broken file is one parser error, and the next load starts afresh.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "infofile/infofile.h"
#include "tests/unit/test_util.h"

namespace {

class Catalogue : public ::testing::Test {
   protected:
    const InfoRecord *load(const std::string &text) {
        info.reset();
        recorder.errors.clear();
        testing::internal::CaptureStdout();
        info = update_get_information(recorder.context.io,
                                      dir.write("info", Bytes(text.begin(), text.end())));
        echoed = testing::internal::GetCapturedStdout();
        return info.get();
    }
    static std::string with_file(const std::string &properties) {
        return "<update> sitepath = q </update>\n<kit> <module> name = m <file> " + properties +
               " </file> </module> </kit>\n";
    }
    const ModuleRecord &module(size_t at = 0) const { return *info->kit->modules.at(at); }
    const FileRecord &file() const { return *module().files.at(0); }
    static std::string shown(const std::optional<std::string> &value) {
        return value.value_or("<absent>");
    }
    void expect_parser_error() const {
        EXPECT_EQ(info, nullptr);
        EXPECT_EQ(recorder.error_text(), std::to_string(ERR_UPDATE) + " " +
                                             std::to_string(UPD_PARSER) +
                                             " update_get_information");
    }

    ScratchDir dir;
    Recorder recorder;
    std::unique_ptr<InfoRecord> info;
    std::string echoed;
};

TEST_F(Catalogue, PropertiesBecomeRecordFields) {
    ASSERT_NE(load("<!-- head --><Update> SitePath = qavoupdate LOCALPATH = ${BINDIR}/q size = 812 "
                   "time = 900 md5 = 0123456789ABCDEF0123456789abcdef </UPDATE>\n<KIT> Name = "
                   "\"engine <!-- kit -->\" <MoDuLe> NAME = engine Require = a b c NEEDS = x y\n"
                   "<file> sitepath = engine/setup localpath = \"\" exec = POST 1 </file>\n"
                   "</module> <module> name = base require = z require = w </module> </kit>"),
              nullptr);
    EXPECT_EQ((std::tuple{recorder.errors.size(), echoed}), (std::tuple{0u, ""}));
    const FileRecord *self = info->update_file.get();
    EXPECT_EQ(shown(self->sitepath) + " " + shown(self->localpath), "qavoupdate ${BINDIR}/q");
    EXPECT_EQ(std::make_tuple(self->size, self->time, self->md5[0], self->md5[7]),
              std::make_tuple(812, 900, uint8_t{0x01}, uint8_t{0xef}));
    EXPECT_EQ(shown(info->kit->name), "engine <!-- kit -->");
    // Name lists are read backwards; a repeated property replaces the list.
    EXPECT_EQ(module(0).requires_, (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(module(0).needs, (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(module(1).requires_, std::vector<std::string>{"w"});
    EXPECT_EQ(std::make_tuple(file().order, file_is_installable(file()), file_md5_missing(file()),
                              shown(file().localpath), file().tempfile, module(1).files.size(),
                              module(1).dependencies.size()),
              std::make_tuple(1, false, true, "", "", 0u, 0u));

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
        {"sitepath = a\\b\"c", "a\\b\"c", 0, 0, 0}};
    for (const auto &test : kCases) {
        ASSERT_NE(load(with_file(test.properties)), nullptr) << test.properties;
        EXPECT_EQ(std::make_tuple(shown(file().sitepath), file().size, file().time, file().order),
                  std::make_tuple(test.sitepath, test.size, test.time, test.order))
            << test.properties;
    }
    // A NUL byte inside quotes ends the string; an unset path stays absent.
    ASSERT_NE(load(with_file(std::string("sitepath = \"a\0b\"", 16))), nullptr);
    EXPECT_EQ(shown(file().sitepath) + " " + shown(file().localpath), "a <absent>");
    ASSERT_NE(load("<update> sitepath = q </update> <kit> <|> name = k </kit>"), nullptr);
    EXPECT_EQ(echoed, "<|>");  // stray characters are echoed and ignored
}

TEST_F(Catalogue, EveryBrokenFileIsOneParserErrorAndTheNextLoadStartsAfresh) {
    const auto kit = [](const std::string &rest) {
        return "<update> sitepath = q </update> <kit> " + rest;
    };
    // clang-format off
    const std::string kBroken[] = {
        "", "<update> sitepath = q </update>", "<kit> <module> name = m </module> </kit>",
        "<update> </update> <kit> name = k </kit>", kit("</kit>"), kit("<module> </module> </kit>"),
        kit("name = k"), kit("name = k </kit> x"), kit("name = k </kit> <!-- open"),
        "<update> sitepath = q <kit> name = k </kit> </update>",
        kit("name = k </kit> <kit> name = j </kit>"), kit("name = k </kit> <{string}> hidden"),
        "<update> sitepath = </update> <kit> name = k </kit>",
        "<update> exec = pre </update> <kit> name = k </kit>",
        kit("colour = blue <module> name = m </module> </kit>"),
        with_file("md5 = 0011223344556677889aabbccddeeff"),
        with_file("md5 = 00112233445566778899aabbccddeeff0"),
        with_file("md5 = 0011223344556677889gaabbccddeeff"), with_file("localpath = time"),
        with_file("sitepath = a <update> sitepath = b </update>"),
        with_file("sitepath = a") + "<!-- unterminated"};
    // clang-format on
    for (const std::string &text : kBroken) {
        SCOPED_TRACE(text);
        load(text);
        expect_parser_error();
        ASSERT_NE(load(with_file("sitepath = fresh")), nullptr);
        EXPECT_EQ(shown(file().sitepath), "fresh");
    }
    info.reset();
    recorder.errors.clear();
    info = update_get_information(recorder.context.io, dir.file("missing"));
    expect_parser_error();
}

// The orders the walks sort by keep records that compare equal in place, and
// the lookup stops at the first module of the name its probe meets.
TEST(RecordOrders, SortsAreStableAndLookupsProbeByHalves) {
    FileList files;
    for (const auto &[sitepath, order] : std::vector<std::pair<std::optional<std::string>, int>>{
             {"b", 5}, {std::nullopt, 0}, {"a", -1}, {"b", -3}, {std::nullopt, 2}, {"", 0}}) {
        files.push_back(std::make_unique<FileRecord>());
        files.back()->sitepath = sitepath;
        files.back()->order = order;
    }
    const auto listing = [&files] {
        std::string text;
        for (const auto &file : files)
            text += file->sitepath.value_or("-") + std::to_string(file->order) + " ";
        return text;
    };
    sort_files_by_name(files);
    EXPECT_EQ(listing(), "-0 -2 0 a-1 b5 b-3 ");
    sort_files_by_order(files);
    EXPECT_EQ(listing(), "b-3 a-1 -0 0 -2 b5 ");

    ModuleList modules;
    for (const char *name : {"c", "", "a", "c", "b", ""}) {
        modules.push_back(std::make_unique<ModuleRecord>());
        if (name[0] != '\0') modules.back()->name = name;
    }
    const ModuleRecord *second_c = modules[3].get(), *a = modules[2].get();
    sort_modules_by_name(modules);
    std::string names;
    for (const auto &module : modules) names += module->name.value_or("-");
    const ModuleRecord *none = nullptr;
    EXPECT_EQ((std::tuple{names, find_module(modules, "c"), find_module(modules, "a"),
                          find_module(modules, "d"), find_module(modules, "")}),
              (std::tuple{"abcc--", second_c, a, none, none}));
}

}  // namespace
