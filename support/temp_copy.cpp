// Opening temporary copies: the only caller of private_open and
// private_create for a copy's path.
#include "support/temp_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/error.h"
#include "support/privfile.h"

namespace {

int fail(TempCopy *copy, const char *call) {
    copy->error = errno;
    copy->failed = call;
    if (copy->fd >= 0) close(copy->fd);
    copy->fd = -1;
    errno = copy->error;  // for the caller's own error record
    return -1;
}

// Hands the digest of what the copy holds so far to its file record.
void publish_digest(TempCopy *copy) {
    FileRecord *file = copy->digested;
    if (file == nullptr) return;
    Md5Context finished = copy->digest;
    md5_final(file->copy_md5, &finished);
    file->copy_md5_bytes = static_cast<uint32_t>(md5_length(&copy->digest));
    file->copy_md5_set = 1;
}

void restart_digest(TempCopy *copy) {
    md5_init(&copy->digest);
    publish_digest(copy);
}

// Digests the bytes a copy just opened for appending already holds, from
// the first byte where the open left it; a copy that cannot be read back is
// still appended to, only without a digest.
int digest_held(TempCopy *copy, FileRecord *file) {
    md5_init(&copy->digest);
    if (copy->held == 0) {
        copy->digested = file;
        publish_digest(copy);
        return 0;
    }
    if (md5_update_fd(&copy->digest, copy->fd, copy->held) == 0) {
        copy->digested = file;
        publish_digest(copy);
    }
    return lseek(copy->fd, 0, SEEK_END) < 0 ? fail(copy, "lseek") : 0;
}

// Opens the copy's path for the use and tells whether a copy of ours was
// there, and its size. At the engine's first look one seldom is (every
// installed copy is removed), so that look creates the copy before it looks
// for one.
int open_path(TempCopy *copy, const char *path, CopyUse use, bool *found, off_t *size) {
    *found = false;
    *size = 0;
    if (use == CopyUse::kPrepare) {
        copy->fd = private_create(path, O_RDWR);
        if (copy->fd >= 0) return 0;
        if (errno != EEXIST) return fail(copy, "open");
    }
    copy->fd = private_open(path, O_RDWR, size);
    *found = copy->fd >= 0;
    if (*found) return 0;
    // At the engine's first look, whatever stands under the name and is
    // not a copy of ours (a link, somebody else's file, a second name of
    // another file) is removed unread and the copy made anew.
    const bool absent = errno == ENOENT;
    if (use == CopyUse::kPrepare && !absent && unlink(path) < 0 && errno != ENOENT)
        return fail(copy, "unlink");
    if (use != CopyUse::kPrepare && !(use == CopyUse::kResume && absent)) return fail(copy, "open");
    copy->fd = private_create(path, O_RDWR);
    return copy->fd < 0 ? fail(copy, "open") : 0;
}

}  // namespace

TempCopy::~TempCopy() {
    if (fd >= 0) close(fd);
}

int copy_open(EngineContext *context, FileRecord *file, CopyUse use, TempCopy *copy) {
    if (context == nullptr || file == nullptr || file->tempfile == nullptr || copy == nullptr) {
        errno = EINVAL;
        return copy != nullptr ? fail(copy, "open") : -1;
    }
    if (copy->fd >= 0) close(copy->fd);
    copy->fd = -1;
    copy->held = 0;
    copy->digested = nullptr;
    if (use != CopyUse::kRead) file->copy_md5_set = 0;
    copy->limit = file->size > 0 ? static_cast<uint32_t>(file->size) : kUnlistedSizeLimit;
    // A directory that others may clear or rename in is refused; one that
    // is missing fails below, where the copy is created.
    if (use == CopyUse::kPrepare && private_directory_check(context->temp_dir) < 0 &&
        errno == EPERM)
        return fail(copy, "temppath");

    bool found;
    off_t size;
    if (open_path(copy, file->tempfile, use, &found, &size) < 0) return -1;
    // Opened at its first byte, with the size the open found.
    copy->held = static_cast<uint32_t>(size);
    if (use == CopyUse::kEmpty) {
        // An empty copy is left alone: ext4 takes a truncated file written
        // again for a replacement and writes it out when it is closed, one
        // file at a time, where the flush before installation writes all
        // copies at once.
        if (size != 0 && ftruncate(copy->fd, 0) < 0) return fail(copy, "truncate");
        copy->held = 0;
        copy->digested = file;
        restart_digest(copy);
    } else if (use == CopyUse::kResume || use == CopyUse::kContinue) {
        if (digest_held(copy, file) < 0) return -1;
    }
    return found ? 1 : 0;
}

int copy_report(EngineContext *context, const TempCopy *copy) {
    return record_error_code(context, ERR_FILE_SYSCALL, copy->error,
                             copy->failed != nullptr ? copy->failed : "open");
}

int copy_truncate(EngineContext *context, TempCopy *copy) {
    if (ftruncate(copy->fd, 0) < 0 || lseek(copy->fd, 0, SEEK_SET) < 0)
        return record_error(context, ERR_FILE_SYSCALL, "truncate");
    copy->held = 0;
    restart_digest(copy);
    return 0;
}

int copy_rewind(TempCopy *copy) {
    if (lseek(copy->fd, 0, SEEK_SET) < 0) return -1;
    copy->held = 0;
    restart_digest(copy);
    return 0;
}

int copy_receive(EngineContext *context, TempCopy *copy, int from, uint32_t *remaining,
                 Reader reader, Received *ahead) {
    const int result =
        transfer_bounded(context, from, copy->fd, remaining, copy->held, copy->limit, reader,
                         file_write, copy->digested != nullptr ? &copy->digest : nullptr, ahead);
    // transfer_bounded leaves the count it moved.
    copy->held += *remaining;
    publish_digest(copy);
    return result;
}

FILE *copy_stream(TempCopy *copy, const char *mode) {
    FILE *stream = fdopen(copy->fd, mode);
    if (stream == nullptr) return nullptr;
    copy->fd = -1;
    // What the stream writes passes the digest by.
    if (copy->digested != nullptr) copy->digested->copy_md5_set = 0;
    copy->digested = nullptr;
    return stream;
}
