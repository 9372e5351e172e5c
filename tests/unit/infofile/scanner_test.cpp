// The information-file scanner as seen through loaded records: keywords and
// tags in any case, keywords against strings, the two string forms, comments,
// skipped blocks and the echo of stray characters.
#include <string>

#include "tests/unit/infofile/info_test_util.h"

namespace {

using InfoScannerTest = InfoFileTest;

TEST_F(InfoScannerTest, TagsAndKeywordsIgnoreLetterCase) {
    ASSERT_NE(load("<Update> SitePath = q LOCALPATH = l </UPDATE>\n"
                   "<KIT> Name = k <MoDuLe> NAME = m Require = r NEEDS = n\n"
                   "<FILE> Md5 = 00112233445566778899aabbccddeeff Size = 3 TIME = 4 Exec = pre 2 "
                   "</File> </Module> </kIT>"),
              nullptr);
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    EXPECT_STREQ(info_->update_file->localpath, "l");
    EXPECT_STREQ(info_->kit->name, "k");
    EXPECT_STREQ(first_module()->name, "m");
    EXPECT_EQ(names_of(first_module()->requires_), std::vector<std::string>{"r"});
    EXPECT_EQ(names_of(first_module()->needs), std::vector<std::string>{"n"});
    EXPECT_EQ(first_file()->md5[1], 0x11);
    EXPECT_EQ(first_file()->size, 3);
    EXPECT_EQ(first_file()->time, 4);
    EXPECT_EQ(first_file()->order, -2);
}

TEST_F(InfoScannerTest, KeywordOnlyAsAWholeWordOfItsState) {
    // "sizes" is longer than the keyword, so a string: an unknown property.
    ASSERT_NE(load(with_file("sizes = 9 size=5")), nullptr);
    EXPECT_EQ(first_file()->size, 5);

    // A keyword of the file state as a value must be quoted.
    load(with_file("localpath = time"));
    expect_parser_error();
    ASSERT_NE(load(with_file("localpath = \"time\"")), nullptr);
    EXPECT_STREQ(first_file()->localpath, "time");

    // Outside their own state keywords are plain strings.
    ASSERT_NE(load(with_file("sitepath = require localpath = name")), nullptr);
    EXPECT_STREQ(first_file()->sitepath, "require");
    EXPECT_STREQ(first_file()->localpath, "name");
    ASSERT_NE(load(with_module("name = sitepath require = md5 exec")), nullptr);
    EXPECT_STREQ(first_module()->name, "sitepath");
    EXPECT_EQ(names_of(first_module()->requires_), (std::vector<std::string>{"exec", "md5"}));
}

TEST_F(InfoScannerTest, StringFormsAndTheirValues) {
    const std::pair<const char *, const char *> cases[] = {
        {"\"\"", ""},                              // empty quoted string
        {"\"abc ", "ab"},                          // unquoted, begins with a quote
        {"\"abc\"def", "abc\"de"},                 // longest match: one unquoted string
        {"\"a b<c=d>e\"", "a b<c=d>e"},            // blanks and markup inside quotes
        {"\"two\nlines\"", "two\nlines"},          // quoted strings span lines
        {"\"say \\\"hi\\\"\"", "say \\\"hi\\\""},  // backslashes are kept
        {"\"tail\\\" ", "tail\\"},                 // no later quote: the backslash ends it
        {"a\\b\"c", "a\\b\"c"},                    // quotes and backslashes inside a bare word
        {"${BINDIR}/x.so;1", "${BINDIR}/x.so;1"},
        {"\"", ""},  // a lone quote loses both ends
    };
    for (const auto &[text, value] : cases) {
        SCOPED_TRACE(text);
        ASSERT_NE(load(with_file(std::string("sitepath = ") + text + " size = 1")), nullptr);
        EXPECT_STREQ(first_file()->sitepath, value);
        EXPECT_EQ(first_file()->size, 1);
    }
}

TEST_F(InfoScannerTest, CommentsStandAnywhereOutsideStrings) {
    ASSERT_NE(load("<!-- head --><update><!--a-->sitepath<!-- b -->=<!--\n-- c ->-->q</update>"
                   "<kit> name = \"k <!-- not a comment -->\" <!-- <module> --> </kit><!---->"),
              nullptr);
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    EXPECT_STREQ(info_->kit->name, "k <!-- not a comment -->");
    EXPECT_EQ(info_->kit->modules, nullptr);
    EXPECT_EQ(echoed_, "");
}

TEST_F(InfoScannerTest, StrayCharactersAreEchoedAndIgnored) {
    ASSERT_NE(load("<update>\r\n sitepath = q > , size = 4 [|] </update>\r\n"
                   "<kit> name = k\x01\x7f\xe9 </kit>\r\n"),
              nullptr);
    EXPECT_EQ(echoed_, "\r>,[|]\r\x01\x7f\xe9\r");
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    EXPECT_EQ(info_->update_file->size, 4);
    EXPECT_STREQ(info_->kit->name, "k");
}

TEST_F(InfoScannerTest, TagsAllowNoBlanksAndUnknownElementsAreNotTags) {
    // "< file>" is a stray '<' and the string "file", which ends the parse.
    load(with_module("name = m < file> sitepath = s </file>"));
    expect_parser_error();
    EXPECT_EQ(echoed_, "<");
    // An unknown element's name is an ordinary string, here an unknown property.
    ASSERT_NE(load("<update> <note> = x sitepath = q </update> <kit> name = k </kit>"), nullptr);
    EXPECT_EQ(echoed_, "<>");
    EXPECT_STREQ(info_->update_file->sitepath, "q");
}

TEST_F(InfoScannerTest, SkippedBlockHidesEverythingUpToItsClosingTag) {
    ASSERT_NE(load("<{string}> <update> garbage = </kit> </{String}> \"x </{string}>"
                   "<update> sitepath = q <{STRING}>size = 1</{STRING}> </update>"
                   "<kit> name = k </kit>"),
              nullptr);
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    EXPECT_EQ(info_->update_file->size, 0);
    EXPECT_EQ(echoed_, "");
}

TEST_F(InfoScannerTest, UpdateAndKitTagsAreRejectedWhereTheyDoNotBelong) {
    load(with_file("sitepath = a <update> sitepath = b </update>"));
    expect_parser_error();
    load(with_module("name = m <kit> name = k </kit>"));
    expect_parser_error();
}

}  // namespace
