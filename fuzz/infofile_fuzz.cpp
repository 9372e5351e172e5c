// Fuzz target of the information-file loader: arbitrary bytes as a
// decompressed catalogue, loaded into records and released.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/context.h"
#include "fuzz/feed.h"
#include "infofile/infofile.h"
#include "infofile/record_ops.h"

namespace {

ErrorRecord error;
int error_events;

int count_errors(RunState *, UiEvent *event) {
    if (event->code == UI_ERROR) error_events++;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The scanner echoes stray bytes to standard output; keep the fuzzer's
    // own report readable. Sanitizer reports go to standard error.
    if (freopen("/dev/null", "w", stdout) == nullptr) perror("freopen");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = feed_file(data, size);
    if (path == nullptr) return 0;
    EngineContext context{};
    context.run_state = reinterpret_cast<RunState *>(&error_events);
    context.ui_event = count_errors;
    context.error = &error;
    error = ErrorRecord{};
    error_events = 0;

    InfoRecord *info = update_get_information(&context, path);
    // A loaded catalogue is whole and silent; a refused one says so once.
    if (info != nullptr) {
        if (info->update_file == nullptr || info->kit == nullptr || error_events != 0) abort();
        if (info_free(&context, info) != 0) abort();
    } else if (error_events != 1 || error.class_ != ERR_UPDATE || error.code != UPD_PARSER) {
        abort();
    }
    return 0;
}
