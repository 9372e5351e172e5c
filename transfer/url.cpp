// Percent escaping and decoding over one table of byte classes.
#include "transfer/url.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

char *url_escape(const char *text) { return escape(text, UNSAFE | RESERVED); }

char *url_escape_path(const char *text) { return escape(text, UNSAFE); }

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
