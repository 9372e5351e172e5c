// The built-in option table and the configuration model made from it:
// copying, sorting, the two lookups, the boolean words and the release.
#include "config/updconfig.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

struct BuiltinOption {
    const char *name;
    int32_t type;
    const char *string;  // default of a string option
    int32_t number;      // default of a number or boolean option
    const char *help;
};

struct BuiltinSection {
    const char *name;
    const char *help;
    const BuiltinOption *options;
    int32_t count;
};

constexpr BuiltinOption kGlobalOptions[] = {
    {"tries", CONFIG_NUMBER, nullptr, 20, "Number of tries before giving up"},
    {"timeout", CONFIG_NUMBER, nullptr, 10, "Timeout in seconds"},
    {"alarm", CONFIG_NUMBER, nullptr, 1800, "Time in seconds to complete update process"},
    {"verbose", CONFIG_BOOLEAN, nullptr, 0, "Be verbose"},
    {"serverresponse", CONFIG_BOOLEAN, nullptr, 0,
     "Display communication between client and server"},
    {"temppath", CONFIG_STRING, "/tmp", 0, "Temporary directory"},
    {"use-proxy", CONFIG_BOOLEAN, nullptr, 0, "Enable proxy"},
    {"proxy", CONFIG_STRING, "http://proxy:8080", 0, "http proxy. Ex: http://localhost:3128"},
    {"proxy-auth", CONFIG_STRING, "none", 0, "Proxy authentication: only \"none\" is supported."},
    {"PLATFORM", CONFIG_STRING, "i686", 0, "Machine platform"},
    {"INSTALL", CONFIG_STRING, "/var/opt/qavo", 0, "Obsolete. Used for backward compatibility."},
    {"BINDIR", CONFIG_STRING, "/opt/qavo/bin", 0, "Binaries dir"},
    {"CONFDIR", CONFIG_STRING, "/etc/opt/qavo", 0, "Configuration dir"},
    {"DATADIR", CONFIG_STRING, "/var/opt/qavo", 0, "Data dir"},
};

constexpr BuiltinOption kHostsOptions[] = {
    {"host", CONFIG_STRING, QAVO_DEFAULT_HOST, 0, "host used for update"},
    {"protocol", CONFIG_STRING, "ftp", 0,
     "Protocol used to communicate with update host.\n"
     "Currently suported protocols are 'ftp' and 'http'."},
    {"infofile", CONFIG_STRING, "pub/qavo/update/engine/i686/qavoe.info", 0, "Information file"},
};

constexpr BuiltinOption kFtpOptions[] = {
    {"port", CONFIG_NUMBER, nullptr, 21, "Default port for ftp protocol"},
    {"username", CONFIG_STRING, "ftp", 0, "ftp username. Used for ftp USER command"},
    {"password", CONFIG_STRING, QAVO_ANONYMOUS_PASSWORD, 0, "ftp password"},
    {"passive", CONFIG_BOOLEAN, nullptr, 0, "Use passive(off)/active(on) ftp connection"},
};

constexpr BuiltinOption kHttpOptions[] = {
    {"port", CONFIG_NUMBER, nullptr, 80, "Default port for http protocol"},
    {"username", CONFIG_STRING, "anonymous", 0, "http username"},
    {"password", CONFIG_STRING, QAVO_ANONYMOUS_PASSWORD, 0, "ftp password"},
};

constexpr BuiltinOption kModulesOptions[] = {
    {"engine", CONFIG_BOOLEAN, nullptr, 1,
     "Update only QAVO engine. E.g. files that resides into qavoe directory"},
    {"qavomd", CONFIG_BOOLEAN, nullptr, 0,
     "Not yet implemented. This module depends by engine module."},
    {"qavomilter", CONFIG_BOOLEAN, nullptr, 0, "Not yet implemented"},
    {"qavosendmail", CONFIG_BOOLEAN, nullptr, 0, "Not yet implemented"},
    {"qavopostfix", CONFIG_BOOLEAN, nullptr, 0, "Not yet implemented"},
    {"qavoqmail", CONFIG_BOOLEAN, nullptr, 0, "Not yet implemented"},
    {"qavoexim", CONFIG_BOOLEAN, nullptr, 0, "Not yet implemented"},
    {"qavodmail", CONFIG_BOOLEAN, nullptr, 0, "Not yet implemented"},
    {"qavocgate", CONFIG_BOOLEAN, nullptr, 0, "Not yet implemented"},
};

template <size_t N>
constexpr int32_t count_of(const BuiltinOption (&)[N]) {
    return static_cast<int32_t>(N);
}

constexpr BuiltinSection kSections[] = {
    {"global", "This section contains global parameters", kGlobalOptions, count_of(kGlobalOptions)},
    {"hosts", "Contains hosts information", kHostsOptions, count_of(kHostsOptions)},
    {"ftp", "Configuration for ftp connections", kFtpOptions, count_of(kFtpOptions)},
    {"http", "Configuration for http connections", kHttpOptions, count_of(kHttpOptions)},
    {"modules", "This sections contains configuration for\nwhat modules to update", kModulesOptions,
     count_of(kModulesOptions)},
};

constexpr int32_t kSectionCount = static_cast<int32_t>(sizeof kSections / sizeof kSections[0]);

// strdup that keeps a null pointer null; *failed is set when memory runs out.
char *copy_string(const char *text, bool *failed) {
    if (text == nullptr) return nullptr;
    char *copy = strdup(text);
    if (copy == nullptr) *failed = true;
    return copy;
}

void option_free(ConfigOption *option) {
    if (option == nullptr) return;
    free(option->name);
    if (option->type == CONFIG_STRING) {
        free(option->value.string);
        free(option->default_value.string);
    }
    free(option->help);
    free(option);
}

void section_free(ConfigSection *section) {
    if (section == nullptr) return;
    free(section->name);
    free(section->help);
    if (section->options != nullptr) {
        for (int32_t i = 0; i < section->count; i++) option_free(section->options[i]);
    }
    free(section->options);
    free(section);
}

ConfigOption *option_copy(const BuiltinOption *source) {
    auto *option = static_cast<ConfigOption *>(calloc(1, sizeof(ConfigOption)));
    if (option == nullptr) return nullptr;
    bool failed = false;
    option->type = source->type;
    option->name = copy_string(source->name, &failed);
    option->help = copy_string(source->help, &failed);
    if (source->type == CONFIG_STRING) {
        option->value.string = copy_string(source->string, &failed);
        option->default_value.string = copy_string(source->string, &failed);
    } else {
        option->value.number = source->number;
        option->default_value.number = source->number;
    }
    if (failed) {
        option_free(option);
        return nullptr;
    }
    return option;
}

int option_order(const void *a, const void *b) {
    const auto *first = *static_cast<ConfigOption *const *>(a);
    const auto *second = *static_cast<ConfigOption *const *>(b);
    return strcmp(first->name, second->name);
}

int option_key_order(const void *key, const void *b) {
    const auto *option = *static_cast<ConfigOption *const *>(b);
    return strcmp(static_cast<const char *>(key), option->name);
}

// Byte order of the names, except that "global" sorts before everything.
int section_name_order(const char *first, const char *second) {
    int c = strcmp(first, second);
    if (c == 0) return 0;
    if (strcmp(first, "global") == 0) return -1;
    if (strcmp(second, "global") == 0) return 1;
    return c;
}

int section_order(const void *a, const void *b) {
    const auto *first = *static_cast<ConfigSection *const *>(a);
    const auto *second = *static_cast<ConfigSection *const *>(b);
    return section_name_order(first->name, second->name);
}

int section_key_order(const void *key, const void *b) {
    const auto *section = *static_cast<ConfigSection *const *>(b);
    return section_name_order(static_cast<const char *>(key), section->name);
}

ConfigSection *section_copy(const BuiltinSection *source) {
    auto *section = static_cast<ConfigSection *>(calloc(1, sizeof(ConfigSection)));
    if (section == nullptr) return nullptr;
    bool failed = false;
    section->name = copy_string(source->name, &failed);
    section->help = copy_string(source->help, &failed);
    section->count = source->count;
    section->options = static_cast<ConfigOption **>(calloc(source->count, sizeof(ConfigOption *)));
    if (failed || section->options == nullptr) {
        section_free(section);
        return nullptr;
    }
    for (int32_t i = 0; i < source->count; i++) {
        section->options[i] = option_copy(&source->options[i]);
        if (section->options[i] == nullptr) {
            section_free(section);
            return nullptr;
        }
    }
    qsort(section->options, section->count, sizeof(ConfigOption *), option_order);
    return section;
}

}  // namespace

Config *config_new() {
    auto *config = static_cast<Config *>(calloc(1, sizeof(Config)));
    if (config == nullptr) return nullptr;
    config->count = kSectionCount;
    config->sections =
        static_cast<ConfigSection **>(calloc(kSectionCount, sizeof(ConfigSection *)));
    if (config->sections == nullptr) {
        config_free(config);
        return nullptr;
    }
    for (int32_t i = 0; i < kSectionCount; i++) {
        config->sections[i] = section_copy(&kSections[i]);
        if (config->sections[i] == nullptr) {
            config_free(config);
            return nullptr;
        }
    }
    qsort(config->sections, config->count, sizeof(ConfigSection *), section_order);
    return config;
}

void config_free(Config *config) {
    if (config == nullptr) return;
    if (config->sections != nullptr) {
        for (int32_t i = 0; i < config->count; i++) section_free(config->sections[i]);
    }
    free(config->sections);
    free(config);
}

ConfigSection *config_find_section(Config *config, const char *name) {
    // bsearch must not see a null array, even with a count of 0.
    if (config == nullptr || name == nullptr || config->sections == nullptr) return nullptr;
    void *found =
        bsearch(name, config->sections, config->count, sizeof(ConfigSection *), section_key_order);
    return found == nullptr ? nullptr : *static_cast<ConfigSection **>(found);
}

ConfigOption *config_find_option(Config *config, const char *section_name,
                                 const char *option_name) {
    ConfigSection *section = config_find_section(config, section_name);
    if (section == nullptr || option_name == nullptr || section->options == nullptr) return nullptr;
    void *found = bsearch(option_name, section->options, section->count, sizeof(ConfigOption *),
                          option_key_order);
    return found == nullptr ? nullptr : *static_cast<ConfigOption **>(found);
}

int parse_boolean(const char *word) {
    static constexpr const char *kOn[] = {"on", "yes", "enable", "true"};
    static constexpr const char *kOff[] = {"off", "no", "disable", "false"};
    if (word == nullptr) return -1;
    for (const char *candidate : kOn) {
        if (strcasecmp(word, candidate) == 0) return 1;
    }
    for (const char *candidate : kOff) {
        if (strcasecmp(word, candidate) == 0) return 0;
    }
    return -1;
}
