// Fuzzes the path normaliser: it must never lengthen a path, its result holds no empty or "."
// component beyond the first, and normalising that result again changes nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t before = strlen(text.c_str());
    normalize_path(text);
    const char *path = text.c_str();
    size_t after = strlen(path);
    if (after > before) abort();
    if (before > 0 && after == 0) abort();
    // Repeated slashes survive only as a leading "//".
    if (after > 1 && strstr(path + 1, "//") != nullptr) abort();
    if (strstr(path, "/./") != nullptr) abort();
    if (after > 1 && strcmp(path + after - 2, "/.") == 0) abort();
    // What comes out is normal: a second pass (mostly the short cut for normal paths) keeps it.
    std::string again(path);
    normalize_path(again);
    if (again != path) abort();
    return 0;
}
