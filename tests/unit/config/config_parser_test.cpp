// Tests of the configuration file scanner and grammar: accepted files, the
// messages of every error rule, recovery, quoting and line counting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/updconfig.h"
#include "tests/unit/config/config_test_util.h"

namespace {

using ConfigParser = ConfigFileTest;

// An option's expected value (string when given, else number) and line (-1: any).
struct Want {
    const char *section, *name;
    int32_t number;
    const char *string = nullptr;
    int32_t line = -1;
};

void expect_values(Config *config, const std::vector<Want> &wants) {
    for (const Want &want : wants) {
        SCOPED_TRACE(std::string(want.section) + "/" + want.name);
        ConfigOption *option = config_find_option(config, want.section, want.name);
        ASSERT_NE(option, nullptr);
        if (want.string != nullptr) {
            EXPECT_STREQ(option->value.string, want.string);
        } else {
            EXPECT_EQ(option->value.number, want.number);
        }
        if (want.line >= 0) {
            EXPECT_EQ(option->line, want.line);
        }
    }
}

TEST_F(ConfigParser, AcceptedFiles) {
    struct Case {
        const char *text;
        std::vector<Want> wants;
        const char *out = "", *err = "";
    };
    const Case cases[] = {
        {"# comment in the first column\n[global]\ntries = 5 verbose=yes\n\n"
         "timeout =\t\"  42abc\"\nalarm = -7\nuse-proxy = off\ntemppath = /var/tmp\n"
         "[modules]\nengine = Off\n#tries = 9\n",
         {{"global", "tries", 5, nullptr, 3},
          {"global", "verbose", 1, nullptr, 3},
          {"global", "timeout", 42, nullptr, 5},
          {"global", "alarm", -7},
          {"global", "use-proxy", 0, nullptr, 7},
          {"global", "temppath", 0, "/var/tmp"},
          {"modules", "engine", 0},
          {"global", "proxy", 0, "http://proxy:8080", 0}}},
        // Numbers without digits, and out of range, are clamped.
        {"[global]\nalarm = abc\ntries = 99999999999\ntimeout = -99999999999\n",
         {{"global", "alarm", 0},
          {"global", "tries", INT32_MAX},
          {"global", "timeout", INT32_MIN}}},
        {"[global]\nproxy = \"http://a b\"\nverbose = on\n",
         {{"global", "proxy", 0, "http://a b"}}},
        // Stray bytes are echoed unchanged.
        {"[global]\n<|>\x80[ ] verbose = on\n", {{"global", "verbose", 1}}, "<|>\x80[]"},
        // Quoted values keep hash, blanks and equals; a bare word keeps its quotes.
        {"[global]\ntemppath = \"/tmp/a #b = [c]\"\nproxy = \"http://p:1\"\nBINDIR = \"\"\n"
         "CONFDIR = \"abc\"def\nDATADIR = \"\n",
         {{"global", "temppath", 0, "/tmp/a #b = [c]"},
          {"global", "proxy", 0, "http://p:1"},
          {"global", "BINDIR", 0, ""},
          {"global", "CONFDIR", 0, "\"abc\"def"},
          {"global", "DATADIR", 0, "\""}}},
        // The first quote without a backslash ends the word...
        {"[global]\nproxy = \"a\\\" b\" tries = 3\n",
         {{"global", "proxy", 0, "a\\\" b"}, {"global", "tries", 3}}},
        // ...without one, the last quote with a backslash ends it, across lines.
        {"[global]\nproxy = \"x\\\"\ntries = 4 \\\"\n",
         {{"global", "proxy", 0, "x\\\"\ntries = 4 \\"}, {"global", "tries", 20}}},
        {"[global]\nproxy = \"a\nb\"\n", {{"global", "proxy", 0, "a\nb"}}},
        // Carriage returns are echoed once per line.
        {"# comment\r\n[global]\r\nverbose = on\r\ntries = 7\r\n",
         {{"global", "verbose", 1}, {"global", "tries", 7, nullptr, 4}},
         "\r\r\r"},
        // An unknown option is only a warning.
        {"[global]\n\"my option\" = 1\nTries = 2\n",
         {},
         "",
         "Section [global]:Line 2: Unknown option 'my option'\n"
         "Section [global]:Line 3: Unknown option 'Tries'\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        LoadResult result = load(c.text);
        ASSERT_NE(result.config, nullptr);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.config->errors, 0);
        expect_values(result.config, c.wants);
        config_free(result.config);
    }
}

TEST_F(ConfigParser, AssignmentsLeaveDefaultsAndTrackTheSection) {
    Config *defaults = config_new();
    ASSERT_NE(defaults, nullptr);
    LoadResult result = load("");
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(dump_text(result.config), dump_text(defaults));
    config_free(result.config);
    config_free(defaults);

    result = load("[global]\ntemppath = /var/tmp\n[modules]\n");
    ASSERT_NE(result.config, nullptr);
    EXPECT_STREQ(config_find_option(result.config, "global", "temppath")->default_value.string,
                 "/tmp");
    EXPECT_STREQ(result.config->current_section, "modules");
    config_free(result.config);
}

TEST_F(ConfigParser, RejectedFilesAndTheirMessages) {
    const std::string eq = "Section [global]: Line ";
    const std::string boolean =
        "Section [global]:Line 3: Unknown boolean value 'maybe'. "
        "Please use on/off\n";
    const std::pair<std::string, std::string> cases[] = {
        {"verbose = on\n[global]\n", ""},  // first token not a section
        {"[global]\n  # note here\n",      // an indented hash is no comment
         eq + "2: Please enquote the string that contains '#'\n" + eq +
             "2: Please enquote the string that contains 'note'\n" + eq +
             "3: Please enquote the string that contains 'here'\n"},
        {"[global]\nproxy = http://a b\nverbose = on\n",
         eq + "3: Please enquote the string that contains 'b'\n"},
        {"[global]\ntries 5\ntimeout = 3\n",
         eq + "2: After 'tries' you should add '='\n" + eq +
             "3: Please enquote the string that contains '5'\n"},
        {"[global]\nproxy =\ntries = 5\n", ""},
        {"[global]\nproxy =\n[ftp]\nport = 2121\n", eq + "3: Missing string after proxy '='\n"},
        {"[ftp]\nport =", "Section [ftp]: Line 2: Missing string after port '='\n"},
        {"[ftp]\nport = = 3\n", "Section [ftp]: Line 2: Missing string after port '='\n"},
        {"[global]\nproxy = \"x\\\"\ntries = 4 \\\"\nverbose = maybe\n", boolean},
        {"[global]\nproxy = \"a\nb\"\nverbose = maybe\n", boolean},  // spanned lines not counted
        {"[modules]\nqavomd = 1\n",
         "Section [modules]:Line 2: Unknown boolean value '1'. Please use on/off\n"},
        // An unknown section keeps the previous one.
        {"[ftp]\n[nosuch]\nport = 5\nbogus = 1\n",
         "Fatal error:Line 2: Unknown section name '[nosuch]'\n"
         "Section [ftp]:Line 4: Unknown option 'bogus'\n"},
        {"[\"global\"]\n", "Fatal error:Line 1: Unknown section name '[\"global\"]'\n"},
        // With no section selected, options are rejected without lookup.
        {"[nosuch]\nbogus = 1\nport\n", "Fatal error:Line 1: Unknown section name '[nosuch]'\n"},
    };
    for (const auto &[text, messages] : cases) {
        SCOPED_TRACE(text);
        LoadResult result = load(text);
        EXPECT_EQ(result.config, nullptr);
        config_free(result.config);
        EXPECT_EQ(result.err, messages);
    }
    LoadResult comma = load("[global]\nproxy = a,b\n");  // the comma is echoed and splits
    EXPECT_EQ(comma.config, nullptr);
    EXPECT_EQ(comma.out, ",");
    EXPECT_EQ(comma.err, eq + "3: Please enquote the string that contains 'b'\n");
}

TEST_F(ConfigParser, NullPathGivesTheDefaultsAndKeepsAGivenModel) {
    Config *config = config_load(nullptr, nullptr);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config_find_option(config, "global", "tries")->value.number, 20);
    EXPECT_EQ(config_load(config, nullptr), config);
    config_free(config);
}

TEST_F(ConfigParser, CurrentSectionPersistsIntoTheNextFile) {
    LoadResult first = load("[ftp]\nport = 2121\n");
    ASSERT_NE(first.config, nullptr);
    LoadResult second = load("[http]\nport = 8080\n", first.config);
    ASSERT_EQ(second.config, first.config);
    expect_values(second.config, {{"ftp", "port", 2121}, {"http", "port", 8080}});
    EXPECT_STREQ(second.config->current_section, "http");

    LoadResult third = load("[nosuch]\nbogus = 1\n", second.config);
    EXPECT_EQ(third.config, nullptr);  // the model passed in is released
    EXPECT_EQ(third.err,
              "Fatal error:Line 1: Unknown section name '[nosuch]'\n"
              "Section [http]:Line 2: Unknown option 'bogus'\n");
}

TEST_F(ConfigParser, EachLoadRestartsTheScanner) {
    // The first file stops inside a quoted word and off the beginning of a line.
    EXPECT_EQ(load("[global]\nverbose = maybe \"open").config, nullptr);
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
    EXPECT_EQ(load_path(path, model).config, nullptr);  // model released, as ASan would tell
}

TEST_F(ConfigParser, ManyOptionsFitTheStackUntilItsLimit) {
    std::string text = "[global]\n";
    for (int i = 0; i < 4000; i++) text += "tries = " + std::to_string(i) + "\n";
    LoadResult result = load(text);
    ASSERT_NE(result.config, nullptr);
    expect_values(result.config, {{"global", "tries", 3999, nullptr, 4001}});
    config_free(result.config);

    text = "[global]\n";
    for (int i = 0; i < 12000; i++) text += "tries = 1\n";
    result = load(text);
    EXPECT_EQ(result.config, nullptr);
    EXPECT_EQ(result.err, "");
}

TEST(ConfigParserDeath, ReadErrorEndsTheProcessWithStatusTwo) {
    // Opening a directory succeeds, reading it fails. No fixture: the child
    // would leave its scratch directory behind.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(config_load(nullptr, "/"), testing::ExitedWithCode(2),
                "^Can't read configuration file \\(Is a directory\\)\n$");
}

}  // namespace
