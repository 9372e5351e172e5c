// Resolving a Location against the URL it answered, and the checks that
// decide whether it is followed. A refusal shows the location without any
// login, escaped and cut short: an error line never carries a credential,
// a byte that would upset a terminal, or a server's text without bound.
#include "transfer/redirect.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::string_view kInvalid = "not a valid location";

// Blanks, control bytes and bytes above ASCII as %XX escapes.
std::string escape_blanks(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string result;
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if (c > ' ' && c < 0x7f) {
            result += byte;
        } else {
            result += '%';
            result += kHex[c >> 4];
            result += kHex[c & 15];
        }
    }
    return result;
}

std::string refused(std::string_view location, std::string_view why) {
    std::string shown = escape_blanks(location);
    if (shown.size() > kRedirectShownLimit) shown = shown.substr(0, kRedirectShownLimit) + "...";
    return "redirect to " + shown + " refused: " + std::string(why);
}

// A location as it came, without the user information of its authority.
std::string without_login(std::string_view location) {
    std::string text(location);
    const size_t authority = text.find("//");
    if (authority == std::string::npos || (authority > 0 && text[authority - 1] != ':'))
        return text;
    const size_t end = text.find_first_of("/?#", authority + 2);
    const size_t at = text.substr(0, end).rfind('@');
    if (at != std::string::npos && at > authority) text.erase(authority + 2, at - authority - 1);
    return text;
}

// The scheme of an absolute location, in lower case; empty for a relative one.
std::string scheme_of(std::string_view location) {
    if (location.empty() || !isalpha(static_cast<unsigned char>(location[0]))) return {};
    for (size_t at = 1; at < location.size(); at++) {
        const auto c = static_cast<unsigned char>(location[at]);
        if (c == ':') {
            std::string scheme(location.substr(0, at));
            for (char &letter : scheme) letter = static_cast<char>(tolower(letter));
            return scheme;
        }
        if (!isalnum(c) && c != '+' && c != '-' && c != '.') return {};
    }
    return {};
}

// A name or address that a connection and a Host header can take as it is.
bool plain_host(const std::string &host) {
    if (host.empty()) return false;
    for (const char byte : host) {
        const auto c = static_cast<unsigned char>(byte);
        if (!isalnum(c) && std::string_view("-._[]:").find(byte) == std::string_view::npos)
            return false;
    }
    return true;
}

// The absolute form of a location that is no absolute URL itself.
std::string absolute_of(const Url &from, std::string_view location) {
    if (location.starts_with("//")) return from.scheme + ":" + std::string(location);
    Url origin = from;
    origin.path.clear();
    origin.query.clear();
    std::string result = url_text(origin, false);
    result.pop_back();  // the slash before the path
    if (location.starts_with('/')) return result + std::string(location);
    // A configured URL keeps its query in the path.
    std::string path = "/" + url_escape_path(from.path);
    if (!from.query.empty()) path += "?" + from.query;
    if (location.empty()) return result + path;
    path.resize(std::min(path.size(), path.find('?')));
    if (location.starts_with('?')) return result + path + std::string(location);
    return result + path.substr(0, path.rfind('/') + 1) + std::string(location);
}

}  // namespace

bool redirect_status(int32_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string redirect_resolve(const Url &from, std::string_view location, Url &to) {
    to = Url{};
    // Blanks around the value are no part of it; a fragment never goes to a server.
    while (!location.empty() && (location.front() == ' ' || location.front() == '\t'))
        location.remove_prefix(1);
    while (!location.empty() && (location.back() == ' ' || location.back() == '\t'))
        location.remove_suffix(1);
    location = location.substr(0, location.find('#'));
    for (const char byte : location) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < ' ' || c == 0x7f) return refused(without_login(location), kInvalid);
    }
    const std::string scheme = scheme_of(location);
    if (!scheme.empty() && scheme != "http" && scheme != "https")
        return refused(without_login(location), "only http:// and https:// locations are followed");
    std::string absolute = scheme.empty() ? absolute_of(from, location)
                                          : scheme + std::string(location.substr(scheme.size()));

    // The query goes on as it came (blanks escaped): decoding it could change what it says.
    const size_t mark = absolute.find('?');
    const std::string query = mark == std::string::npos ? "" : absolute.substr(mark + 1);
    if (mark != std::string::npos) absolute.resize(mark);
    if (!url_parse(absolute, to) || !to.host || !plain_host(*to.host) || to.port <= 0 ||
        to.port > UINT16_MAX) {
        to = Url{};
        return refused(without_login(location), kInvalid);
    }
    // The login of a location is never used, and dot segments cannot climb above the root.
    to.user.reset();
    to.password.reset();
    while (to.path.starts_with("../") || to.path.starts_with("./"))
        to.path.erase(0, to.path.find('/') + 1);
    if (to.path == ".." || to.path == ".") to.path.clear();
    to.query = escape_blanks(query);
    if (from.scheme == "https" && to.scheme == "http")
        return refused(url_text(to, false), "it leaves https:// for http://");
    return {};
}

std::string redirect_too_many(const Url &to) {
    return refused(url_text(to, false),
                   "more than " + std::to_string(kRedirectHops) + " redirects");
}
