// URLs: the parsed form, parsing and composing, and percent escaping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct Url {
    // Absent for file://; an IPv6 literal is held without its brackets.
    std::optional<std::string> host;
    int32_t port = 0;
    std::string scheme;
    std::optional<std::string> directory;  // set by the plugin that composes
    // Absent and empty differ: "ftp://@host" gives an empty user.
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::string path;
    // After the '?' of a redirect's Location, escaped as it came; the
    // configured URLs keep any '?' in their path.
    std::string query;
};

// Parses the text: false (the record left empty) when it is no URL we take.
bool url_parse(std::string_view text, Url &url);
// The absolute URL of url.path below url.directory; absent without host or
// directory.
std::optional<std::string> url_compose(const Url &url);
// scheme://[login@]host:port/path?query of a URL whose path runs from the
// root (a parsed one): the login only when asked for.
std::string url_text(const Url &url, bool with_login);
// The Host header of a request for the URL: the host (an IPv6 literal in
// brackets), and ":port" unless the port is the scheme's default, since
// servers build their redirections from it.
std::string url_host_header(const Url &url);

// A port as written after a host's ':': one to five decimal digits naming 1
// to 65535; absent for anything else.
std::optional<uint16_t> url_port(std::string_view digits);
// Why the text is no proxy URL that can be used ("" when it is one): an
// http:// URL with a host, a port from 1 to 65535 when it gives one, and
// any '@' of its login escaped.
std::string url_proxy_problem(std::string_view text);
// The text as a message may show it: whatever follows the user of its
// login, up to the last '@', masked.
std::string url_masked(std::string_view text);

// The URL when it has a host and a port that a TCP connection can use:
// another port would be cut to 16 bits and reach some other service.
std::optional<Url> url_connectable(const std::string &text);

std::string url_escape(std::string_view text);
std::string url_escape_path(std::string_view text);
// Absent for a malformed escape.
std::optional<std::string> url_unescape(std::string_view text);
size_t url_escaped_length(std::string_view text);
