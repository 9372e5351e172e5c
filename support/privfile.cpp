// Opening, creating and checking temporary copies in a shared directory,
// and the directories above them.
#include "support/privfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "support/descriptor.h"

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
Opened settle(Descriptor fd, int flags) {
    if (fcntl(fd.fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return {Descriptor{}, SysError::last()};
    return {std::move(fd), {}};
}

// Why somebody else than this user and root could remove or rename names in
// the directory, or null. Root's group and our own stand for nobody else;
// any other group that may write, or everybody, may only where the sticky
// bit keeps each to their own names (when `sticky_protects`).
const char *directory_exposure(const struct stat &info, bool sticky_protects) {
    if (!S_ISDIR(info.st_mode)) return "is not a directory";
    if (info.st_uid != own_user() && info.st_uid != 0) return "belongs to another user";
    const bool group_ok = info.st_gid == 0 || info.st_gid == own_group();
    const bool shared = (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) && !group_ok);
    if (shared && !(sticky_protects && (info.st_mode & S_ISVTX)))
        return "may be written by other users";
    return nullptr;
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

Opened private_open(const char *path, int flags, off_t *size) {
    return private_open_at(AT_FDCWD, path, flags, size);
}

Opened private_open_at(int dir, const char *path, int flags, off_t *size) {
    if (path == nullptr) return {Descriptor{}, {EINVAL}};
    flags &= ~(O_CREAT | O_EXCL | O_TRUNC);
    Descriptor fd{openat(dir, path, flags | kCopyFlags | O_NONBLOCK)};
    if (fd.fd < 0) {
        const SysError error = SysError::last();
        // A directory, a socket or a FIFO without reader: no copy either.
        return {Descriptor{},
                error.code == EISDIR || error.code == ENXIO ? SysError{EPERM} : error};
    }
    struct stat info;
    if (fstat(fd.fd, &info) < 0 || !owned_and_closed(info) || info.st_nlink != 1)
        return {Descriptor{}, {EPERM}};
    if (size != nullptr) *size = info.st_size;
    return settle(std::move(fd), flags);
}

Opened private_create(const char *path, int flags) {
    return private_create_at(AT_FDCWD, path, flags);
}

Opened private_create_at(int dir, const char *path, int flags) {
    if (path == nullptr) return {Descriptor{}, {EINVAL}};
    // Only a new file can be opened here: no FIFO to be wary of.
    Descriptor fd{openat(dir, path, (flags & ~O_TRUNC) | O_CREAT | O_EXCL | kCopyFlags, 0600)};
    if (fd.fd < 0) return {Descriptor{}, SysError::last()};
    return {std::move(fd), {}};
}

SysError private_check(const char *path) {
    struct stat info;
    if (path == nullptr) return {EINVAL};
    if (lstat(path, &info) < 0) return SysError::last();
    return owned_and_closed(info) ? SysError{} : SysError{EPERM};
}

DirectoryCheck private_directory_check(const char *path) {
    struct stat info;
    if (path == nullptr || stat(path, &info) < 0) return DirectoryCheck::kUnknown;
    return directory_exposure(info, true) != nullptr ? DirectoryCheck::kExposed
                                                     : DirectoryCheck::kPrivate;
}

int private_directory_open(const std::string &path, std::string &why) {
    constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    std::vector<std::string> names;
    for (size_t start = 0; start < path.size();) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    std::string walked = path.starts_with('/') ? "/" : ".";
    Descriptor dir{open(walked.c_str(), kDirectoryFlags)};
    int error = errno;  // why `dir` could not be opened
    bool link = false;  // the component in `walked` is one
    // Each round checks the directory opened last, then opens the next.
    for (size_t i = 0;; i++) {
        const bool last = i == names.size();
        const auto refuse = [&](const std::string &reason) {
            why = (last ? " " : ": '" + walked + "' ") + reason;
            return -1;
        };
        struct stat info;
        if (link) return refuse("is a symbolic link");
        if (dir.fd < 0 || fstat(dir.fd, &info) < 0)
            return refuse(std::string("can't be opened (") + strerror(dir.fd < 0 ? error : errno) +
                          ")");
        const char *exposed = directory_exposure(info, !last);
        if (exposed != nullptr) return refuse(exposed);
        if (last) return dir.release();
        walked.append(walked.ends_with('/') ? "" : "/").append(names[i]);
        const char *name = names[i].c_str();
        if (i + 1 == names.size() && mkdirat(dir.fd, name, 0700) < 0 && errno != EEXIST) {
            why = std::string(" can't be created (") + strerror(errno) + ")";
            return -1;
        }
        Descriptor next{openat(dir.fd, name, kDirectoryFlags)};
        error = errno;
        // O_DIRECTORY tells a link only as "not a directory".
        link = next.fd < 0 && fstatat(dir.fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISLNK(info.st_mode);
        dir = std::move(next);
    }
}

DirectoryTurn::DirectoryTurn(int opened) : dir(opened) {
    int result;
    do {
        result = flock(dir, LOCK_EX);
    } while (result < 0 && errno == EINTR);
    if (result < 0) why = SysError::last();
}

DirectoryTurn::~DirectoryTurn() {
    if (!why) flock(dir, LOCK_UN);
}
