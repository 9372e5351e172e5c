// The information-file scanner as seen through loaded records: keywords and
// tags in any case, the two string forms, comments, skipped blocks and the
// echo of stray characters.
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
    EXPECT_EQ(hex(first_file()->md5), "00112233445566778899aabbccddeeff");
    expect_file(first_file(), nullptr, nullptr, 3, 4, -2);

    // Keywords of another state are plain strings.
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
        expect_file(first_file(), value, nullptr, 1, 0, 0);
    }
}

TEST_F(InfoScannerTest, CommentsAndSkippedBlocksHideTheirContents) {
    ASSERT_NE(load("<!-- head --><update><!--a-->sitepath<!-- b -->=<!--\n-- c ->-->q</update>"
                   "<kit> name = \"k <!-- not a comment -->\" <!-- <module> --> </kit><!---->"),
              nullptr);
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    EXPECT_STREQ(info_->kit->name, "k <!-- not a comment -->");
    EXPECT_EQ(info_->kit->modules, nullptr);
    EXPECT_EQ(echoed_, "");

    // A skipped block hides everything up to its closing tag, in any case.
    ASSERT_NE(load("<{string}> <update> garbage = </kit> </{String}> \"x </{string}>"
                   "<update> sitepath = q <{STRING}>size = 1</{STRING}> </update>"
                   "<kit> name = k </kit>"),
              nullptr);
    EXPECT_STREQ(info_->update_file->sitepath, "q");
    EXPECT_EQ(info_->update_file->size, 0);
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

    // "< file>" is a stray '<' and the string "file", which ends the parse.
    load(with_module("name = m < file> sitepath = s </file>"));
    expect_parser_error();
    EXPECT_EQ(echoed_, "<");
    // An unknown element's name is an ordinary string, here an unknown property.
    ASSERT_NE(load("<update> <note> = x sitepath = q </update> <kit> name = k </kit>"), nullptr);
    EXPECT_EQ(echoed_, "<>");
    EXPECT_STREQ(info_->update_file->sitepath, "q");
}

}  // namespace
