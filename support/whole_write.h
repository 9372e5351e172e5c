// Writing whole: every byte of a buffer to a descriptor, and a file replaced
// whole, so that a crash leaves either the old file or the new one. Only
// calls a signal handler may make too: the watchdog writes this way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "support/sys_error.h"

// Writes all `size` bytes, again after an interruption; why a write failed.
SysError write_all(int fd, const char *data, size_t size);
// Reads to the end into `text`, again after an interruption; why a read
// failed, or EFBIG once more than `limit` bytes came. Not for a signal handler.
SysError read_all(int fd, size_t limit, std::string &text);

// The step a replacement failed at, for the caller's message, and why.
enum class ReplaceStep { kDone, kRemove, kCreate, kWrite, kRename };
struct Replaced {
    ReplaceStep step = ReplaceStep::kDone;
    SysError why;
};

// The file `name` in `dir` (an open directory, or AT_FDCWD: the names are
// paths, and no directory is synced) and the name `next` it is written
// beside, made afresh with `mode`.
struct Replacement {
    int dir;
    const char *name;
    const char *next;
    mode_t mode;
};

// Removes what a stopped run left under `next`, creates it never through a
// link, lets `fill` write the content (and say why it could not), syncs it,
// renames it over `name` and syncs the directory. A failure removes what
// was written beside.
Replaced replace_file(const Replacement &target, SysError (*fill)(int fd, const void *content),
                      const void *content);
// replace_file with `text` for the content. Not for a signal handler.
Replaced replace_file_with(const Replacement &target, const std::string &text);
// The line for a failed step, "Can't <step> <next> (<reason>)" with `next`
// as the reader knows it; "" for kDone. Not for a signal handler.
std::string replace_failure(const Replaced &result, const std::string &next);
