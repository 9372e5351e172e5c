// Fuzzes the URL parser and composer (and the two in a round), and the percent decoder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transfer/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const std::string input = text.c_str();  // stops at an embedded NUL, as a C caller would

    const std::optional<std::string> decoded = url_unescape(text);
    if (decoded && decoded->size() > input.size()) abort();
    if (url_escape(text).size() != url_escaped_length(text)) abort();

    Url url;
    if (url_parse(text, url)) {
        if (url.scheme != "file" && (!url.host || url.port < 1)) abort();
        url.directory = "pub/../base";
        const std::string composed = url_compose(url).value_or("");
        Url again;  // what is composed parses back to the same place, brackets and all
        if (url.host &&
            (!url_parse(composed, again) || again.host != url.host || again.port != url.port))
            abort();
    } else if (!url.scheme.empty() || url.host || !url.path.empty() || url.user || url.password) {
        abort();  // a refused URL keeps nothing
    }
    return 0;
}
