// Fuzz target of the kept copy's head: arbitrary bytes as the start of a file in the state
// directory. A head taken lies within the bytes and the file, with validators fit for a request.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/kept_copy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    KeptCopy kept{"http://mirror:80/pub/qavo/qavoe.info", "", "", false};
    const auto file_size = static_cast<off_t>(size);  // a file no longer than its first read
    off_t body = -1;
    const size_t head = kept_parse_head(
        std::string_view(reinterpret_cast<const char *>(data), size), file_size, kept, body);
    if (head == 0) return 0;
    if (head > size || head > kKeptHeadLimit || body != file_size - static_cast<off_t>(head) ||
        (!kept.etag.empty() && !validator_acceptable(kept.etag)) ||
        (!kept.last_modified.empty() && !validator_acceptable(kept.last_modified)))
        abort();
    return 0;
}
