// Temporary copies live in a directory that other users may share. These
// helpers open, create and check them so that no name planted there by
// somebody else (a link, a foreign file, a second name of another file) is
// ever read, written, installed or run.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/descriptor.h"
#include "support/sys_error.h"

// The effective user and group, asked once: the process never changes them.
uid_t own_user();
gid_t own_group();

// A descriptor opened, or why it was not.
struct Opened {
    Descriptor fd;
    SysError error;
};

// Opens an existing copy without following a link. It fails with ELOOP for
// a link, EPERM for anything that is not a regular file owned by this
// process's user with a single name and no write permission for group or
// others, or the error of open itself (ENOENT when absent). With `size`,
// the size it found is written there.
Opened private_open(const char *path, int flags, off_t *size = nullptr);
// The same for `name` in the open directory `dir`.
Opened private_open_at(int dir, const char *name, int flags, off_t *size = nullptr);

// Creates the copy exclusively with mode 0600, never through a link: EEXIST
// when any name is already there.
Opened private_create(const char *path, int flags);
Opened private_create_at(int dir, const char *name, int flags);

// Nothing when the path (not followed) is a regular file of this user that
// group and others cannot write, else why not. Our own installation may
// have given the copy a second name, so the link count is not checked.
SysError private_check(const char *path);

// Whether nobody but this user and root can remove or rename names in the
// directory: it belongs to this user or to root, and neither everybody nor a
// group other than root's and ours may write to it, unless the sticky bit is
// set.
enum class DirectoryCheck {
    kPrivate,
    kExposed,
    kUnknown,  // it could not be looked at (missing, say)
};
DirectoryCheck private_directory_check(const char *path);

// Opens the directory `path` one component at a time from "/" (or the
// working directory), never through a link, the last created with mode 0700
// when missing. Each component must pass the rule above, the last without
// the sticky bit's exception: what it holds is ours alone. The descriptor,
// or -1 with `why`: ": '<component>' <reason>" for a component above the
// last, " <reason>" for the last.
int private_directory_open(const std::string &path, std::string &why);

// An exclusive lock on an open directory for the scope that holds it, so
// that runs sharing the directory take turns at changing what it holds.
struct DirectoryTurn {
    int dir;
    SysError why;  // why the lock was not taken; nothing while it is held
    explicit DirectoryTurn(int opened);
    ~DirectoryTurn();
    DirectoryTurn(const DirectoryTurn &) = delete;
    DirectoryTurn &operator=(const DirectoryTurn &) = delete;
};
