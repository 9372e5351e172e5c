// Every call here but the failure's line is one POSIX lists as safe in a
// signal handler.
#include "support/whole_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool write_all(int fd, const char *data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t wrote = write(fd, data + done, size - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            // write never returns 0 for a non-empty buffer; should it, a
            // loop here would never end.
            if (wrote == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

ReplaceStep replace_file(const Replacement &target, bool (*fill)(int fd, const void *content),
                         const void *content) {
    if (unlinkat(target.dir, target.next, 0) < 0 && errno != ENOENT) return ReplaceStep::kRemove;
    const int fd =
        openat(target.dir, target.next,
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, target.mode);
    if (fd < 0) return ReplaceStep::kCreate;
    // Synced before the rename: a crash after it must not find the name
    // holding a file whose bytes never reached the disk.
    ReplaceStep step = ReplaceStep::kDone;
    if (!fill(fd, content) || fsync(fd) < 0) {
        const int error = errno;
        close(fd);
        errno = error;
        step = ReplaceStep::kWrite;
    } else if (close(fd) < 0) {
        step = ReplaceStep::kWrite;
    } else if (renameat(target.dir, target.next, target.dir, target.name) < 0) {
        step = ReplaceStep::kRename;
    }
    if (step != ReplaceStep::kDone) {
        const int error = errno;
        unlinkat(target.dir, target.next, 0);
        errno = error;
        return step;
    }
    if (target.dir != AT_FDCWD) (void)fsync(target.dir);
    return step;
}

std::string replace_failure(ReplaceStep step, const std::string &next) {
    const char *what = step == ReplaceStep::kRemove   ? "Can't remove "
                       : step == ReplaceStep::kCreate ? "Can't create "
                       : step == ReplaceStep::kWrite  ? "Can't write "
                       : step == ReplaceStep::kRename ? "Can't rename "
                                                      : nullptr;
    return what == nullptr ? "" : what + next + " (" + strerror(errno) + ")";
}
