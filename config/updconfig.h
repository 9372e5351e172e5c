// The configuration model: a private copy of the built-in option table,
// its lookups, the boolean words, the file loader and the dump.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/product.h"

// The vendor's download server. A literal, so callers can splice it.
#define QAVO_DEFAULT_HOST "update.qavo.example"

enum ConfigType : int32_t {
    CONFIG_STRING = 1,
    CONFIG_NUMBER = 2,
    CONFIG_BOOLEAN = 3,
};

union ConfigValue {
    char *string;    // CONFIG_STRING: owned
    int32_t number;  // CONFIG_NUMBER and CONFIG_BOOLEAN
};

struct ConfigOption {
    char *name;
    int32_t type;
    ConfigValue value;
    ConfigValue default_value;
    char *help;
    int32_t line;  // configuration-file line that last assigned it, 0 if none
};

struct ConfigSection {
    char *name;
    char *help;
    ConfigOption **options;  // sorted by name in byte order
    int32_t count;
};

struct Config {
    ConfigSection **sections;     // global first, then byte order
    const char *current_section;  // borrowed; the parser's current section
    int32_t count;
    int32_t errors;  // errors counted by the file parser
};

Config *config_new();
void config_free(Config *config);
ConfigSection *config_find_section(Config *config, const char *name);
ConfigOption *config_find_option(Config *config, const char *section_name, const char *option_name);
int parse_boolean(const char *word);

// Loads path into model (a fresh model when null; only the defaults when path
// is null). Returns the model, or null after releasing it on any failure.
Config *config_load(Config *model, const char *path);

int config_dump(FILE *stream, Config *config);
int section_dump(FILE *stream, ConfigSection *section);
int option_dump(FILE *stream, ConfigOption *option);
