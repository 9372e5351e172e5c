// Temporary copies, the decision whether a listed file must be fetched, and
// the fetch through the run's transfer plugin with verification afterwards.
#include "engine/fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/events.h"
#include "core/notify.h"
#include "integrity/md5.h"
#include "integrity/rsa.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "support/temp_copy.h"
#include "transfer/plugin.h"

// The same key maps to the same name in every run, which is what lets a
// run resume a copy (or find a record) that an earlier one left.
char *engine_temp_name(const char *temp_dir, const char *key, const char *suffix) {
    uint8_t digest[kMd5DigestSize];
    Md5Context md5;
    md5_init(&md5);
    md5_update(&md5, key, static_cast<uint32_t>(strlen(key)));
    md5_final(digest, &md5);
    char hex[kMd5HexSize];
    md5_hex(hex, digest);
    size_t size = strlen(temp_dir) + 1 + kMd5HexSize + strlen(suffix);
    char *name = static_cast<char *>(malloc(size));
    if (name == nullptr) return nullptr;
    snprintf(name, size, "%s/%s%s", temp_dir, hex, suffix);
    normalize_path(name);
    return name;
}

namespace {

// Whether the whole of an open copy has the listed digest.
bool copy_matches(const TempCopy &copy, const uint8_t *md5) {
    uint8_t digest[kMd5DigestSize];
    return lseek(copy.fd, 0, SEEK_SET) == 0 && md5_fd(copy.fd, digest, copy.held) == 0 &&
           memcmp(digest, md5, kMd5DigestSize) == 0;
}

// Inspects a copy of our own: kept when it already has the listed digest,
// emptied otherwise. A copy of a file without digest never qualifies.
int reuse_or_empty(EngineContext *context, FileRecord *file, TempCopy *copy) {
    file->received = static_cast<int32_t>(copy->held);
    if (!file_md5_missing(file) && copy_matches(*copy, file->md5)) {
        if (notify_verify(context, UI_VERIFY_MD5, 1, file) < 0) return -1;
        return 1;
    }
    if (notify_verify(context, UI_VERIFY_MD5, -1, file) < 0) return -1;
    if (copy->held != 0 && copy_truncate(context, copy) < 0) return -1;
    file->received = 0;
    return 0;
}

// How the installed file stands against its record: 1 with the listed
// size and digest, 0 with the size only, -1 without the size (or absent).
// It is opened once and examined through the descriptor, without blocking
// on whatever may stand under its name.
int installed_state(const FileRecord *file) {
    Descriptor fd{open(file->localpath, O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    struct stat info;
    if (fd.fd < 0) {
        // One that is there but cannot be read has no digest to match.
        return errno != ENOENT && stat(file->localpath, &info) == 0 && info.st_size == file->size
                   ? 0
                   : -1;
    }
    if (fstat(fd.fd, &info) < 0 || info.st_size != file->size) return -1;
    uint8_t digest[kMd5DigestSize];
    return md5_fd(fd.fd, digest, info.st_size) == 0 &&
                   memcmp(digest, file->md5, kMd5DigestSize) == 0
               ? 1
               : 0;
}

int open_or_create(EngineContext *context, FileRecord *file) {
    TempCopy copy;
    const int found = copy_open(context, file, CopyUse::kPrepare, &copy);
    if (found < 0) return copy_report(context, &copy);
    if (found == 1) return reuse_or_empty(context, file, &copy);
    file->received = 0;
    return 0;
}

// Whether the copy has the listed digest. The digest taken while the copy
// was written serves when it covers exactly what the copy holds now;
// otherwise the copy is read again.
bool copy_has_listed_digest(const TempCopy &copy, const FileRecord *file) {
    if (file->copy_md5_set != 0 && file->copy_md5_bytes == copy.held)
        return memcmp(file->copy_md5, file->md5, kMd5DigestSize) == 0;
    return copy_matches(copy, file->md5);
}

// After a fetch, on the copy the last attempt wrote: a file with digest is
// compared with it, one without is checked by the signature appended to
// it. A bad copy is emptied so that the next run starts it afresh.
int verify_copy(EngineContext *context, FileRecord *file, TempCopy *copy) {
    const UiCode code = file_md5_missing(file) ? UI_VERIFY_SIGNATURE : UI_VERIFY_MD5;
    bool good = false;
    // What it holds now: an attempt that wrote from the first byte again
    // may have left older bytes behind its own.
    const off_t end = copy->fd >= 0 ? lseek(copy->fd, 0, SEEK_END) : -1;
    if (end >= 0) {
        copy->held = static_cast<uint32_t>(end);
        good = code == UI_VERIFY_SIGNATURE ? rsa_verify_descriptor(rsa_public_key, copy->fd) == 0
                                           : copy_has_listed_digest(*copy, file);
    }
    if (good) return notify_verify(context, code, 1, file);
    notify_verify(context, code, -1, file);
    if (copy->fd >= 0 && ftruncate(copy->fd, 0) == 0) file->received = 0;
    return -1;
}

}  // namespace

int engine_prepare_tempfile(EngineContext *context, FileRecord *file) {
    if (context == nullptr || context->temp_dir == nullptr || file == nullptr ||
        file->sitepath == nullptr)
        return -1;
    free(file->tempfile);
    file->tempfile = engine_temp_name(context->temp_dir, file->sitepath, "");
    if (file->tempfile == nullptr) return -1;
    int result = open_or_create(context, file);
    if (result < 0) {
        free(file->tempfile);
        file->tempfile = nullptr;
    }
    return result;
}

int engine_check_file(FileRecord *file, EngineLink *link) {
    if (file == nullptr || file->sitepath == nullptr || file->localpath == nullptr ||
        link == nullptr || link->context == nullptr || link->downloads == nullptr)
        return -1;
    EngineContext *context = link->context;
    if (file->sitepath[0] == '\0') return 0;
    if (file->tempfile == nullptr) {
        if (context->expand_path == nullptr ||
            context->expand_path(context->run_state, &file->localpath) < 0 ||
            file->localpath == nullptr)
            return -1;
        normalize_path(file->localpath);
        const int installed = installed_state(file);
        if (installed == 1) return notify_verify(context, UI_VERIFY_MD5, 1, file) < 0 ? -1 : 0;
        if (installed == 0 && notify_verify(context, UI_VERIFY_MD5, -1, file) < 0) return -1;
        int prepared = engine_prepare_tempfile(context, file);
        if (prepared != 0) return prepared == 1 ? 0 : prepared;
    }
    int answer = notify_file(context, UI_NEEDS_UPDATE, file);
    if (vector_add(link->downloads, file) < 0) return -1;
    return answer == 0 ? 1 : answer;
}

int engineGetFile(FileRecord *file, EngineLink *link, int verify) {
    if (file == nullptr || file->sitepath == nullptr || link == nullptr ||
        link->handle == nullptr || link->context == nullptr ||
        link->context->expand_path == nullptr)
        return -1;
    EngineContext *context = link->context;
    // The plugin may learn another time from the server; the listed one wins.
    int32_t listed_time = file->time;
    if (file->tempfile == nullptr && verify != 0) {
        int needed = engine_check_file(file, link);
        if (needed != 1) return needed;
    }
    if (file->tempfile == nullptr) return -1;  // never prepared: nowhere to write

    TempCopy copy;
    int result = plugin_table[link->plugin]->get(file, link->handle, &copy);
    if (result == 0 && verify != 0) result = verify_copy(context, file, &copy);
    file->time = listed_time;
    if (result < -1) record_error_code(context, ERR_UPDATE, UPD_BAD_MD5, "engineGetFile");
    if (result == 0 && copy.fd >= 0) {
        // A copy without its listed times is still a correct copy.
        const timespec times[2] = {{file->time, 0}, {file->time, 0}};
        (void)futimens(copy.fd, times);
    }
    return result;
}

EngineLink *engine_open_link(EngineContext *context) {
    if (context == nullptr || context->info_url == nullptr || context->temp_dir == nullptr ||
        context->ui_event == nullptr)
        return nullptr;
    auto *link = static_cast<EngineLink *>(calloc(1, sizeof(EngineLink)));
    if (link == nullptr) return nullptr;
    link->context = context;
    link->downloads = vector_new();
    if (link->downloads == nullptr) {
        engine_close_link(link);
        return nullptr;
    }
    for (int32_t index = 0; plugin_table[index] != nullptr; index++) {
        void *handle = plugin_table[index]->open(context);
        if (handle != nullptr) {
            link->plugin = index;
            link->handle = handle;
            return link;
        }
    }
    engine_close_link(link);
    return nullptr;
}

void engine_close_link(EngineLink *link) {
    if (link == nullptr) return;
    if (link->handle != nullptr) plugin_table[link->plugin]->close(link->handle);
    vector_free(link->downloads, 0);
    free(link);
}
