// Fuzz target of the configuration loader: arbitrary bytes as a
// configuration file, loaded, dumped and released.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "config/updconfig.h"

namespace {

char path[64];
FILE *sink;

void remove_input() {
    unlink(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The scanner echoes stray bytes to standard output; keep the fuzzer's
    // own report readable. Sanitizer reports go to standard error.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    sink = fopen("/dev/null", "w");
    snprintf(path, sizeof path, "/tmp/qavo-config-fuzz-%d.conf", static_cast<int>(getpid()));
    atexit(remove_input);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *file = fopen(path, "wb");
    if (file == nullptr) return 0;
    size_t written = fwrite(data, 1, size, file);
    fclose(file);
    if (written != size) return 0;

    Config *config = config_load(nullptr, path);
    if (config != nullptr && sink != nullptr) config_dump(sink, config);
    config_free(config);
    return 0;
}
