// Tests of the configuration model: the built-in table, orders, lookups,
// boolean words and independence of two models.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "config/updconfig.h"

namespace {

TEST(ConfigModel, SectionsAndOptionsAreInOrderAndStartAtTheirDefaults) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->current_section, nullptr);
    EXPECT_EQ(config->errors, 0);
    // Global first, then byte order, for sections and options alike.
    const std::vector<std::vector<std::string>> expected = {
        {"global", "BINDIR", "CONFDIR", "DATADIR", "INSTALL", "PLATFORM", "alarm", "proxy",
         "proxy-auth", "serverresponse", "temppath", "timeout", "tries", "use-proxy", "verbose"},
        {"ftp", "passive", "password", "port", "username"},
        {"hosts", "host", "infofile", "protocol"},
        {"http", "password", "port", "username"},
        {"modules", "engine", "qavocgate", "qavodmail", "qavoexim", "qavomd", "qavomilter",
         "qavopostfix", "qavoqmail", "qavosendmail"}};
    std::vector<std::vector<std::string>> found;
    for (int32_t s = 0; s < config->count; s++) {
        ConfigSection *section = config->sections[s];
        found.push_back({section->name});
        EXPECT_EQ(config_find_section(config, section->name), section);
        for (int32_t o = 0; o < section->count; o++) {
            ConfigOption *option = section->options[o];
            found.back().push_back(option->name);
            EXPECT_EQ(config_find_option(config, section->name, option->name), option);
            EXPECT_EQ(option->line, 0);
            ASSERT_NE(option->help, nullptr);
            if (option->type == CONFIG_STRING) {
                EXPECT_STREQ(option->value.string, option->default_value.string);
                EXPECT_NE(option->value.string, option->default_value.string);
            } else {
                EXPECT_EQ(option->value.number, option->default_value.number);
            }
        }
    }
    EXPECT_EQ(found, expected);
    config_free(config);
}

TEST(ConfigModel, DefaultsOfTheTable) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    struct Default {
        const char *section, *name;
        int32_t type;
        const char *string;
        int32_t number;
    };
    const Default defaults[] = {
        {"global", "DATADIR", CONFIG_STRING, "/var/opt/qavo", 0},
        {"global", "proxy", CONFIG_STRING, "http://proxy:8080", 0},
        {"global", "proxy-auth", CONFIG_STRING, "none", 0},
        {"global", "alarm", CONFIG_NUMBER, nullptr, 1800},
        {"global", "timeout", CONFIG_NUMBER, nullptr, 10},
        {"global", "tries", CONFIG_NUMBER, nullptr, 20},
        {"global", "use-proxy", CONFIG_BOOLEAN, nullptr, 0},
        {"hosts", "host", CONFIG_STRING, "update.qavo.example", 0},
        {"hosts", "infofile", CONFIG_STRING, "pub/qavo/update/engine/i686/qavoe.info", 0},
        {"ftp", "password", CONFIG_STRING, QAVO_ANONYMOUS_PASSWORD, 0},
        {"http", "password", CONFIG_STRING, QAVO_ANONYMOUS_PASSWORD, 0},
        {"http", "username", CONFIG_STRING, "anonymous", 0},
        {"ftp", "port", CONFIG_NUMBER, nullptr, 21},
        {"http", "port", CONFIG_NUMBER, nullptr, 80},
        {"modules", "engine", CONFIG_BOOLEAN, nullptr, 1},
        {"modules", "qavomd", CONFIG_BOOLEAN, nullptr, 0},
    };
    for (const Default &d : defaults) {
        SCOPED_TRACE(std::string(d.section) + "/" + d.name);
        ConfigOption *option = config_find_option(config, d.section, d.name);
        ASSERT_NE(option, nullptr);
        EXPECT_EQ(option->type, d.type);
        if (d.string != nullptr) {
            EXPECT_STREQ(option->value.string, d.string);
        } else {
            EXPECT_EQ(option->value.number, d.number);
        }
    }
    EXPECT_EQ(strlen(QAVO_ANONYMOUS_PASSWORD), 45u);
    EXPECT_STREQ(config_find_option(config, "http", "password")->help, "ftp password");
    EXPECT_STREQ(config_find_option(config, "global", "proxy-auth")->help,
                 "Proxy authentication: only \"none\" is supported.");
    config_free(config);
}

TEST(ConfigModel, NamesAreCaseSensitive) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config_find_section(config, "global"), config->sections[0]);
    EXPECT_EQ(config_find_section(config, "Global"), nullptr);
    EXPECT_EQ(config_find_section(config, "nosuch"), nullptr);
    EXPECT_NE(config_find_option(config, "global", "verbose"), nullptr);
    for (auto [section, name] : {std::pair{"global", "Verbose"},
                                 {"global", "bindir"},
                                 {"nosuch", "verbose"},
                                 {"ftp", "verbose"}}) {
        EXPECT_EQ(config_find_option(config, section, name), nullptr) << section << "/" << name;
    }
    config_free(config);
}

TEST(ConfigModel, BooleanWordsIgnoreCase) {
    for (const char *word : {"on", "ON", "Yes", "enable", "TRUE"})
        EXPECT_EQ(parse_boolean(word), 1);
    for (const char *word : {"off", "No", "DISABLE", "FALSE", "false"})
        EXPECT_EQ(parse_boolean(word), 0);
    for (const char *word : {"1", "0", "", "onn", "y", " on"}) EXPECT_EQ(parse_boolean(word), -1);
    EXPECT_EQ(parse_boolean(nullptr), -1);
}

TEST(ConfigModel, TwoModelsShareNoString) {
    Config *first = config_new();
    Config *second = config_new();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    std::set<const void *> seen;
    size_t strings = 0;
    auto note = [&](const void *string) {
        seen.insert(string);
        strings++;
    };
    for (Config *config : {first, second}) {
        for (int32_t s = 0; s < config->count; s++) {
            ConfigSection *section = config->sections[s];
            note(section->name);
            note(section->help);
            for (int32_t o = 0; o < section->count; o++) {
                ConfigOption *option = section->options[o];
                note(option->name);
                note(option->help);
                if (option->type != CONFIG_STRING) continue;
                note(option->value.string);
                note(option->default_value.string);
            }
        }
    }
    EXPECT_EQ(seen.size(), strings);
    ConfigOption *option = config_find_option(first, "global", "temppath");
    free(option->value.string);
    option->value.string = strdup("/var/tmp");
    EXPECT_STREQ(config_find_option(second, "global", "temppath")->value.string, "/tmp");
    config_free(first);
    config_free(second);
}

}  // namespace
