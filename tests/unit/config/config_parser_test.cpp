// Tests of the configuration file scanner and grammar: accepted files, the
// messages of every error rule, recovery, quoting and line counting.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "config/updconfig.h"
#include "tests/unit/config/config_test_util.h"

namespace {

using ConfigParser = ConfigFileTest;

ConfigOption *find(Config *config, const char *section, const char *name) {
    ConfigOption *option = config_find_option(config, section, name);
    EXPECT_NE(option, nullptr) << section << "/" << name;
    return option;
}

TEST_F(ConfigParser, EmptyFileChangesNothing) {
    Config *defaults = config_new();
    ASSERT_NE(defaults, nullptr);
    LoadResult result = load("");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(dump_text(result.config), dump_text(defaults));
    config_free(result.config);
    config_free(defaults);
}

TEST_F(ConfigParser, NullPathGivesTheDefaultsAndKeepsAGivenModel) {
    Config *config = config_load(nullptr, nullptr);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(find(config, "global", "tries")->value.number, 20);
    EXPECT_EQ(config_load(config, nullptr), config);
    config_free(config);
}

TEST_F(ConfigParser, AssignmentsOfEveryTypeRecordTheirLine) {
    LoadResult result = load(
        "# comment in the first column\n"
        "[global]\n"
        "tries = 5 verbose=yes\n"
        "\n"
        "timeout =\t\"  42abc\"\n"
        "alarm = -7\n"
        "use-proxy = off\n"
        "temppath = /var/tmp\n"
        "[modules]\n"
        "engine = Off\n"
        "#tries = 9\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    Config *config = result.config;
    EXPECT_EQ(find(config, "global", "tries")->value.number, 5);
    EXPECT_EQ(find(config, "global", "tries")->line, 3);
    EXPECT_EQ(find(config, "global", "verbose")->value.number, 1);
    EXPECT_EQ(find(config, "global", "verbose")->line, 3);
    EXPECT_EQ(find(config, "global", "timeout")->value.number, 42);
    EXPECT_EQ(find(config, "global", "timeout")->line, 5);
    EXPECT_EQ(find(config, "global", "alarm")->value.number, -7);
    EXPECT_EQ(find(config, "global", "use-proxy")->value.number, 0);
    EXPECT_EQ(find(config, "global", "use-proxy")->line, 7);
    EXPECT_STREQ(find(config, "global", "temppath")->value.string, "/var/tmp");
    EXPECT_STREQ(find(config, "global", "temppath")->default_value.string, "/tmp");
    EXPECT_EQ(find(config, "modules", "engine")->value.number, 0);
    EXPECT_EQ(find(config, "global", "proxy")->line, 0);
    EXPECT_STREQ(config->current_section, "modules");
    config_free(config);
}

TEST_F(ConfigParser, NumbersWithoutDigitsAndOutOfRangeAreClamped) {
    LoadResult result =
        load("[global]\nalarm = abc\ntries = 99999999999\ntimeout = -99999999999\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(find(result.config, "global", "alarm")->value.number, 0);
    EXPECT_EQ(find(result.config, "global", "tries")->value.number, INT32_MAX);
    EXPECT_EQ(find(result.config, "global", "timeout")->value.number, INT32_MIN);
    config_free(result.config);
}

TEST_F(ConfigParser, FirstTokenNotASectionIsRejectedSilently) {
    expect_rejected("verbose = on\n[global]\n", "");
}

TEST_F(ConfigParser, IndentedHashIsNotAComment) {
    expect_rejected("[global]\n  # note here\n",
                    "Section [global]: Line 2: Please enquote the string that contains '#'\n"
                    "Section [global]: Line 2: Please enquote the string that contains 'note'\n"
                    "Section [global]: Line 3: Please enquote the string that contains 'here'\n");
}

TEST_F(ConfigParser, UnquotedValueWithBlankLeavesAStrayWord) {
    expect_rejected("[global]\nproxy = http://a b\nverbose = on\n",
                    "Section [global]: Line 3: Please enquote the string that contains 'b'\n");

    LoadResult result = load("[global]\nproxy = \"http://a b\"\nverbose = on\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.err, "");
    EXPECT_STREQ(find(result.config, "global", "proxy")->value.string, "http://a b");
    config_free(result.config);
}

TEST_F(ConfigParser, MissingEqualsThenNextAssignment) {
    expect_rejected("[global]\ntries 5\ntimeout = 3\n",
                    "Section [global]: Line 2: After 'tries' you should add '='\n"
                    "Section [global]: Line 3: Please enquote the string that contains '5'\n");
}

TEST_F(ConfigParser, NothingAfterEqualsBeforeAnotherAssignmentFailsSilently) {
    expect_rejected("[global]\nproxy =\ntries = 5\n", "");
}

TEST_F(ConfigParser, MissingValueBeforeSectionOrEnd) {
    expect_rejected("[global]\nproxy =\n[ftp]\nport = 2121\n",
                    "Section [global]: Line 3: Missing string after proxy '='\n");

    expect_rejected("[ftp]\nport =", "Section [ftp]: Line 2: Missing string after port '='\n");

    expect_rejected("[ftp]\nport = = 3\n",
                    "Section [ftp]: Line 2: Missing string after port '='\n");
}

TEST_F(ConfigParser, CommaIsEchoedAndSplitsTheValue) {
    LoadResult result = load("[global]\nproxy = a,b\n");
    EXPECT_EQ(result.config, nullptr);
    EXPECT_EQ(result.out, ",");
    EXPECT_EQ(result.err,
              "Section [global]: Line 3: Please enquote the string that contains 'b'\n");
}

TEST_F(ConfigParser, StrayBytesAreEchoedUnchanged) {
    LoadResult result = load("[global]\n<|>\x80[ ] verbose = on\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.out, "<|>\x80[]");
    EXPECT_EQ(find(result.config, "global", "verbose")->value.number, 1);
    config_free(result.config);
}

TEST_F(ConfigParser, QuotedValuesKeepHashBlanksAndEquals) {
    LoadResult result = load(
        "[global]\n"
        "temppath = \"/tmp/a #b = [c]\"\n"
        "proxy = \"http://p:1\"\n"
        "BINDIR = \"\"\n"
        "CONFDIR = \"abc\"def\n"
        "DATADIR = \"\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.err, "");
    EXPECT_STREQ(find(result.config, "global", "temppath")->value.string, "/tmp/a #b = [c]");
    EXPECT_STREQ(find(result.config, "global", "proxy")->value.string, "http://p:1");
    EXPECT_STREQ(find(result.config, "global", "BINDIR")->value.string, "");
    // A bare word that merely contains quotes keeps them.
    EXPECT_STREQ(find(result.config, "global", "CONFDIR")->value.string, "\"abc\"def");
    EXPECT_STREQ(find(result.config, "global", "DATADIR")->value.string, "\"");
    config_free(result.config);
}

TEST_F(ConfigParser, BackslashQuoteDoesNotCloseAWord) {
    // The first quote without a backslash ends the word.
    LoadResult result = load("[global]\nproxy = \"a\\\" b\" tries = 3\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_STREQ(find(result.config, "global", "proxy")->value.string, "a\\\" b");
    EXPECT_EQ(find(result.config, "global", "tries")->value.number, 3);
    config_free(result.config);

    // Without one, the last quote with a backslash ends it, across lines.
    expect_rejected("[global]\nproxy = \"x\\\"\ntries = 4 \\\"\nverbose = maybe\n",
                    "Section [global]:Line 3: Unknown boolean value 'maybe'. Please use on/off\n");

    result = load("[global]\nproxy = \"x\\\"\ntries = 4 \\\"\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_STREQ(find(result.config, "global", "proxy")->value.string, "x\\\"\ntries = 4 \\");
    EXPECT_EQ(find(result.config, "global", "tries")->value.number, 20);
    config_free(result.config);
}

TEST_F(ConfigParser, QuotedValueSpanningLinesIsNotCounted) {
    expect_rejected("[global]\nproxy = \"a\nb\"\nverbose = maybe\n",
                    "Section [global]:Line 3: Unknown boolean value 'maybe'. Please use on/off\n");

    LoadResult result = load("[global]\nproxy = \"a\nb\"\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_STREQ(find(result.config, "global", "proxy")->value.string, "a\nb");
    config_free(result.config);
}

TEST_F(ConfigParser, CarriageReturnsAreEchoedOncePerLine) {
    LoadResult result = load("# comment\r\n[global]\r\nverbose = on\r\ntries = 7\r\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.out, "\r\r\r");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(find(result.config, "global", "verbose")->value.number, 1);
    EXPECT_EQ(find(result.config, "global", "tries")->value.number, 7);
    EXPECT_EQ(find(result.config, "global", "tries")->line, 4);
    config_free(result.config);
}

TEST_F(ConfigParser, UnknownOptionIsOnlyAWarning) {
    LoadResult result = load("[global]\n\"my option\" = 1\nTries = 2\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.err,
              "Section [global]:Line 2: Unknown option 'my option'\n"
              "Section [global]:Line 3: Unknown option 'Tries'\n");
    EXPECT_EQ(result.config->errors, 0);
    config_free(result.config);
}

TEST_F(ConfigParser, BadBooleanIsCounted) {
    expect_rejected("[modules]\nqavomd = 1\n",
                    "Section [modules]:Line 2: Unknown boolean value '1'. Please use on/off\n");
}

TEST_F(ConfigParser, UnknownSectionKeepsThePreviousOne) {
    expect_rejected("[ftp]\n[nosuch]\nport = 5\nbogus = 1\n",
                    "Fatal error:Line 2: Unknown section name '[nosuch]'\n"
                    "Section [ftp]:Line 4: Unknown option 'bogus'\n");

    // Quotes stay in a section name, so it matches nothing.
    expect_rejected("[\"global\"]\n", "Fatal error:Line 1: Unknown section name '[\"global\"]'\n");
}

TEST_F(ConfigParser, NoSectionSelectedRejectsOptionsWithoutLookup) {
    expect_rejected("[nosuch]\nbogus = 1\nport\n",
                    "Fatal error:Line 1: Unknown section name '[nosuch]'\n");
}

TEST_F(ConfigParser, CurrentSectionPersistsIntoTheNextFile) {
    LoadResult first = load("[ftp]\nport = 2121\n");
    ASSERT_NE(first.config, nullptr);
    LoadResult second = load("[http]\nport = 8080\n", first.config);
    ASSERT_EQ(second.config, first.config);
    EXPECT_EQ(find(second.config, "ftp", "port")->value.number, 2121);
    EXPECT_EQ(find(second.config, "http", "port")->value.number, 8080);
    EXPECT_STREQ(second.config->current_section, "http");

    LoadResult third = load("[nosuch]\nbogus = 1\n", second.config);
    EXPECT_EQ(third.config, nullptr);  // the model passed in is released
    EXPECT_EQ(third.err,
              "Fatal error:Line 1: Unknown section name '[nosuch]'\n"
              "Section [http]:Line 2: Unknown option 'bogus'\n");
}

TEST_F(ConfigParser, EachLoadRestartsTheScanner) {
    // The first file stops inside a quoted word and off the beginning of a line.
    LoadResult first = load("[global]\nverbose = maybe \"open");
    EXPECT_EQ(first.config, nullptr);
    LoadResult second = load("#comment\n[global]\nverbose = bad\n");
    EXPECT_EQ(second.config, nullptr);
    EXPECT_EQ(second.err,
              "Section [global]:Line 3: Unknown boolean value 'bad'. Please use on/off\n");
}

TEST_F(ConfigParser, MissingFileIsReportedWithoutLineEnd) {
    std::string path = dir_ + "/missing.conf";
    LoadResult result = load_path(path);
    EXPECT_EQ(result.config, nullptr);
    EXPECT_EQ(result.err, "Can't open file " + path + " (No such file or directory)");

    Config *model = config_new();
    ASSERT_NE(model, nullptr);
    result = load_path(path, model);  // released, as ASan would tell
    EXPECT_EQ(result.config, nullptr);
}

TEST_F(ConfigParser, ManyOptionsFitTheStackUntilItsLimit) {
    std::string text = "[global]\n";
    for (int i = 0; i < 4000; i++) text += "tries = " + std::to_string(i) + "\n";
    LoadResult result = load(text);
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(find(result.config, "global", "tries")->value.number, 3999);
    EXPECT_EQ(find(result.config, "global", "tries")->line, 4001);
    config_free(result.config);

    text = "[global]\n";
    for (int i = 0; i < 12000; i++) text += "tries = 1\n";
    expect_rejected(text, "");
}

TEST(ConfigParserDeath, ReadErrorEndsTheProcessWithStatusTwo) {
    // Opening a directory succeeds, reading it fails. No fixture: the child
    // would leave its scratch directory behind.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(config_load(nullptr, "/"), testing::ExitedWithCode(2),
                "^Can't read configuration file \\(Is a directory\\)\n$");
}

}  // namespace
