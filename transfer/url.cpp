// URLs: percent escaping and decoding over one table of byte classes, and
// the parser and composer of the transfer plugins.
#include "transfer/url.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "support/connect.h"
#include "support/path.h"

namespace {

enum CharClass : unsigned char { SAFE = 0, UNSAFE = 1, RESERVED = 2 };

constexpr std::array<unsigned char, 256> make_classes() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c <= 32; c++) table[c] = UNSAFE;
    for (int c = 128; c < 256; c++) table[c] = UNSAFE;
    for (unsigned char c : std::string_view("\"#%'<>[\\]^{|}~")) table[c] = UNSAFE;
    for (unsigned char c : std::string_view("&/:;=?@")) table[c] = RESERVED;
    return table;
}

constexpr std::array<unsigned char, 256> kClasses = make_classes();

// The text up to its first NUL, as the C strings of the protocols end.
std::string_view c_text(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

std::string escape(std::string_view text, unsigned char escaped_classes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string result;
    text = c_text(text);
    result.reserve(url_escaped_length(text));
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if (kClasses[c] & escaped_classes) {
            result += '%';
            result += kHex[c >> 4];
            result += kHex[c & 15];
        } else {
            result += byte;
        }
    }
    return result;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (tolower(c) - 'a') + 10;
}

}  // namespace

size_t url_escaped_length(std::string_view text) {
    size_t length = 0;
    for (const char byte : c_text(text))
        length += kClasses[static_cast<unsigned char>(byte)] != SAFE ? 3 : 1;
    return length;
}

std::string url_escape(std::string_view text) {
    return escape(text, UNSAFE | RESERVED);
}

std::string url_escape_path(std::string_view text) {
    return escape(text, UNSAFE);
}

std::optional<std::string> url_unescape(std::string_view text) {
    text = c_text(text);
    std::string result;
    result.reserve(text.size());
    for (size_t at = 0; at < text.size(); at++) {
        if (text[at] != '%') {
            result += text[at];
            continue;
        }
        if (at + 2 >= text.size()) return std::nullopt;
        const auto high = static_cast<unsigned char>(text[at + 1]);
        const auto low = static_cast<unsigned char>(text[at + 2]);
        if (!isxdigit(high) || !isxdigit(low)) return std::nullopt;
        result += static_cast<char>(hex_value(high) * 16 + hex_value(low));
        at += 2;
    }
    return result;
}

// Parsing and composing.

namespace {

struct DefaultPort {
    const char *name;
    const char *protocol;
    int32_t port;
};

// Asked before the services database, so that the usual schemes work on
// systems whose database is missing or incomplete.
constexpr std::array<DefaultPort, 7> kDefaultPorts{{
    {"ftp", "tcp", 21},
    {"ftp", "udp", 21},
    {"ftp-data", "tcp", 20},
    {"ftp-data", "udp", 20},
    {"http", "tcp", 80},
    {"http", "udp", 80},
    {"https", "tcp", 443},
}};

// Sets the field to the decoded token. A malformed escape refuses the
// URL: dropping the field instead would silently change the login.
bool set_decoded(std::optional<std::string> &field, std::string_view token) {
    field = url_unescape(token);
    return field.has_value();
}

void set_port(Url &url, std::string_view token) {
    const std::string digits(token);
    long value = strtol(digits.c_str(), nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    url.port = static_cast<int32_t>(value);
}

// The path is normalised while still escaped, then decoded.
bool set_path(Url &url, std::string_view rest) {
    std::string raw(rest);
    normalize_path(raw);
    std::optional<std::string> decoded = url_unescape(raw);
    if (!decoded) return false;
    url.path = std::move(*decoded);
    return true;
}

// An IPv6 literal in brackets at text[at], then ":port", "/path" or the
// end. Whatever else follows, or anything but an address inside, refuses
// the URL: a half-read host would reach some other machine.
bool take_bracketed(std::string_view text, size_t at, Url &url, bool &has_path) {
    const size_t close = text.find(']', at);
    if (close == std::string_view::npos) return false;
    const std::string_view literal = text.substr(at + 1, close - at - 1);
    if (literal.find(':') == std::string_view::npos ||
        literal.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
        return false;
    url.host = std::string(literal);
    const std::string_view rest = text.substr(close + 1);
    const size_t slash = rest.find('/');
    const std::string_view port = rest.substr(0, slash);
    if (!port.empty()) {
        if (port[0] != ':' || port.find_first_not_of("0123456789", 1) != std::string_view::npos)
            return false;
        set_port(url, port.substr(1));
    }
    has_path = slash != std::string_view::npos;
    return !has_path || set_path(url, rest.substr(slash + 1));
}

// A host outside brackets holds none.
bool set_host(Url &url, std::string_view token) {
    url.host = std::string(token);
    return token.find_first_of("[]") == std::string_view::npos;
}

enum class ParseState { Scheme, Authority, AfterColon };

// One pass over the text; the mark is the start of the current token.
// Whether a path was given comes back in `has_path`.
bool walk(std::string_view text, Url &url, bool &has_path) {
    ParseState state = ParseState::Scheme;
    size_t mark = 0;
    std::string_view pending;
    for (size_t at = 0; at <= text.size(); at++) {
        bool end = at == text.size();
        unsigned char c = end ? 0 : static_cast<unsigned char>(text[at]);
        std::string_view token = text.substr(mark, at - mark);
        switch (state) {
            case ParseState::Scheme:
                if (isalpha(c)) break;
                if (c != ':' || text.substr(at + 1, 2) != "//") return false;
                url.scheme = token;
                mark = at + 3;
                has_path = true;
                if (token == "file") return set_path(url, text.substr(mark));
                has_path = false;
                state = ParseState::Authority;
                at += 2;
                break;
            case ParseState::Authority:
                if (c >= 128) return false;
                if (c == '[' && at == mark) return take_bracketed(text, at, url, has_path);
                if (c == ':') {
                    pending = token;
                    mark = at + 1;
                    state = ParseState::AfterColon;
                } else if (c == '@') {
                    if (url.user || !set_decoded(url.user, token)) return false;
                    mark = at + 1;
                } else if (c == '/' || end) {
                    has_path = !end;
                    return set_host(url, token) && (end || set_path(url, text.substr(at + 1)));
                }
                break;
            case ParseState::AfterColon:
                if (c >= 128) return false;
                if (c == '@') {
                    if (!set_decoded(url.user, pending) || !set_decoded(url.password, token))
                        return false;
                    mark = at + 1;
                    state = ParseState::Authority;
                } else if (c == '/' || end) {
                    set_port(url, token);
                    has_path = !end;
                    return set_host(url, pending) && (end || set_path(url, text.substr(at + 1)));
                }
                break;
        }
    }
    return false;  // not reached: the end of the text ends every state
}

bool set_default_port(Url &url) {
    for (const DefaultPort &row : kDefaultPorts) {
        if (url.scheme == row.name && std::string_view(row.protocol) == "tcp") {
            url.port = row.port;
            return true;
        }
    }
    const servent *service = getservbyname(url.scheme.c_str(), "tcp");
    if (service == nullptr) return false;
    url.port = ntohs(static_cast<uint16_t>(service->s_port));
    return true;
}

}  // namespace

bool url_parse(std::string_view text, Url &url) {
    url = Url{};
    bool has_path = false;
    bool parsed = walk(c_text(text), url, has_path);
    if (parsed && !has_path) url.path = "/";
    if (parsed && url.port < 1 && url.scheme != "file") parsed = set_default_port(url);
    if (!parsed) url = Url{};
    return parsed;
}

std::optional<uint16_t> url_port(std::string_view digits) {
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    uint32_t port = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (port < 1 || port > UINT16_MAX) return std::nullopt;
    return static_cast<uint16_t>(port);
}

std::string url_proxy_problem(std::string_view text) {
    constexpr std::string_view kHttp = "http://";
    if (!text.starts_with(kHttp)) return "it must begin with http://";
    const std::string_view authority =
        text.substr(kHttp.size(), text.find('/', kHttp.size()) - kHttp.size());
    if (std::count(authority.begin(), authority.end(), '@') > 1)
        return "an '@' in the user or password must be written %40";
    Url url;
    if (!url_parse(text, url)) return "it is no URL";
    if (!url.host || url.host->empty()) return "it names no host";
    // Checked as written: the parser reads a port as atoi does, and takes 0
    // for the scheme's default.
    const std::string_view host = authority.substr(authority.rfind('@') + 1);
    const size_t colon = host.find(':', host.starts_with('[') ? host.find(']') : 0);
    if (colon == std::string_view::npos) return "";
    return url_port(host.substr(colon + 1)) ? "" : "the port must be a number from 1 to 65535";
}

std::string url_masked(std::string_view text) {
    const size_t scheme = text.find("://");
    const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const size_t at = text.rfind('@');
    if (at == std::string_view::npos || at < start) return std::string(text);
    // An unescaped ':' or '@' may sit anywhere in a password: only what
    // comes before the first of them is shown.
    const std::string_view login = text.substr(start, at - start);
    const std::string_view user = login.substr(0, login.find_first_of(":@"));
    return std::string(text.substr(0, start)) + std::string(user) +
           (user.size() < login.size() ? ":***" : "") + std::string(text.substr(at));
}

namespace {

// scheme://[login@]host:port/
std::string origin_text(const Url &url, bool with_login) {
    std::string result = url.scheme + "://";
    if (with_login && url.user) {
        result += url_escape(*url.user);
        if (url.password) result += ":" + url_escape(*url.password);
        result += "@";
    }
    return result + bracket_host(url.host.value_or("")) + ":" + std::to_string(url.port) + "/";
}

}  // namespace

std::string url_text(const Url &url, bool with_login) {
    // "/" is the parser's path of a URL that gave none.
    std::string result =
        origin_text(url, with_login) + url_escape_path(url.path == "/" ? "" : url.path);
    return url.query.empty() ? result : result + "?" + url.query;
}

std::string url_host_header(const Url &url) {
    std::string result = bracket_host(url.host.value_or(""));
    Url scheme_only;
    scheme_only.scheme = url.scheme;
    if (!set_default_port(scheme_only) || scheme_only.port != url.port)
        result += ":" + std::to_string(url.port);
    return result;
}

std::optional<std::string> url_compose(const Url &url) {
    if (!url.host || !url.directory) return std::nullopt;
    // Everything up to the slash after the port; the rest is normalised.
    std::string result = origin_text(url, true);
    const std::string path = url_escape_path(url.path);
    std::string tail = path.starts_with('/') ? "" : url_escape_path(*url.directory);
    tail += "/" + path;
    normalize_path(tail);
    return result + tail;
}

std::optional<Url> url_connectable(const std::string &text) {
    Url url;
    if (!url_parse(text, url) || !url.host || url.port <= 0 || url.port > UINT16_MAX)
        return std::nullopt;
    return url;
}
