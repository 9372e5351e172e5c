// Fuzz target of the configuration loader: arbitrary bytes as a file, loaded, dumped and released.
#include <cstdint>
#include <cstdio>

#include "config/updconfig.h"
#include "fuzz/feed.h"

namespace {

FILE *sink;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The scanner echoes stray bytes to stdout and would bury the report; sanitizers use stderr.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    sink = fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = feed_file(data, size);
    if (path == nullptr) return 0;
    std::unique_ptr<Config> config = config_load(nullptr, path);
    if (config != nullptr && sink != nullptr) config_dump(sink, *config);
    return 0;
}
