// The front end's file-system services: installation path expansion, the
// check/install/self-update callback, and running the program again.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "frontend/install.h"
#include "frontend/runctl.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "support/privfile.h"

namespace {

struct Placeholder {
    std::string_view text;
    const char *option;
};

constexpr Placeholder kPlaceholders[] = {
    {"${INSTALL}", "INSTALL"}, {"${PLATFORM}", "PLATFORM"}, {"${DATADIR}", "DATADIR"},
    {"${CONFDIR}", "CONFDIR"}, {"${BINDIR}", "BINDIR"},
};

// Large blocks: a copy between file systems is bulk work.
constexpr size_t kCopyBuffer = size_t{64} << 10;

// Replaces text[at, at + length) by value; returns the new string or null.
char *splice(const char *text, size_t at, size_t length, const char *value) {
    const size_t total = strlen(text);
    const size_t value_length = strlen(value);
    char *result = static_cast<char *>(malloc(total - length + value_length + 1));
    if (result == nullptr) return nullptr;
    memcpy(result, text, at);
    memcpy(result + at, value, value_length);
    memcpy(result + at + value_length, text + at + length, total - at - length + 1);
    return result;
}

bool write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool copy_contents(int from, int to) {
    char *buffer = static_cast<char *>(malloc(kCopyBuffer));
    if (buffer == nullptr) return false;
    bool ok = true;
    for (;;) {
        const ssize_t n = read(from, buffer, kCopyBuffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!write_all(to, buffer, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    free(buffer);
    return ok;
}

}  // namespace

// Each occurrence present before a substitution is expanded once: the search
// goes on after the inserted value, so a value that contains its own
// placeholder cannot make the expansion loop.
int expand_path(RunState *state, char **path) {
    if (state == nullptr || path == nullptr || *path == nullptr) return -1;
    int result = 0;
    for (const Placeholder &placeholder : kPlaceholders) {
        size_t from = 0;
        for (;;) {
            const std::string_view current(*path);
            const size_t at = current.find(placeholder.text, from);
            if (at == std::string_view::npos) break;
            const ConfigOption *option =
                state->config == nullptr
                    ? nullptr
                    : config_find_option(state->config, "global", placeholder.option);
            if (option == nullptr || option->type != CONFIG_STRING ||
                option->value.string == nullptr) {
                return -1;
            }
            char *expanded = splice(*path, at, placeholder.text.size(), option->value.string);
            if (expanded == nullptr) {
                result = -1;
                break;
            }
            free(*path);
            *path = expanded;
            from = at + strlen(option->value.string);
        }
    }
    return result;
}

namespace {

// The name a new version is made under before it replaces the installed
// one: in the same directory, so the rename that replaces it is atomic,
// and the same in every run, so that one left by an interrupted run is
// found and removed when the file is installed again.
char *staging_name(const char *dst) {
    const char *slash = strrchr(dst, '/');
    const int directory = slash != nullptr ? static_cast<int>(slash + 1 - dst) : 0;
    char *name = nullptr;
    if (asprintf(&name, "%.*s.%s.qavo-new", directory, dst, dst + directory) < 0) return nullptr;
    return name;
}

// The directory part of a path, "." when it has none; null without memory.
char *directory_of(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash == nullptr ? strdup(".") : strndup(path, slash == path ? 1 : slash - path);
}

// A rename is only durable once the directory holding the new name is.
// The directories are synced when the update is over (install_finish),
// each once, rather than once per file; a name whose rename a power cut
// undoes still holds the complete old version, which the next run updates.
// Without memory for the list the directory is synced now.
void sync_directory_of(RunState *state, const char *path) {
    char *directory = directory_of(path);
    if (directory == nullptr) return;
    if (state != nullptr) {
        for (uint32_t i = 0; i < state->renamed_count; i++) {
            if (strcmp(state->renamed_dirs[i], directory) == 0) {
                free(directory);
                return;
            }
        }
        auto *grown = static_cast<char **>(
            realloc(state->renamed_dirs, (state->renamed_count + 1) * sizeof(char *)));
        if (grown != nullptr) {
            state->renamed_dirs = grown;
            state->renamed_dirs[state->renamed_count++] = directory;
            return;
        }
    }
    sync_directory(directory);
    free(directory);
}

// The engine fetches every file before it installs any, so the copies are
// all complete at the first installation: one flush of their file system
// makes their data durable before any of them gets an installed name,
// where an fsync per file would wait for the disk once per file.
void flush_copies(RunState *state, const char *src) {
    if (state->copies_flushed) return;
    state->copies_flushed = true;
    Descriptor fd{open(src, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    if (fd.fd < 0 || syncfs(fd.fd) != 0) state->copies_flushed = false;
}

enum class PlaceStep { kNone, kMode, kOther };

// Puts `src` in place of `dst` so that `dst` always names either the old
// complete file or the new complete one: the new file is made under the
// staging name (a link to the verified copy, or a copy when that sits on
// another file system), given its owner and mode (`mode`, or the replaced
// file's, or 0644 for a new one), flushed to disk, and renamed over `dst`.
// With a `state`, a link needs no flush of its own (flush_copies made the
// copy's data durable) and its directory is synced when the update is over.
int place_file(RunState *state, const char *src, const char *dst, int mode, PlaceStep *failed) {
    *failed = PlaceStep::kOther;
    struct stat old;
    const bool replacing = lstat(dst, &old) == 0 && S_ISREG(old.st_mode);
    if (mode < 0) mode = replacing ? static_cast<int>(old.st_mode & 07777) : 0644;
    char *staging = staging_name(dst);
    if (staging == nullptr) return -1;
    // A link shares its inode with the copy in the temporary directory, which
    // a program still runs from and which must stay ours and unwritable to
    // others: another owner or a writable mode takes a copy.
    const bool foreign = replacing && (old.st_uid != own_user() || old.st_gid != own_group());
    const bool shared = !foreign && (mode & 022) == 0;
    bool linked = false;
    const auto make = [&] {
        linked = shared && link(src, staging) == 0;
        return linked || copy_file(src, staging) == 0;
    };
    // A staging name left by an interrupted run is in the way of both: it is
    // removed, and the new file made once more.
    bool made = make();
    if (!made) {
        (void)unlink(staging);
        made = make();
    }
    const bool flushed = state != nullptr && state->copies_flushed && linked;
    int result = -1;
    if (made) {
        Descriptor fd{open(staging, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
        // An owner we cannot give (not being root) leaves the file ours.
        if (fd.fd >= 0 && foreign) (void)fchown(fd.fd, old.st_uid, old.st_gid);
        if (fd.fd >= 0 && fchmod(fd.fd, static_cast<mode_t>(mode)) < 0)
            *failed = PlaceStep::kMode;
        else if (fd.fd >= 0 && (flushed || fsync(fd.fd) == 0) && rename(staging, dst) == 0)
            result = 0;
    }
    if (result == 0) {
        *failed = PlaceStep::kNone;
        sync_directory_of(state, dst);
    } else {
        (void)unlink(staging);
    }
    free(staging);
    return result;
}

}  // namespace

int install_file(RunState *state, int mode, const char *src, const char *dst) {
    if (src == nullptr || dst == nullptr) return -1;
    // The copy is linked or copied into place as it stands: it must be one
    // that nobody but us could have written.
    if (private_check(src) < 0) return -1;
    switch (mode) {
        case 0: {
            // The file must be one we can write, or one we can create.
            Descriptor fd{open(dst, O_RDWR | O_CLOEXEC)};
            if (fd.fd >= 0) return 0;
            if (errno != ENOENT) return -1;
            // Created with the mode a new file is installed with, since the
            // installation keeps the mode of the file it replaces.
            Descriptor created{open(dst, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
            return created.fd >= 0 && fchmod(created.fd, 0644) == 0 ? 0 : -1;
        }
        case 1: {
            PlaceStep failed;
            if (state != nullptr) flush_copies(state, src);
            return place_file(state, src, dst, -1, &failed);
        }
        case 2:
            if (state == nullptr) return -1;
            state->self_updated = 1;
            return self_update_file(src, dst);
        default:
            return -1;
    }
}

void install_finish(RunState *state) {
    if (state == nullptr) return;
    for (uint32_t i = 0; i < state->renamed_count; i++) {
        sync_directory(state->renamed_dirs[i]);
        free(state->renamed_dirs[i]);
    }
    free(state->renamed_dirs);
    state->renamed_dirs = nullptr;
    state->renamed_count = 0;
    state->copies_flushed = false;
}

int copy_file(const char *src, const char *dst) {
    if (src == nullptr || dst == nullptr) return -1;
    bool ok = false;
    {
        Descriptor from{open(src, O_RDONLY | O_CLOEXEC)};
        // Never through a name somebody else left: a new file or nothing.
        Descriptor to{open(dst, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
        // Examined before reading: the copy itself would move the access time.
        struct stat info;
        const bool examined = from.fd >= 0 && fstat(from.fd, &info) == 0;
        if (from.fd >= 0 && to.fd >= 0) ok = copy_contents(from.fd, to.fd);
        if (to.fd >= 0 && examined) {
            const struct timespec times[2] = {info.st_atim, info.st_mtim};
            futimens(to.fd, times);
        }
    }
    if (!ok) {
        unlink(dst);
        return -1;
    }
    return 0;
}

// The running program keeps its inode: the new executable gets the name by
// a rename, already complete and executable.
int self_update_file(const char *src, const char *dst) {
    if (src == nullptr || dst == nullptr) return -1;
    PlaceStep failed;
    if (place_file(nullptr, src, dst, 0755, &failed) == 0) return 0;
    if (failed == PlaceStep::kMode)
        printf("Fatal Error: Can't change permission on file %s to 0755\n", dst);
    else
        printf("Fatal Error: Can't self update file '%s'\n", dst);
    return -1;
}

int restart_self(char **argv) {
    if (argv == nullptr || argv[0] == nullptr) return -1;
    unlock_update();
    // The child writes to the same stdout; our pending lines come first.
    fflush(stdout);
    const pid_t child = vfork();
    if (child < 0) {
        printf("Fatal Error: Can't vfork\n");
        return -1;
    }
    if (child == 0) {
        execv(argv[0], argv);
        _exit(255);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : status;
}
