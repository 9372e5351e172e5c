// The one place that reads the configuration's options by name.
#include "frontend/settings.h"

#include <cstring>

namespace {

constexpr struct {
    std::string_view text;
    const char *option;
} kPlaceholders[] = {
    {"${INSTALL}", "INSTALL"}, {"${PLATFORM}", "PLATFORM"}, {"${DATADIR}", "DATADIR"},
    {"${CONFDIR}", "CONFDIR"}, {"${BINDIR}", "BINDIR"},
};

const char *string_of(const ConfigOption *option) {
    return option != nullptr && option->type == ConfigType::kString ? option->value.string.c_str()
                                                                    : "";
}

int32_t number_of(const ConfigOption *option) {
    return option != nullptr && option->type != ConfigType::kString ? option->value.number : 0;
}

PlacedText placed(const ConfigOption *option) {
    return {string_of(option), option != nullptr ? option->line : 0};
}

// By the enumeration's order.
constexpr struct {
    const char *section;
    const char *name;
} kCommandOptions[] = {
    {"global", "proxy-auth"}, {"global", "proxy"},          {"global", "tries"},
    {"global", "timeout"},    {"global", "serverresponse"}, {"global", "verbose"},
    {"global", "use-proxy"},  {"ftp", "passive"},
};

ConfigOption *command_option(Config &config, CommandOption which) {
    const auto &[section, name] = kCommandOptions[static_cast<size_t>(which)];
    ConfigOption *option = config_find_option(&config, section, name);
    if (option != nullptr) option->line = 0;
    return option;
}

}  // namespace

Settings settings_read(Config &config) {
    Settings settings;
    const auto global = [&config](const char *name) {
        return config_find_option(&config, "global", name);
    };
    const auto on = [&global](const char *name) {
        const ConfigOption *option = global(name);
        return option != nullptr && option->value.number != 0;
    };
    settings.verbose = on("verbose");
    settings.server_response = on("serverresponse");
    settings.alarm = number_of(global("alarm"));
    settings.randomdelay = number_of(global("randomdelay"));
    settings.timeout = number_of(global("timeout"));
    settings.tries = number_of(global("tries"));
    if (const ConfigOption *temppath = global("temppath");
        temppath != nullptr && temppath->type == ConfigType::kString)
        settings.temppath = temppath->value.string;
    settings.statusfile = string_of(global("statusfile"));
    settings.statepath = string_of(global("statepath"));
    // A boolean option holds 0 or 1 here: a run whose file or command line
    // gave it another word stops before its settings are used.
    settings.use_proxy = number_of(global("use-proxy")) == 1;
    settings.proxy = placed(global("proxy"));
    settings.proxy_auth = placed(global("proxy-auth"));
    settings.manifest = placed(global("manifest"));
    settings.deltas = on("deltas");
    settings.sandbox = on("sandbox");
    settings.fetchuser = string_of(global("fetchuser"));

    settings.protocol = placed(config_find_option(&config, "hosts", "protocol"));
    settings.hosts = placed(config_find_option(&config, "hosts", "host"));
    settings.infofile = string_of(config_find_option(&config, "hosts", "infofile"));
    const char *scheme = settings.protocol.value.c_str();
    const char *login = strcmp(scheme, "https") == 0 ? "http" : scheme;
    const ConfigOption *user = config_find_option(&config, login, "username");
    const ConfigOption *password = config_find_option(&config, login, "password");
    const ConfigOption *port = config_find_option(&config, scheme, "port");
    // A section without the three login options (global, hosts, modules) is
    // no protocol either.
    if (config_find_section(&config, scheme) != nullptr && user != nullptr && password != nullptr &&
        port != nullptr)
        settings.login = ProtocolLogin{string_of(user), string_of(password), number_of(port)};
    settings.cafile = string_of(config_find_option(&config, "https", "cafile"));
    settings.pipeline = number_of(config_find_option(&config, "http", "pipeline"));
    settings.ftp_active = number_of(config_find_option(&config, "ftp", "passive")) != 0;
    if (const ConfigSection *modules = config_find_section(&config, "modules")) {
        for (const ConfigOption &module : modules->options) {
            if (module.value.number != 0) settings.modules.push_back(module.name);
        }
    }
    for (const auto &[text, option] : kPlaceholders) {
        const ConfigOption *found = global(option);
        settings.placeholders.push_back(
            {text, found != nullptr && found->type == ConfigType::kString
                       ? std::optional<std::string>(found->value.string)
                       : std::nullopt});
    }
    return settings;
}

void settings_set_number(Config &config, CommandOption which, int32_t value) {
    if (ConfigOption *option = command_option(config, which)) option->value.number = value;
}

void settings_set_text(Config &config, CommandOption which, const char *value) {
    if (ConfigOption *option = command_option(config, which)) option->value.string = value;
}

bool settings_select_module(Config &config, const char *name) {
    ConfigOption *module = config_find_option(&config, "modules", name);
    if (module != nullptr) module->value.number = 1;
    return module != nullptr;
}
