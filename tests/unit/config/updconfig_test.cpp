// Tests of the configuration model: the built-in table, orders, lookups,
// boolean words and independence of two models.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "config/updconfig.h"

namespace {

std::vector<std::string> option_names(const ConfigSection *section) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < section->count; i++) names.push_back(section->options[i]->name);
    return names;
}

TEST(ConfigModel, SectionsAreGlobalFirstThenByteOrder) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    ASSERT_EQ(config->count, 5);
    const char *expected[] = {"global", "ftp", "hosts", "http", "modules"};
    for (int32_t i = 0; i < 5; i++) EXPECT_STREQ(config->sections[i]->name, expected[i]);
    EXPECT_EQ(config->current_section, nullptr);
    EXPECT_EQ(config->errors, 0);
    config_free(config);
}

TEST(ConfigModel, OptionsAreInByteOrder) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(option_names(config_find_section(config, "global")),
              (std::vector<std::string>{"BINDIR", "CONFDIR", "DATADIR", "INSTALL", "PLATFORM",
                                        "alarm", "proxy", "proxy-auth", "serverresponse",
                                        "temppath", "timeout", "tries", "use-proxy", "verbose"}));
    EXPECT_EQ(option_names(config_find_section(config, "ftp")),
              (std::vector<std::string>{"passive", "password", "port", "username"}));
    EXPECT_EQ(option_names(config_find_section(config, "hosts")),
              (std::vector<std::string>{"host", "infofile", "protocol"}));
    EXPECT_EQ(option_names(config_find_section(config, "http")),
              (std::vector<std::string>{"password", "port", "username"}));
    EXPECT_EQ(option_names(config_find_section(config, "modules")),
              (std::vector<std::string>{"engine", "qavocgate", "qavodmail", "qavoexim", "qavomd",
                                        "qavomilter", "qavopostfix", "qavoqmail", "qavosendmail"}));
    config_free(config);
}

TEST(ConfigModel, EveryOptionIsFoundAndValuesStartAtTheDefault) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    for (int32_t s = 0; s < config->count; s++) {
        ConfigSection *section = config->sections[s];
        EXPECT_EQ(config_find_section(config, section->name), section);
        for (int32_t o = 0; o < section->count; o++) {
            ConfigOption *option = section->options[o];
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
    config_free(config);
}

TEST(ConfigModel, DefaultsOfTheTable) {
    Config *config = config_new();
    ASSERT_NE(config, nullptr);
    auto string_of = [&](const char *section, const char *name) {
        ConfigOption *option = config_find_option(config, section, name);
        EXPECT_NE(option, nullptr);
        EXPECT_EQ(option ? option->type : 0, CONFIG_STRING);
        return std::string(option ? option->value.string : "");
    };
    auto number_of = [&](const char *section, const char *name, int32_t type) {
        ConfigOption *option = config_find_option(config, section, name);
        EXPECT_NE(option, nullptr);
        EXPECT_EQ(option ? option->type : 0, type);
        return option ? option->value.number : -99;
    };
    EXPECT_EQ(string_of("global", "DATADIR"), "/var/opt/qavo");
    EXPECT_EQ(string_of("global", "proxy"), "http://proxy:8080");
    EXPECT_EQ(string_of("global", "proxy-auth"), "none");
    EXPECT_EQ(number_of("global", "alarm", CONFIG_NUMBER), 1800);
    EXPECT_EQ(number_of("global", "timeout", CONFIG_NUMBER), 10);
    EXPECT_EQ(number_of("global", "tries", CONFIG_NUMBER), 20);
    EXPECT_EQ(number_of("global", "use-proxy", CONFIG_BOOLEAN), 0);
    EXPECT_EQ(string_of("hosts", "host"), "update.qavo.example");
    EXPECT_EQ(string_of("hosts", "infofile"), "pub/qavo/update/engine/i686/qavoe.info");
    EXPECT_EQ(string_of("ftp", "password"), QAVO_ANONYMOUS_PASSWORD);
    EXPECT_EQ(strlen(QAVO_ANONYMOUS_PASSWORD), 45u);
    EXPECT_EQ(string_of("http", "password"), QAVO_ANONYMOUS_PASSWORD);
    EXPECT_EQ(string_of("http", "username"), "anonymous");
    EXPECT_EQ(number_of("ftp", "port", CONFIG_NUMBER), 21);
    EXPECT_EQ(number_of("http", "port", CONFIG_NUMBER), 80);
    EXPECT_EQ(number_of("modules", "engine", CONFIG_BOOLEAN), 1);
    EXPECT_EQ(number_of("modules", "qavomd", CONFIG_BOOLEAN), 0);
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
    EXPECT_EQ(config_find_option(config, "global", "Verbose"), nullptr);
    EXPECT_EQ(config_find_option(config, "global", "bindir"), nullptr);
    EXPECT_EQ(config_find_option(config, "nosuch", "verbose"), nullptr);
    EXPECT_EQ(config_find_option(config, "ftp", "verbose"), nullptr);
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
    for (Config *config : {first, second}) {
        for (int32_t s = 0; s < config->count; s++) {
            ConfigSection *section = config->sections[s];
            seen.insert(section->name);
            seen.insert(section->help);
            strings += 2;
            for (int32_t o = 0; o < section->count; o++) {
                ConfigOption *option = section->options[o];
                seen.insert(option->name);
                seen.insert(option->help);
                strings += 2;
                if (option->type == CONFIG_STRING) {
                    seen.insert(option->value.string);
                    seen.insert(option->default_value.string);
                    strings += 2;
                }
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
