// Fuzz target of the patch index parser: arbitrary bytes as a downloaded <catalogue>.delta. One
// spelling per index, so whatever the parser accepts the writer must give back byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "integrity/delta_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    DeltaIndex index;
    if (!delta_index_parse(text, index).empty()) {
        if (index.signed_length != 0) abort();  // refused: nothing said to be signed
        return 0;
    }
    const std::string body = delta_index_body(index);
    if (index.signed_length != body.size() || text.substr(0, body.size()) != body ||
        text.substr(body.size()) != manifest_signature_line(index.keyid, index.signature))
        abort();
    for (const DeltaPatch &patch : index.patches) {
        if (delta_index_find(index, patch.sitepath, patch.base, patch.target) != &patch) abort();
    }
    return 0;
}
