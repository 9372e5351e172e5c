// The information-file grammar and loader: the example catalogue into
// records, name lists, exec orders, unknown properties, broken files
// reported as parser errors, and the parser's stack limit.
#include <string>

#include "tests/unit/infofile/info_test_util.h"

namespace {

const char kExample[] =
    "<!-- mirror catalogue -->\n"
    "<update> sitepath = qavoupdate localpath = ${BINDIR}/qavoupdate size = 812 time = 900 "
    "md5 = 0123456789abcdef0123456789abcdef </update>\n"
    "<kit> name = \"engine kit\"\n"
    "<module> name = engine require = base\n"
    "<file> sitepath = engine/engine.so localpath = ${DATADIR}/engine.so size = 700 time = 900 "
    "md5 = 00112233445566778899aabbccddeeff </file>\n"
    "<file> sitepath = engine/setup localpath = \"\" exec = post 1 </file>\n"
    "</module> <module> name = base <file> sitepath = base/data localpath = ${DATADIR}/data "
    "</file> </module>\n"
    "</kit>\n";

using InfoLoaderTest = InfoFileTest;

TEST_F(InfoLoaderTest, ExampleCatalogueBecomesRecords) {
    ASSERT_NE(load(kExample), nullptr);
    EXPECT_TRUE(errors_.empty());
    EXPECT_EQ(echoed_, "");
    const FileRecord *self = info_->update_file;
    ASSERT_NE(self, nullptr);
    expect_file(self, "qavoupdate", "${BINDIR}/qavoupdate", 812, 900, 0);
    EXPECT_EQ(hex(self->md5), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(self->tempfile, nullptr);

    ASSERT_NE(info_->kit, nullptr);
    EXPECT_STREQ(info_->kit->name, "engine kit");
    ASSERT_EQ(info_->kit->modules->count, 2);
    const ModuleRecord *engine = vector_at<ModuleRecord>(info_->kit->modules, 0);
    const ModuleRecord *base = vector_at<ModuleRecord>(info_->kit->modules, 1);
    EXPECT_STREQ(engine->name, "engine");
    EXPECT_EQ(names_of(engine->requires_), std::vector<std::string>{"base"});
    EXPECT_EQ(engine->needs, nullptr);
    EXPECT_EQ(engine->dependencies, nullptr);
    ASSERT_EQ(engine->files->count, 2);
    const FileRecord *so = vector_at<FileRecord>(engine->files, 0);
    expect_file(so, "engine/engine.so", "${DATADIR}/engine.so", 700, 900, 0);
    EXPECT_EQ(hex(so->md5), "00112233445566778899aabbccddeeff");
    const FileRecord *setup = vector_at<FileRecord>(engine->files, 1);
    expect_file(setup, "engine/setup", "", 0, 0, 1);
    EXPECT_EQ(file_is_installable(setup), 0);
    EXPECT_EQ(file_md5_missing(setup), 1);

    EXPECT_STREQ(base->name, "base");
    EXPECT_EQ(base->requires_, nullptr);
    ASSERT_EQ(base->files->count, 1);
    const FileRecord *data = vector_at<FileRecord>(base->files, 0);
    expect_file(data, "base/data", "${DATADIR}/data", 0, 0, 0);
    EXPECT_EQ(file_md5_missing(data), 1);
}

TEST_F(InfoLoaderTest, NameListsAreReversedAndReplacedAndFilesMayBeAbsent) {
    ASSERT_NE(load(with_module("name = m require = a b c needs = x y")), nullptr);
    EXPECT_EQ(names_of(first_module()->requires_), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(names_of(first_module()->needs), (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(first_module()->files, nullptr);
    ASSERT_NE(load(with_module("require = a b require = z")), nullptr);
    EXPECT_EQ(names_of(first_module()->requires_), std::vector<std::string>{"z"});
    EXPECT_EQ(first_module()->name, nullptr);  // a module may lack a name
}

// Exec orders, strtol-like numbers, repeated and unknown properties.
TEST_F(InfoLoaderTest, FilePropertiesBecomeFields) {
    const struct {
        const char *properties, *sitepath, *localpath;
        int32_t size, time, order;
    } cases[] = {
        {"sitepath = p exec = pre 5", "p", nullptr, 0, 0, -5},
        {"sitepath = p exec = PRE 5", "p", nullptr, 0, 0, -5},
        {"sitepath = p exec = Post 3", "p", nullptr, 0, 0, 3},
        {"sitepath = p exec = pre 0", "p", nullptr, 0, 0, 0},
        {"sitepath = p exec = later 5", "p", nullptr, 0, 0, 0},
        {"sitepath = p exec = post x", "p", nullptr, 0, 0, 0},
        {"sitepath = p exec = post 2 exec = later 9", "p", nullptr, 0, 0, 2},
        {"sitepath = p exec = pre 99999999999", "p", nullptr, 0, 0, -INT32_MAX},
        {"size = \" 42abc\" time = -7", nullptr, nullptr, 42, -7, 0},
        {"size = abc time = 99999999999", nullptr, nullptr, 0, INT32_MAX, 0},
        {"sitepath = one localpath = a sitepath = two size = 1 size = 2", "two", "a", 2, 0, 0},
        {"name = x sitepath = s owner = root", "s", nullptr, 0, 0, 0},
        {"sizes = 9 size=5", nullptr, nullptr, 5, 0, 0},  // "sizes" is no keyword
        {"localpath = \"time\"", nullptr, "time", 0, 0, 0},
        // Outside their own state keywords are plain strings.
        {"sitepath = require localpath = name", "require", "name", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.properties);
        ASSERT_NE(load(with_file(c.properties)), nullptr);
        expect_file(first_file(), c.sitepath, c.localpath, c.size, c.time, c.order);
    }
    ASSERT_NE(load("<update> colour = blue sitepath = q </update> <kit> name = k </kit>"), nullptr);
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    ASSERT_NE(load(with_file("md5 = 00112233445566778899AABBCCDDEEFF")), nullptr);
    EXPECT_EQ(hex(first_file()->md5), "00112233445566778899aabbccddeeff");
}

TEST_F(InfoLoaderTest, BrokenFilesFailWithOneParserError) {
    const std::string broken[] = {
        "",                                              // empty
        "<update> sitepath = q </update>",               // no kit
        "<kit> <module> name = m </module> </kit>",      // no update
        "<update> </update> <kit> name = k </kit>",      // update without property
        "<update> sitepath = q </update> <kit> </kit>",  // kit without item
        "<update> sitepath = q </update> <kit> <module> </module> </kit>",
        "<update> sitepath = q </update> <kit> <module> <file> </file> </module> </kit>",
        "<update> sitepath = q </update> <kit> name = k",           // ends inside the kit
        "<update> sitepath = q </update> <kit> name = k </kit> x",  // text after the kit
        "<update> sitepath = q </update> <kit> name = k </kit> <!-- open",
        "<update> sitepath = q <kit> name = k </kit> </update>",  // kit inside update
        "<update> sitepath = q </update> <kit> name = k </kit> <kit> name = j </kit>",
        "<update> sitepath = </update> <kit> name = k </kit>",  // value missing
        "<update> sitepath = q </update> <kit> name = k </kit> <{string}> hidden",
        "<update> exec = pre </update> <kit> name = k </kit>",  // exec needs two words
        "<update> sitepath = q </update> <kit> <module> require = </module> </kit>",
        "<update> sitepath = q </file> <kit> name = k </kit>",
        "<update> sitepath = q </update> <kit> name = k </kit> \"open string",
        // Unknown properties are ignored only in update and file.
        with_module("name = m sitepath = x"),
        "<update> sitepath = q </update> <kit> colour = blue <module> name = m </module> </kit>",
        // An md5 must be 32 hexadecimal digits.
        with_file("md5 = 0011223344556677889aabbccddeeff"),
        with_file("md5 = 00112233445566778899aabbccddeeff0"),
        with_file("md5 = 0011223344556677889gaabbccddeeff"),
        with_file("md5 = \"\""),
        with_file("md5 = \"00112233445566778899aabbccddee f\""),
        with_file("localpath = time"),  // a keyword of the file state as a value
        with_file("sitepath = a <update> sitepath = b </update>"),
        with_module("name = m <kit> name = k </kit>"),
    };
    for (const std::string &text : broken) {
        SCOPED_TRACE(text);
        load(text);
        expect_parser_error();
    }
}

TEST_F(InfoLoaderTest, LoadAfterAFailureStartsAfresh) {
    // The failed loads end inside a comment and a skipped block; the next
    // one must start in the top-level state all the same.
    load(with_file("sitepath = a") + "<!-- unterminated");
    expect_parser_error();
    load("<update> sitepath = q </update> <kit> <{string}> never closed");
    expect_parser_error();
    ASSERT_NE(load(kExample), nullptr);
    EXPECT_EQ(info_->kit->modules->count, 2);
}

TEST_F(InfoLoaderTest, UnopenableOrUnreportedFailures) {
    load_path(dir_ + "/missing");
    expect_parser_error();
    EXPECT_EQ(update_get_information(&context_, nullptr), nullptr);
    // Without callback or error record a failure is quiet.
    EngineContext bare{};
    std::string path = write_file("<kit>");
    EXPECT_EQ(update_get_information(&bare, path.c_str()), nullptr);
    EXPECT_EQ(update_get_information(nullptr, path.c_str()), nullptr);
}

// The lists are right-recursive: a module's files, and a kit's modules, all
// stay on the parser's stack (at most 10000 entries, less those of the
// enclosing sections and of the entry being read) until the list ends.
TEST_F(InfoLoaderTest, ParserStackBoundsTheSizeOfAModuleAndAKit) {
    auto module_of = [](int files) {
        std::string text = "<update> sitepath = q </update> <kit> <module> name = big\n";
        for (int i = 0; i < files; i++)
            text += "<file> sitepath = f" + std::to_string(i) + " size = 1 </file>\n";
        return text + "</module> </kit>\n";
    };
    auto kit_of = [](int modules) {
        std::string text = "<update> sitepath = q </update> <kit>\n";
        for (int i = 0; i < modules; i++)
            text += "<module> name = m" + std::to_string(i) + " </module>\n";
        return text + "</kit>\n";
    };
    ASSERT_NE(load(module_of(9986)), nullptr);
    EXPECT_EQ(first_module()->files->count, 9986);
    load(module_of(9987));
    expect_parser_error();
    ASSERT_NE(load(kit_of(9990)), nullptr);
    EXPECT_EQ(info_->kit->modules->count, 9990);
    load(kit_of(9991));
    expect_parser_error();
}

TEST_F(InfoFileTest, ReadErrorEndsTheProcessWithStatusTwo) {
    // A directory opens for reading on this system, but reading it fails.
    EXPECT_EXIT(update_get_information(&context_, dir_.c_str()), testing::ExitedWithCode(2),
                "^Can't read information file \\(.*\\)\n$");
}

}  // namespace
