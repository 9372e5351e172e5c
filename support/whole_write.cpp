// Every call here but the failure's line, read_all and replace_file_with is
// one POSIX lists as safe in a signal handler.
#include "support/whole_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

SysError write_all(int fd, const char *data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t wrote = write(fd, data + done, size - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return SysError::last();
        // write never returns 0 for a non-empty buffer; should it, a loop
        // here would never end.
        if (wrote == 0) return {EIO};
        done += static_cast<size_t>(wrote);
    }
    return {};
}

SysError read_all(int fd, size_t limit, std::string &text) {
    char chunk[4096];
    for (;;) {
        const ssize_t count = read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return SysError::last();
        if (count == 0) return {};
        text.append(chunk, static_cast<size_t>(count));
        if (text.size() > limit) return {EFBIG};
    }
}

Replaced replace_file(const Replacement &target, SysError (*fill)(int fd, const void *content),
                      const void *content) {
    if (unlinkat(target.dir, target.next, 0) < 0 && errno != ENOENT)
        return {ReplaceStep::kRemove, SysError::last()};
    const int fd =
        openat(target.dir, target.next,
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, target.mode);
    if (fd < 0) return {ReplaceStep::kCreate, SysError::last()};
    // Synced before the rename: a crash after it must not find the name
    // holding a file whose bytes never reached the disk.
    Replaced result;
    SysError filled = fill(fd, content);
    if (!filled && fsync(fd) < 0) filled = SysError::last();
    if (filled) {
        close(fd);
        result = {ReplaceStep::kWrite, filled};
    } else if (close(fd) < 0) {
        result = {ReplaceStep::kWrite, SysError::last()};
    } else if (renameat(target.dir, target.next, target.dir, target.name) < 0) {
        result = {ReplaceStep::kRename, SysError::last()};
    }
    if (result.step != ReplaceStep::kDone) {
        unlinkat(target.dir, target.next, 0);
        return result;
    }
    if (target.dir != AT_FDCWD) (void)fsync(target.dir);
    return result;
}

Replaced replace_file_with(const Replacement &target, const std::string &text) {
    const auto fill = [](int fd, const void *content) {
        const auto *whole = static_cast<const std::string *>(content);
        return write_all(fd, whole->data(), whole->size());
    };
    return replace_file(target, fill, &text);
}

std::string replace_failure(const Replaced &result, const std::string &next) {
    const ReplaceStep step = result.step;
    const char *what = step == ReplaceStep::kRemove   ? "Can't remove "
                       : step == ReplaceStep::kCreate ? "Can't create "
                       : step == ReplaceStep::kWrite  ? "Can't write "
                       : step == ReplaceStep::kRename ? "Can't rename "
                                                      : nullptr;
    return what == nullptr ? "" : what + next + " (" + result.why.text() + ")";
}
