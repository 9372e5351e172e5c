// The configuration model: a private copy of the built-in option table,
// its lookups, the boolean words, the file loader and the dump.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/product.h"

// The vendor's download server. A literal, so callers can splice it.
#define QAVO_DEFAULT_HOST "update.qavo.example"

enum class ConfigType : int32_t {
    kString = 1,
    kNumber = 2,
    kBoolean = 3,
};

struct ConfigValue {
    std::string string;  // kString
    int32_t number = 0;  // kNumber and kBoolean
};

// The values a number option may take: a word that is no decimal number
// between them is refused. Without one, a number reads as atoi reads it.
struct NumberRange {
    int32_t lowest = 0;
    int32_t highest = 0;
};

struct ConfigOption {
    std::string name;
    ConfigType type = ConfigType::kString;
    ConfigValue value;
    ConfigValue default_value;
    std::string help;
    int32_t line = 0;  // configuration-file line that last assigned it, 0 if none
    std::optional<NumberRange> range;
};

struct ConfigSection {
    std::string name;
    std::string help;
    std::vector<ConfigOption> options;  // sorted by name in byte order
};

struct Config {
    std::vector<ConfigSection> sections;  // global first, then byte order
    // The parser's current section; it stays from one file to the next.
    const ConfigSection *current_section = nullptr;
    int32_t errors = 0;  // errors counted by the file parser
};

// The model of the built-in table, every option at its default.
std::unique_ptr<Config> config_new();
ConfigSection *config_find_section(Config *config, const char *name);
ConfigOption *config_find_option(Config *config, const char *section_name, const char *option_name);
// 1 for on/yes/enable/true, 0 for off/no/disable/false (any case), else -1.
int parse_boolean(const char *word);

// Loads path into model (a fresh model when null; only the defaults when path
// is null). Returns the model, or null after releasing it on any failure.
std::unique_ptr<Config> config_load(std::unique_ptr<Config> model, const char *path);

int config_dump(FILE *stream, const Config &config);
int section_dump(FILE *stream, const ConfigSection &section);
int option_dump(FILE *stream, const ConfigOption &option);
