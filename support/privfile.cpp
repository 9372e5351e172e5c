// Opening, creating and checking temporary copies in a shared directory.
#include "support/privfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Flags that every open of a copy carries: never through a link, never a
// controlling terminal, never inherited by an install program.
constexpr int kCopyFlags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;

bool owned_and_closed(const struct stat &info) {
    return S_ISREG(info.st_mode) && info.st_uid == own_user() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// An existing name is opened without blocking, so that a planted FIFO cannot
// hold us before its type is checked. Regular files ignore O_NONBLOCK, but a
// descriptor handed on should not carry a flag its user never asked for:
// the status flags become the caller's own, which `flags` are.
int settle(int fd, int flags) {
    if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

uid_t own_user() {
    static const uid_t user = geteuid();
    return user;
}

gid_t own_group() {
    static const gid_t group = getegid();
    return group;
}

int private_open(const char *path, int flags, off_t *size) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    flags &= ~(O_CREAT | O_EXCL | O_TRUNC);
    int fd = open(path, flags | kCopyFlags | O_NONBLOCK);
    if (fd < 0) {
        // A directory, a socket or a FIFO without reader: no copy either.
        if (errno == EISDIR || errno == ENXIO) errno = EPERM;
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) < 0 || !owned_and_closed(info) || info.st_nlink != 1) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    if (size != nullptr) *size = info.st_size;
    return settle(fd, flags);
}

int private_create(const char *path, int flags) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Only a new file can be opened here: no FIFO to be wary of.
    return open(path, (flags & ~O_TRUNC) | O_CREAT | O_EXCL | kCopyFlags, 0600);
}

int private_check(const char *path) {
    struct stat info;
    if (path == nullptr || lstat(path, &info) < 0) return -1;
    if (!owned_and_closed(info)) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

int private_directory_check(const char *path) {
    struct stat info;
    if (path == nullptr || stat(path, &info) < 0) return -1;
    const bool owner_ok = info.st_uid == own_user() || info.st_uid == 0;
    // Root's group and our own stand for nobody else; any other group that
    // may write, or everybody, may only where the sticky bit keeps each to
    // their own names.
    const bool group_ok = info.st_gid == 0 || info.st_gid == own_group();
    const bool shared = (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) && !group_ok);
    if (!S_ISDIR(info.st_mode) || !owner_ok || (shared && (info.st_mode & S_ISVTX) == 0)) {
        errno = EPERM;
        return -1;
    }
    return 0;
}
