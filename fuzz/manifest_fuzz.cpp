// Fuzz target of the manifest parser: arbitrary bytes as a downloaded <catalogue>.sig. The parser
// knows one spelling per manifest, so whatever it accepts the writer must give back byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "integrity/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    Manifest manifest;
    if (!manifest_parse(text, manifest).empty()) {
        if (manifest.signed_length != 0) abort();  // refused: nothing said to be signed
        return 0;
    }
    const std::string body = manifest_body(manifest);
    if (manifest.signed_length != body.size() || text.substr(0, body.size()) != body ||
        text.substr(body.size()) != manifest_signature_line(manifest.keyid, manifest.signature))
        abort();
    return 0;
}
