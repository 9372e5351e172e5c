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
    EXPECT_STREQ(self->sitepath, "qavoupdate");
    EXPECT_STREQ(self->localpath, "${BINDIR}/qavoupdate");
    EXPECT_EQ(self->size, 812);
    EXPECT_EQ(self->time, 900);
    const uint8_t self_md5[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                  0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(memcmp(self->md5, self_md5, 16), 0);
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
    EXPECT_STREQ(so->sitepath, "engine/engine.so");
    EXPECT_STREQ(so->localpath, "${DATADIR}/engine.so");
    EXPECT_EQ(so->size, 700);
    EXPECT_EQ(so->md5[0], 0x00);
    EXPECT_EQ(so->md5[1], 0x11);
    EXPECT_EQ(so->md5[15], 0xff);
    EXPECT_EQ(so->order, 0);

    const FileRecord *setup = vector_at<FileRecord>(engine->files, 1);
    EXPECT_STREQ(setup->localpath, "");
    EXPECT_EQ(setup->order, 1);
    EXPECT_EQ(file_is_installable(setup), 0);
    EXPECT_EQ(file_md5_missing(setup), 1);

    EXPECT_STREQ(base->name, "base");
    EXPECT_EQ(base->requires_, nullptr);
    ASSERT_EQ(base->files->count, 1);
    const FileRecord *data = vector_at<FileRecord>(base->files, 0);
    EXPECT_EQ(data->size, 0);
    EXPECT_EQ(file_md5_missing(data), 1);
}

TEST_F(InfoLoaderTest, NameListsHoldTheirNamesReversed) {
    ASSERT_NE(load(with_module("name = m require = a b c needs = x y")), nullptr);
    EXPECT_EQ(names_of(first_module()->requires_), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(names_of(first_module()->needs), (std::vector<std::string>{"y", "x"}));

    // A repeated list replaces the earlier one.
    ASSERT_NE(load(with_module("require = a b require = z")), nullptr);
    EXPECT_EQ(names_of(first_module()->requires_), std::vector<std::string>{"z"});
    EXPECT_EQ(first_module()->name, nullptr);  // a module may lack a name
}

TEST_F(InfoLoaderTest, ModuleWithoutFilesKeepsNullVector) {
    ASSERT_NE(load(with_module("name = empty")), nullptr);
    EXPECT_EQ(first_module()->files, nullptr);
}

TEST_F(InfoLoaderTest, ExecStoresPreAsNegativeAndPostAsPositive) {
    const std::pair<const char *, int32_t> cases[] = {
        {"exec = pre 5", -5},
        {"exec = PRE 5", -5},
        {"exec = Post 3", 3},
        {"exec = pre 0", 0},
        {"exec = later 5", 0},
        {"exec = post x", 0},
        {"exec = post 2 exec = later 9", 2},
        {"exec = pre 99999999999", -INT32_MAX},
    };
    for (const auto &[text, order] : cases) {
        SCOPED_TRACE(text);
        ASSERT_NE(load(with_file(std::string("sitepath = p ") + text)), nullptr);
        EXPECT_EQ(first_file()->order, order);
    }
}

TEST_F(InfoLoaderTest, NumbersAreReadLikeStrtol) {
    ASSERT_NE(load(with_file("size = \" 42abc\" time = -7")), nullptr);
    EXPECT_EQ(first_file()->size, 42);
    EXPECT_EQ(first_file()->time, -7);
    ASSERT_NE(load(with_file("size = abc time = 99999999999")), nullptr);
    EXPECT_EQ(first_file()->size, 0);
    EXPECT_EQ(first_file()->time, INT32_MAX);
}

TEST_F(InfoLoaderTest, RepeatedPropertyReplacesTheEarlierValue) {
    ASSERT_NE(load(with_file("sitepath = one localpath = a sitepath = two size = 1 size = 2")),
              nullptr);
    EXPECT_STREQ(first_file()->sitepath, "two");
    EXPECT_STREQ(first_file()->localpath, "a");
    EXPECT_EQ(first_file()->size, 2);
}

TEST_F(InfoLoaderTest, UnknownPropertiesAreIgnoredOnlyInUpdateAndFile) {
    ASSERT_NE(load("<update> colour = blue sitepath = q </update> <kit> <module> name = m "
                   "<file> name = x sitepath = s owner = root </file> </module> </kit>"),
              nullptr);
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    EXPECT_STREQ(first_file()->sitepath, "s");
    EXPECT_EQ(first_file()->localpath, nullptr);

    load(with_module("name = m sitepath = x"));
    expect_parser_error();
    load("<update> sitepath = q </update> <kit> colour = blue <module> name = m </module> </kit>");
    expect_parser_error();
}

TEST_F(InfoLoaderTest, Md5MustBeThirtyTwoHexadecimalDigits) {
    ASSERT_NE(load(with_file("md5 = 00112233445566778899AABBCCDDEEFF")), nullptr);
    EXPECT_EQ(first_file()->md5[10], 0xaa);  // upper case decodes like lower case
    EXPECT_EQ(first_file()->md5[15], 0xff);

    for (const char *bad :
         {"0011223344556677889aabbccddeeff", "00112233445566778899aabbccddeeff0",
          "0011223344556677889gaabbccddeeff", "\"\"", "\"00112233445566778899aabbccddee f\""}) {
        SCOPED_TRACE(bad);
        load(with_file(std::string("md5 = ") + bad));
        expect_parser_error();
    }
}

TEST_F(InfoLoaderTest, BrokenFilesFailWithOneParserError) {
    const char *broken[] = {
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
    };
    for (const char *text : broken) {
        SCOPED_TRACE(text);
        load(text);
        expect_parser_error();
    }
}

TEST_F(InfoLoaderTest, LoadAfterAFailureStartsAfresh) {
    // The failed load ends inside a comment and a skipped block; the next
    // one must start in the top-level state all the same.
    load(with_file("sitepath = a") + "<!-- unterminated");
    expect_parser_error();
    load("<update> sitepath = q </update> <kit> <{string}> never closed");
    expect_parser_error();
    ASSERT_NE(load(kExample), nullptr);
    EXPECT_EQ(info_->kit->modules->count, 2);
}

TEST_F(InfoLoaderTest, UnopenableFileIsAParserError) {
    load_path(dir_ + "/missing");
    expect_parser_error();
    info_ = update_get_information(&context_, nullptr);
    EXPECT_EQ(info_, nullptr);
}

TEST_F(InfoLoaderTest, FailureWithoutCallbackOrErrorRecordIsQuiet) {
    EngineContext bare{};
    std::string path = write_file("<kit>");
    EXPECT_EQ(update_get_information(&bare, path.c_str()), nullptr);
    EXPECT_EQ(update_get_information(nullptr, path.c_str()), nullptr);
}

// The lists are right-recursive: a module's files, and a kit's modules, all
// stay on the parser's stack until the list ends, so the stack of at most
// 10000 entries, less those of the enclosing sections and of the entry being
// read, bounds them.
std::string module_of(int files) {
    std::string text = "<update> sitepath = q </update> <kit> <module> name = big\n";
    for (int i = 0; i < files; i++) {
        text += "<file> sitepath = f" + std::to_string(i) + " size = 1 </file>\n";
    }
    return text + "</module> </kit>\n";
}

std::string kit_of(int modules) {
    std::string text = "<update> sitepath = q </update> <kit>\n";
    for (int i = 0; i < modules; i++) {
        text += "<module> name = m" + std::to_string(i) + " </module>\n";
    }
    return text + "</kit>\n";
}

TEST_F(InfoLoaderTest, ParserStackBoundsTheSizeOfAModule) {
    ASSERT_NE(load(module_of(9986)), nullptr);
    EXPECT_EQ(first_module()->files->count, 9986);
    load(module_of(9987));
    expect_parser_error();
}

TEST_F(InfoLoaderTest, ParserStackBoundsTheSizeOfAKit) {
    ASSERT_NE(load(kit_of(9990)), nullptr);
    EXPECT_EQ(info_->kit->modules->count, 9990);
    load(kit_of(9991));
    expect_parser_error();
}

}  // namespace

namespace {

TEST_F(InfoFileTest, ReadErrorEndsTheProcessWithStatusTwo) {
    // A directory opens for reading on this system, but reading it fails.
    EXPECT_EXIT(update_get_information(&context_, dir_.c_str()), testing::ExitedWithCode(2),
                "^Can't read information file \\(.*\\)\n$");
}

}  // namespace
