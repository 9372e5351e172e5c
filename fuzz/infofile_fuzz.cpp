// Fuzzes the information-file loader: any bytes as a decompressed catalogue, loaded and released.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/io.h"
#include "fuzz/feed.h"
#include "infofile/infofile.h"

namespace {

struct ErrorCount : SilentEvents {
    int errors = 0;
    void error(const ErrorRecord &) override { errors++; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The scanner echoes stray bytes to stdout and would bury the report; sanitizers use stderr.
    if (freopen("/dev/null", "w", stdout) == nullptr) perror("freopen");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = feed_file(data, size);
    if (path == nullptr) return 0;
    ErrorCount events;
    Io io;
    io.events = &events;

    const auto info = update_get_information(io, path);
    // A loaded catalogue is whole and silent; a refused one says so once.
    if (info != nullptr) {
        if (info->update_file == nullptr || info->kit == nullptr || events.errors != 0) abort();
    } else if (events.errors != 1 || io.error.class_ != ERR_UPDATE || io.error.code != UPD_PARSER) {
        abort();
    }
    return 0;
}
