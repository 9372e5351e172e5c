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

// A new record with every field absent or 0; null when out of memory.
Url *url_new();
// Fills a fresh record (from url_new: what it held is not released).
int url_parse(const char *text, Url *url);
// The absolute URL of url->path below url->directory; the caller frees it.
char *url_compose(const Url *url);
int url_free(Url *url);

char *url_escape(const char *text);
char *url_escape_path(const char *text);
char *url_unescape(const char *text);
size_t url_escaped_length(const char *text);
