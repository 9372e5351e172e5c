// The run's settings, read once from the configuration that the file and
// the command line made. Everything after reads typed fields: an option is
// named only where the table is read, so a mistyped name cannot quietly
// read as "" or 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/updconfig.h"

// A text option and the line of the file that set it; 0 when the command
// line set it or nothing did, for the lines that tell where it came from.
struct PlacedText {
    std::string value;
    int32_t line = 0;
};

// The login and port of the protocol in use, from its own section (https
// logs in as http does: its section holds only what differs).
struct ProtocolLogin {
    std::string user;
    std::string password;
    int32_t port = 0;
};

// A placeholder of installation paths and its option's text (absent: the
// option is not set as a text).
struct PathPlaceholder {
    std::string_view text;
    std::optional<std::string> value;
};

struct Settings {
    bool verbose = false;
    bool server_response = false;
    int32_t alarm = 0;
    int32_t randomdelay = 0;
    int32_t timeout = 0;
    int32_t tries = 0;
    std::optional<std::string> temppath{};  // absent: not set as a text
    std::string statusfile{};
    std::string statepath{};
    bool use_proxy = false;
    PlacedText proxy{};
    PlacedText proxy_auth{};
    PlacedText manifest{};
    bool deltas = false;  // patches, where a manifest vouches for them
    bool sandbox = true;  // the network side runs apart, unprivileged and confined
    std::string fetchuser{};
    PlacedText protocol{};
    PlacedText hosts{};
    std::string infofile{};
    // Absent when the protocol's sections lack its login or port: no
    // protocol this program knows.
    std::optional<ProtocolLogin> login{};
    std::string cafile{};
    int32_t pipeline = 1;                // requests sent ahead on one HTTP connection
    bool ftp_active = false;             // the ftp passive option, which reads "on" for PORT
    std::vector<std::string> modules{};  // the selected ones, in the section's order
    std::vector<PathPlaceholder> placeholders{};
};

Settings settings_read(Config &config);

// The options the command line sets over what the file said; a value set
// there was set on no line of a file.
enum class CommandOption {
    kProxyAuth,
    kProxy,
    kTries,
    kTimeout,
    kServerResponse,
    kVerbose,
    kUseProxy,
    kFtpPassive,
};
void settings_set_number(Config &config, CommandOption which, int32_t value);
void settings_set_text(Config &config, CommandOption which, const char *value);
// Selects the module; false when the configuration has none of that name.
bool settings_select_module(Config &config, const char *name);
