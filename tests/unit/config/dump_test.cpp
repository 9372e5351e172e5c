// Tests of the configuration dump: exact bytes of default and changed
// options, quoting, help comments, and reading a dump back.
#include <gtest/gtest.h>

#include <string>

#include "config/updconfig.h"
#include "tests/unit/config/config_test_util.h"

namespace {

using ConfigDump = ConfigFileTest;

std::string option_text(ConfigOption *option) {
    return stream_text([option](FILE *stream) { option_dump(stream, option); });
}

void set_string(ConfigOption *option, const char *value) {
    free(option->value.string);
    option->value.string = strdup(value);
}

TEST_F(ConfigDump, DefaultsCommentEveryAssignmentOut) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    std::string text = dump_text(config);
    const std::string head =
        "[global]\n#This section contains global parameters\n\n#\n# Option 'BINDIR'\n"
        "#\tBinaries dir\n# Type: string\n# Default value: /opt/qavo/bin\n"
        "# BINDIR=/opt/qavo/bin\n\n#\n# Option 'CONFDIR'\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    size_t assignments = 0;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        EXPECT_NE(line[0], ' ') << line;
        if (line.find('=') != std::string::npos && line.rfind("# Default", 0) != 0) assignments++;
    }
    EXPECT_EQ(assignments, 33u);  // one per option of the table
    for (const char *part :
         {"\n\n\n[ftp]\n#Configuration for ftp connections\n\n#\n# Option 'passive'\n",
          "[modules]\n#This sections contains configuration for\n#what modules to update\n\n#\n"
          "# Option 'engine'\n",
          "# Option 'protocol'\n#\tProtocol used to communicate with update host.\n"
          "#Currently suported protocols are 'ftp' and 'http'.\n# Type: string\n"
          "# Default value: ftp\n# protocol=ftp\n\n",
          "# Option 'engine'\n#\tUpdate only QAVO engine. E.g. files that resides into qavoe "
          "directory\n# Type: boolean\n# Default value: on\n# engine=on\n\n"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part;
    }
    // The last section ends with its last option's empty line and one more.
    EXPECT_EQ(text.substr(text.size() - 42), "# Default value: off\n# qavosendmail=off\n\n\n");
    config_free(config);
}

TEST_F(ConfigDump, ChangedValuesAreActiveAndQuotedByTheirCurrentValue) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    config_find_option(config, "global", "tries")->value.number = 5;
    EXPECT_EQ(option_text(config_find_option(config, "global", "tries")),
              "#\n# Option 'tries'\n#\tNumber of tries before giving up\n"
              "# Type: number\n# Default value: 20\n tries=5\n\n");
    ConfigOption *temppath = config_find_option(config, "global", "temppath");
    set_string(temppath, "/tmp/my dir");
    EXPECT_EQ(option_text(temppath),
              "#\n# Option 'temppath'\n#\tTemporary directory\n"
              "# Type: string\n# Default value: \"/tmp\"\n temppath=\"/tmp/my dir\"\n\n");
    ConfigOption *verbose = config_find_option(config, "global", "verbose");
    verbose->value.number = -1;
    EXPECT_EQ(option_text(verbose),
              "#\n# Option 'verbose'\n#\tBe verbose\n"
              "# Type: boolean\n# Default value: off\n verbose=on\n\n");
    config_find_option(config, "modules", "engine")->value.number = 0;
    EXPECT_NE(option_text(config_find_option(config, "modules", "engine"))
                  .find("# Default value: on\n engine=off\n"),
              std::string::npos);

    ConfigOption *proxy = config_find_option(config, "global", "proxy");
    set_string(proxy, "http://a=b,c");
    EXPECT_NE(option_text(proxy).find("# Default value: http://proxy:8080\n proxy=http://a=b,c\n"),
              std::string::npos);
    for (std::string value : {"a$b", "a#b", "a%b", "a&b", "a*b", "a(b", "a)b", "a\tb"}) {
        set_string(proxy, value.c_str());
        EXPECT_NE(option_text(proxy).find("# Default value: \"http://proxy:8080\"\n proxy=\"" +
                                          value + "\"\n"),
                  std::string::npos)
            << value;
    }
    // Equal to the default but quoted: still commented out.
    free(temppath->default_value.string);
    temppath->default_value.string = strdup("/a b");
    set_string(temppath, "/a b");
    EXPECT_NE(option_text(temppath).find("# Default value: \"/a b\"\n# temppath=\"/a b\"\n"),
              std::string::npos);
    config_free(config);
}

TEST_F(ConfigDump, DumpReadsBackToTheSameValues) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    config_find_option(config, "global", "tries")->value.number = 5;
    config_find_option(config, "global", "verbose")->value.number = 1;
    config_find_option(config, "modules", "engine")->value.number = 0;
    config_find_option(config, "ftp", "port")->value.number = -2121;
    set_string(config_find_option(config, "global", "temppath"), "/tmp/my dir");
    set_string(config_find_option(config, "hosts", "host"), "mirror.example");
    set_string(config_find_option(config, "http", "password"), "pa#ss(word)");
    std::string text = dump_text(config);
    config_free(config);

    LoadResult result = load(text);
    ASSERT_NE(result.config, nullptr);
    EXPECT_EQ(result.err + result.out, "");
    EXPECT_EQ(dump_text(result.config), text);
    EXPECT_STREQ(config_find_option(result.config, "global", "temppath")->value.string,
                 "/tmp/my dir");
    EXPECT_EQ(config_find_option(result.config, "ftp", "port")->value.number, -2121);
    EXPECT_STREQ(config_find_option(result.config, "http", "password")->value.string,
                 "pa#ss(word)");
    EXPECT_EQ(config_find_option(result.config, "global", "alarm")->line, 0);
    config_free(result.config);
}

}  // namespace
