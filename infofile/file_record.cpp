// File records: creation, the comparators that order a module's files, the
// digest and installability tests, and release with the temporary copy.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/notify.h"
#include "infofile/record_ops.h"

namespace {

const FileRecord *file_in_slot(const void *slot) {
    if (slot == nullptr) return nullptr;
    return *static_cast<const FileRecord *const *>(slot);
}

}  // namespace

FileRecord *file_new() {
    return static_cast<FileRecord *>(calloc(1, sizeof(FileRecord)));
}

int file_compar(const void *a, const void *b) {
    const FileRecord *left = file_in_slot(a);
    if (left == nullptr || left->sitepath == nullptr) return -1;
    const FileRecord *right = file_in_slot(b);
    if (right == nullptr || right->sitepath == nullptr) return 1;
    return strcmp(left->sitepath, right->sitepath);
}

int file_order_compar(const void *a, const void *b) {
    if (a == b) return 0;
    const FileRecord *left = file_in_slot(a);
    if (left == nullptr) return 1;
    const FileRecord *right = file_in_slot(b);
    if (right == nullptr) return -1;
    // The difference of two 32-bit orders may not fit an int; only its sign
    // matters to the sort.
    int64_t difference = static_cast<int64_t>(left->order) - right->order;
    if (difference > INT32_MAX) return INT32_MAX;
    if (difference < INT32_MIN) return INT32_MIN;
    return static_cast<int>(difference);
}

int file_md5_missing(const FileRecord *file) {
    if (file == nullptr) return -1;
    for (uint8_t byte : file->md5) {
        if (byte != 0) return 0;
    }
    return 1;
}

int file_is_installable(const FileRecord *file) {
    if (file == nullptr) return 0;
    return file->localpath == nullptr || file->localpath[0] != '\0' ? 1 : 0;
}

int file_free(EngineContext *context, FileRecord *file) {
    if (file == nullptr) return -1;
    int result = 0;
    if (file->tempfile != nullptr) {
        int answer = notify_file(context, UI_REMOVE_FILE, file);
        if (answer == 0) {
            unlink(file->tempfile);
        } else if (answer != 1) {
            result = answer;
        }
    }
    free(file->tempfile);
    free(file->sitepath);
    free(file->localpath);
    free(file);
    return result;
}
