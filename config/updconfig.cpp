// The built-in option table and the configuration model made from it:
// copying, sorting, the two lookups and the boolean words.
#include "config/updconfig.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <span>

namespace {

struct BuiltinOption {
    const char *name;
    ConfigType type;
    const char *string;  // default of a string option
    int32_t number;      // default of a number or boolean option
    const char *help;
    std::optional<NumberRange> range = std::nullopt;
};

struct BuiltinSection {
    const char *name;
    const char *help;
    std::span<const BuiltinOption> options;
};

constexpr BuiltinOption kGlobalOptions[] = {
    {"tries", ConfigType::kNumber, nullptr, 20, "Number of tries before giving up"},
    {"timeout", ConfigType::kNumber, nullptr, 10, "Timeout in seconds"},
    {"alarm", ConfigType::kNumber, nullptr, 1800, "Time in seconds to complete update process"},
    {"verbose", ConfigType::kBoolean, nullptr, 0, "Be verbose"},
    {"serverresponse", ConfigType::kBoolean, nullptr, 0,
     "Display communication between client and server"},
    {"temppath", ConfigType::kString, "/tmp", 0, "Temporary directory"},
    {"statepath", ConfigType::kString, "/var/lib/qavoupdate", 0,
     "Directory that keeps what must survive between runs"},
    {"manifest", ConfigType::kString, "off", 0, "Detached manifest: required or off"},
    {"deltas", ConfigType::kBoolean, nullptr, 1,
     "Fetch patches against installed files when the mirror offers them"},
    {"sandbox", ConfigType::kBoolean, nullptr, 1,
     "Run the network side as a separate unprivileged, confined process"},
    {"fetchuser", ConfigType::kString, "_qavoupdate", 0,
     "Unprivileged user the network side runs as"},
    {"statusfile", ConfigType::kString, "", 0,
     "File the run's status is written to for monitoring (metrics text format); empty for none"},
    // A day at most: a larger wait is a typing error, not a spread.
    {"randomdelay", ConfigType::kNumber, nullptr, 0,
     "Wait a random time below this many seconds (0 to 86400) before starting",
     NumberRange{0, 86400}},
    {"use-proxy", ConfigType::kBoolean, nullptr, 0, "Enable proxy"},
    {"proxy", ConfigType::kString, "http://proxy:8080", 0, "http proxy. Ex: http://localhost:3128"},
    {"proxy-auth", ConfigType::kString, "none", 0,
     "Proxy authentication: none or basic (user and password from the proxy URL)"},
    {"PLATFORM", ConfigType::kString, "i686", 0, "Machine platform"},
    {"INSTALL", ConfigType::kString, "/var/opt/qavo", 0,
     "Obsolete. Used for backward compatibility."},
    {"BINDIR", ConfigType::kString, "/opt/qavo/bin", 0, "Binaries dir"},
    {"CONFDIR", ConfigType::kString, "/etc/opt/qavo", 0, "Configuration dir"},
    {"DATADIR", ConfigType::kString, "/var/opt/qavo", 0, "Data dir"},
};

constexpr BuiltinOption kHostsOptions[] = {
    {"host", ConfigType::kString, QAVO_DEFAULT_HOST, 0,
     "host used for update. Several hosts (mirrors), separated by blanks or\n"
     "commas and in double quotes, are tried in turn; host:port sets its own port"},
    {"protocol", ConfigType::kString, "ftp", 0,
     "Protocol used to communicate with update host.\n"
     "Currently suported protocols are 'ftp', 'http' and 'https'."},
    {"infofile", ConfigType::kString, "pub/qavo/update/engine/i686/qavoe.info", 0,
     "Information file"},
};

constexpr BuiltinOption kFtpOptions[] = {
    {"port", ConfigType::kNumber, nullptr, 21, "Default port for ftp protocol"},
    {"username", ConfigType::kString, "ftp", 0, "ftp username. Used for ftp USER command"},
    {"password", ConfigType::kString, QAVO_ANONYMOUS_PASSWORD, 0, "ftp password"},
    {"passive", ConfigType::kBoolean, nullptr, 0, "Use passive(off)/active(on) ftp connection"},
};

constexpr BuiltinOption kHttpOptions[] = {
    {"port", ConfigType::kNumber, nullptr, 80, "Default port for http protocol"},
    {"username", ConfigType::kString, "anonymous", 0, "http username"},
    {"password", ConfigType::kString, QAVO_ANONYMOUS_PASSWORD, 0, "ftp password"},
    // More than a few dozen outstanding requests gain nothing and some
    // servers and proxies drop a connection that asks for more.
    {"pipeline", ConfigType::kNumber, nullptr, 8,
     "Requests sent ahead on one connection (1: one at a time)", NumberRange{1, 32}},
};

constexpr BuiltinOption kHttpsOptions[] = {
    {"port", ConfigType::kNumber, nullptr, 443, "Default port for https protocol"},
    {"cafile", ConfigType::kString, "", 0,
     "CA certificates (PEM) trusted for https; empty: the system's store"},
};

constexpr BuiltinOption kModulesOptions[] = {
    {"engine", ConfigType::kBoolean, nullptr, 1,
     "Update only QAVO engine. E.g. files that resides into qavoe directory"},
    {"qavomd", ConfigType::kBoolean, nullptr, 0,
     "Not yet implemented. This module depends by engine module."},
    {"qavomilter", ConfigType::kBoolean, nullptr, 0, "Not yet implemented"},
    {"qavosendmail", ConfigType::kBoolean, nullptr, 0, "Not yet implemented"},
    {"qavopostfix", ConfigType::kBoolean, nullptr, 0, "Not yet implemented"},
    {"qavoqmail", ConfigType::kBoolean, nullptr, 0, "Not yet implemented"},
    {"qavoexim", ConfigType::kBoolean, nullptr, 0, "Not yet implemented"},
    {"qavodmail", ConfigType::kBoolean, nullptr, 0, "Not yet implemented"},
    {"qavocgate", ConfigType::kBoolean, nullptr, 0, "Not yet implemented"},
};

constexpr BuiltinSection kSections[] = {
    {"global", "This section contains global parameters", kGlobalOptions},
    {"hosts", "Contains hosts information", kHostsOptions},
    {"ftp", "Configuration for ftp connections", kFtpOptions},
    {"http", "Configuration for http connections", kHttpOptions},
    {"https", "Configuration for https connections (login from the http section)", kHttpsOptions},
    {"modules", "This sections contains configuration for\nwhat modules to update",
     kModulesOptions},
};

// Byte order of the names, except that "global" sorts before everything.
int section_name_order(const std::string &first, const char *second) {
    int c = first.compare(second);
    if (c == 0) return 0;
    if (first == "global") return -1;
    if (strcmp(second, "global") == 0) return 1;
    return c;
}

ConfigOption option_copy(const BuiltinOption &source) {
    ConfigOption option;
    option.name = source.name;
    option.type = source.type;
    option.help = source.help;
    option.range = source.range;
    if (source.type == ConfigType::kString) {
        option.value.string = source.string;
        option.default_value.string = source.string;
    } else {
        option.value.number = source.number;
        option.default_value.number = source.number;
    }
    return option;
}

ConfigSection section_copy(const BuiltinSection &source) {
    ConfigSection section;
    section.name = source.name;
    section.help = source.help;
    for (const BuiltinOption &option : source.options)
        section.options.push_back(option_copy(option));
    std::stable_sort(section.options.begin(), section.options.end(),
                     [](const ConfigOption &a, const ConfigOption &b) { return a.name < b.name; });
    return section;
}

}  // namespace

std::unique_ptr<Config> config_new() {
    auto config = std::make_unique<Config>();
    for (const BuiltinSection &section : kSections)
        config->sections.push_back(section_copy(section));
    std::stable_sort(config->sections.begin(), config->sections.end(),
                     [](const ConfigSection &a, const ConfigSection &b) {
                         return section_name_order(a.name, b.name.c_str()) < 0;
                     });
    return config;
}

ConfigSection *config_find_section(Config *config, const char *name) {
    if (config == nullptr || name == nullptr) return nullptr;
    auto &sections = config->sections;
    auto found = std::lower_bound(sections.begin(), sections.end(), name,
                                  [](const ConfigSection &section, const char *key) {
                                      return section_name_order(section.name, key) < 0;
                                  });
    return found != sections.end() && found->name == name ? &*found : nullptr;
}

ConfigOption *config_find_option(Config *config, const char *section_name,
                                 const char *option_name) {
    ConfigSection *section = config_find_section(config, section_name);
    if (section == nullptr || option_name == nullptr) return nullptr;
    auto &options = section->options;
    auto found = std::lower_bound(
        options.begin(), options.end(), option_name,
        [](const ConfigOption &option, const char *key) { return option.name.compare(key) < 0; });
    return found != options.end() && found->name == option_name ? &*found : nullptr;
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
