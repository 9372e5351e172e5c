// URLs: the parsed form, parsing and composing, and percent escaping.
#pragma once

#include <cstddef>
#include <cstdint>

struct Url {
    char *host;
    int32_t port;
    char *scheme;
    char *directory;
    char *user;
    char *password;
    char *path;
};

char *url_escape(const char *text);
char *url_escape_path(const char *text);
char *url_unescape(const char *text);
size_t url_escaped_length(const char *text);
