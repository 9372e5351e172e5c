// URLs: percent escaping and decoding over one table of byte classes, and
// the parser and composer of the transfer plugins.
#include "transfer/url.h"

#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

char *escape(const char *text, unsigned char escaped_classes) {
    if (text == nullptr) return nullptr;
    size_t length = url_escaped_length(text);
    char *result = static_cast<char *>(malloc(length + 1));
    if (result == nullptr) return nullptr;
    static constexpr char kHex[] = "0123456789abcdef";
    char *out = result;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (kClasses[*p] & escaped_classes) {
            *out++ = '%';
            *out++ = kHex[*p >> 4];
            *out++ = kHex[*p & 15];
        } else {
            *out++ = static_cast<char>(*p);
        }
    }
    *out = '\0';
    return result;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return (tolower(c) - 'a') + 10;
}

}  // namespace

size_t url_escaped_length(const char *text) {
    size_t length = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++)
        length += kClasses[*p] != SAFE ? 3 : 1;
    return length;
}

char *url_escape(const char *text) {
    return escape(text, UNSAFE | RESERVED);
}

char *url_escape_path(const char *text) {
    return escape(text, UNSAFE);
}

char *url_unescape(const char *text) {
    if (text == nullptr) return nullptr;
    char *result = static_cast<char *>(malloc(strlen(text) + 1));
    if (result == nullptr) return nullptr;
    char *out = result;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        if (*p != '%') {
            *out++ = static_cast<char>(*p);
            continue;
        }
        if (!isxdigit(p[1]) || !isxdigit(p[2])) {
            free(result);
            return nullptr;
        }
        *out++ = static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2]));
        p += 2;
    }
    *out = '\0';
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
constexpr std::array<DefaultPort, 6> kDefaultPorts{{
    {"ftp", "tcp", 21},
    {"ftp", "udp", 21},
    {"ftp-data", "tcp", 20},
    {"ftp-data", "udp", 20},
    {"http", "tcp", 80},
    {"http", "udp", 80},
}};

char *copy_token(std::string_view token) {
    char *copy = static_cast<char *>(malloc(token.size() + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, token.data(), token.size());
    copy[token.size()] = '\0';
    return copy;
}

// Replaces *field by the decoded token. A malformed escape refuses the
// URL: dropping the field instead would silently change the login.
int set_decoded(char **field, std::string_view token) {
    char *raw = copy_token(token);
    if (raw == nullptr) return -1;
    char *decoded = url_unescape(raw);
    free(raw);
    if (decoded == nullptr) return -1;
    free(*field);
    *field = decoded;
    return 0;
}

int set_copy(char **field, std::string_view token) {
    char *copy = copy_token(token);
    if (copy == nullptr) return -1;
    free(*field);
    *field = copy;
    return 0;
}

int set_port(Url *url, std::string_view token) {
    char *digits = copy_token(token);
    if (digits == nullptr) return -1;
    long value = strtol(digits, nullptr, 10);
    free(digits);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    url->port = static_cast<int32_t>(value);
    return 0;
}

// The path is normalised while still escaped, then decoded.
int set_path(Url *url, std::string_view rest) {
    char *raw = copy_token(rest);
    if (raw == nullptr) return -1;
    normalize_path(raw);
    char *decoded = url_unescape(raw);
    free(raw);
    if (decoded == nullptr) return -1;
    free(url->path);
    url->path = decoded;
    return 0;
}

enum class ParseState { Scheme, Authority, AfterColon };

// One pass over the text; the mark is the start of the current token.
int walk(std::string_view text, Url *url) {
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
                if (c != ':' || text.substr(at + 1, 2) != "//") return -1;
                if (set_copy(&url->scheme, token) < 0) return -1;
                mark = at + 3;
                if (token == "file") return set_path(url, text.substr(mark));
                state = ParseState::Authority;
                at += 2;
                break;
            case ParseState::Authority:
                if (c >= 128) return -1;
                if (c == ':') {
                    pending = token;
                    mark = at + 1;
                    state = ParseState::AfterColon;
                } else if (c == '@') {
                    if (url->user != nullptr || set_decoded(&url->user, token) < 0) return -1;
                    mark = at + 1;
                } else if (c == '/' || end) {
                    if (set_copy(&url->host, token) < 0) return -1;
                    return end ? 0 : set_path(url, text.substr(at + 1));
                }
                break;
            case ParseState::AfterColon:
                if (c >= 128) return -1;
                if (c == '@') {
                    if (set_decoded(&url->user, pending) < 0) return -1;
                    if (set_decoded(&url->password, token) < 0) return -1;
                    mark = at + 1;
                    state = ParseState::Authority;
                } else if (c == '/' || end) {
                    if (set_copy(&url->host, pending) < 0 || set_port(url, token) < 0) return -1;
                    return end ? 0 : set_path(url, text.substr(at + 1));
                }
                break;
        }
    }
    return -1;  // not reached: the end of the text ends every state
}

int set_default_port(Url *url) {
    for (const DefaultPort &row : kDefaultPorts) {
        if (strcmp(row.name, url->scheme) == 0 && strcmp(row.protocol, "tcp") == 0) {
            url->port = row.port;
            return 0;
        }
    }
    const servent *service = getservbyname(url->scheme, "tcp");
    if (service == nullptr) return -1;
    url->port = ntohs(static_cast<uint16_t>(service->s_port));
    return 0;
}

void release_parsed(Url *url) {
    for (char **field : {&url->scheme, &url->user, &url->password, &url->host, &url->path}) {
        free(*field);
        *field = nullptr;
    }
}

}  // namespace

Url *url_new() {
    return static_cast<Url *>(calloc(1, sizeof(Url)));
}

int url_parse(const char *text, Url *url) {
    if (text == nullptr || url == nullptr) return -1;
    *url = Url{};
    int result = walk(text, url);
    if (result == 0 && url->path == nullptr) result = set_copy(&url->path, "/");
    if (result == 0 && url->port < 1 && strcmp(url->scheme, "file") != 0)
        result = set_default_port(url);
    if (result < 0) {
        release_parsed(url);
        return -1;
    }
    return 0;
}

char *url_compose(const Url *url) {
    if (url == nullptr || url->scheme == nullptr || url->host == nullptr ||
        url->directory == nullptr || url->path == nullptr)
        return nullptr;
    char *user = url->user != nullptr ? url_escape(url->user) : nullptr;
    char *password = url->password != nullptr ? url_escape(url->password) : nullptr;
    char *directory = url_escape_path(url->directory);
    char *path = url_escape_path(url->path);
    char *result = nullptr;
    bool escaped = (url->user == nullptr || user != nullptr) &&
                   (url->password == nullptr || password != nullptr) && directory != nullptr &&
                   path != nullptr;
    if (escaped) {
        // Everything up to the slash after the port; the rest is normalised.
        auto prefix = [&](char *out, size_t room) {
            if (user != nullptr && password != nullptr)
                return snprintf(out, room, "%s://%s:%s@%s:%d/", url->scheme, user, password,
                                url->host, url->port);
            if (user != nullptr)
                return snprintf(out, room, "%s://%s@%s:%d/", url->scheme, user, url->host,
                                url->port);
            return snprintf(out, room, "%s://%s:%d/", url->scheme, url->host, url->port);
        };
        const char *base = path[0] == '/' ? "" : directory;
        int prefix_length = prefix(nullptr, 0);
        size_t base_length = strlen(base);
        size_t path_length = strlen(path);
        if (prefix_length >= 0)
            result = static_cast<char *>(malloc(prefix_length + base_length + path_length + 2));
        if (result != nullptr) {
            prefix(result, prefix_length + 1);
            char *tail = result + prefix_length;
            memcpy(tail, base, base_length);
            tail[base_length] = '/';
            memcpy(tail + base_length + 1, path, path_length + 1);
            normalize_path(tail);
        }
    }
    free(user);
    free(password);
    free(directory);
    free(path);
    return result;
}

int url_free(Url *url) {
    if (url == nullptr) return -1;
    for (char *field :
         {url->host, url->scheme, url->directory, url->user, url->password, url->path})
        free(field);
    free(url);
    return 0;
}
