// The file plugin: serves file:// URLs by copying from the mirror directory
// into the temporary copy, resuming from the copy's real size on disk.
#include "transfer/file_plugin.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/error.h"
#include "core/notify.h"
#include "core/records.h"
#include "support/copy_loop.h"
#include "support/data_io.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "support/temp_copy.h"
#include "transfer/plugin.h"

namespace {

constexpr std::string_view kFileScheme = "file://";

void *file_open(EngineContext *context) {
    if (context == nullptr || context->info_url == nullptr) return nullptr;
    std::string_view url = context->info_url;
    if (!url.starts_with(kFileScheme)) return nullptr;
    // dirname may write into its argument and may return static storage, so
    // it works on a scratch copy and its answer is copied again.
    char *path = strdup(context->info_url + kFileScheme.size());
    if (path == nullptr) return nullptr;
    char *base = strdup(dirname(path));
    free(path);
    if (base == nullptr) return nullptr;
    auto *source = static_cast<FileSource *>(calloc(1, sizeof(FileSource)));
    if (source == nullptr) {
        free(base);
        return nullptr;
    }
    source->base = base;
    source->context = context;
    return source;
}

int file_close(void *handle) {
    auto *source = static_cast<FileSource *>(handle);
    if (source == nullptr) return -1;
    free(source->base);
    free(source);
    return 0;
}

// One attempt. The copy is continued from its size on disk rather than from
// `received`, since an earlier attempt of this run may have added to it.
int copy_from_mirror(FileSource *source, const char *from, FileRecord *file,
                     TempCopy *destination) {
    EngineContext *context = source->context;
    budget_spend(&source->budget);
    if (copy_open(context, file, CopyUse::kResume, destination) < 0)
        return copy_report(context, destination);
    const off_t start = destination->held;
    struct stat info;
    if (stat(from, &info) < 0) return record_error(context, ERR_FILE_SYSCALL, "stat");
    // A copy longer than the source cannot be a prefix of it; the engine
    // empties it between runs.
    if (start > info.st_size) return -1;
    Descriptor origin{open(from, O_RDONLY | O_CLOEXEC)};
    if (origin.fd < 0) return record_error(context, ERR_FILE_SYSCALL, "open");
    if (start != 0 && lseek(origin.fd, start, SEEK_SET) < 0)
        return record_error(context, ERR_FILE_SYSCALL, "lseek");
    // Counted from the size the source has now: it may grow while we read.
    // A source beyond what a count can hold is simply too large.
    const auto available = static_cast<uint64_t>(info.st_size - start);
    uint32_t remaining =
        available < kTransferAll ? static_cast<uint32_t>(available) : kTransferAll - 1;
    return copy_receive(context, destination, origin.fd, &remaining, file_read);
}

int file_get(FileRecord *file, void *handle, TempCopy *copy) {
    auto *source = static_cast<FileSource *>(handle);
    if (file == nullptr || source == nullptr || source->base == nullptr) return -1;
    if (file->sitepath == nullptr || file->tempfile == nullptr) return -1;
    EngineContext *context = source->context;
    if (source->announced == 0) {
        source->announced = 1;
        if (notify_peers(context, UI_CONNECTING, "localhost", 0, "localhost", 0) < 0) return -1;
    }
    if (notify_file(context, UI_PROGRESS, file) < 0) return -1;
    int length = snprintf(nullptr, 0, "%s/%s", source->base, file->sitepath);
    if (length < 0) return -1;
    char *from = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (from == nullptr) return -1;
    snprintf(from, static_cast<size_t>(length) + 1, "%s/%s", source->base, file->sitepath);
    normalize_path(from);

    source->budget = budget_start(context);
    int result = -1;
    for (;;) {
        if (source->budget.used != 0)
            notify_counts(context, UI_RETRY, source->budget.used, budget_limit(source->budget));
        if (budget_file_may_attempt(source->budget))
            result = copy_from_mirror(source, from, file, copy);
        if (result == 0 || !budget_file_may_attempt(source->budget)) break;
    }
    free(from);
    if (result != 0) return -1;
    return notify(context, UI_TRANSFER_DONE);
}

}  // namespace

const Plugin file_plugin{"file", file_open, file_close, file_get};
