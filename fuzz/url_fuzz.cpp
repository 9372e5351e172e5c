// Fuzzes the URL parser and composer, and the percent decoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transfer/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *input = text.c_str();  // stops at an embedded NUL, as a C caller would

    char *decoded = url_unescape(input);
    if (decoded != nullptr && strlen(decoded) > strlen(input)) abort();
    free(decoded);

    Url *url = url_new();
    if (url == nullptr) return 0;
    if (url_parse(input, url) == 0) {
        if (url->scheme == nullptr || url->path == nullptr) abort();
        if (strcmp(url->scheme, "file") != 0 && (url->host == nullptr || url->port < 1)) abort();
        url->directory = strdup("pub/../base");
        char *composed = url_compose(url);
        if (url->host != nullptr && url->directory != nullptr && composed == nullptr) abort();
        free(composed);
    } else if (url->scheme != nullptr || url->host != nullptr || url->path != nullptr ||
               url->user != nullptr || url->password != nullptr) {
        abort();  // a refused URL keeps nothing
    }
    url_free(url);
    return 0;
}
