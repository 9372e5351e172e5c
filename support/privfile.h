// Temporary copies live in a directory that other users may share. These
// helpers open, create and check them so that no name planted there by
// somebody else (a link, a foreign file, a second name of another file) is
// ever read, written, installed or run.
#pragma once

#include <sys/types.h>

// The effective user and group, asked once: the process never changes them.
uid_t own_user();
gid_t own_group();

// Opens an existing copy without following a link. The result is -1 with
// errno ELOOP for a link, EPERM for anything that is not a regular file
// owned by this process's user with a single name and no write permission
// for group or others, or the error of open itself (ENOENT when absent).
// With `size`, the size it found is written there.
int private_open(const char *path, int flags, off_t *size = nullptr);

// Creates the copy exclusively with mode 0600, never through a link: -1
// with EEXIST when any name is already there.
int private_create(const char *path, int flags);

// 0 when the path (not followed) is a regular file of this user that
// group and others cannot write, else -1 with errno. Our own installation
// may have given the copy a second name, so the link count is not checked.
int private_check(const char *path);

// 0 when nobody but this user and root can remove or rename names in the
// directory: it belongs to this user or to root, and neither everybody nor a
// group other than root's and ours may write to it, unless the sticky bit is
// set. Else -1 with errno EPERM (or stat's error).
int private_directory_check(const char *path);
