// The front end's file-system services: installation path expansion, the
// check/install/self-update callback, and running the program again.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/install.h"
#include "frontend/runctl.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "support/privfile.h"
#include "support/whole_write.h"

namespace {

// Large blocks: a copy between file systems is bulk work.
constexpr size_t kCopyBuffer = size_t{64} << 10;

bool copy_contents(int from, int to) {
    std::vector<char> buffer(kCopyBuffer);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        if (write_all(to, buffer.data(), static_cast<size_t>(n))) return false;
    }
}

}  // namespace

// Each occurrence present before a substitution is expanded once: the search
// goes on after the inserted value, so a value that contains its own
// placeholder cannot make the expansion loop.
bool FileInstaller::expand_path(std::string &path) {
    for (const PathPlaceholder &placeholder : state_.settings.placeholders) {
        size_t from = 0;
        for (;;) {
            const size_t at = path.find(placeholder.text, from);
            if (at == std::string::npos) break;
            if (!placeholder.value) return false;
            path.replace(at, placeholder.text.size(), *placeholder.value);
            from = at + placeholder.value->size();
        }
    }
    // Every listed file keeps its path for the run: not the room that the
    // replacements grew it by.
    path.shrink_to_fit();
    return true;
}

namespace {

// The name a new version is made under before it replaces the installed
// one: in the same directory, so the rename that replaces it is atomic,
// and the same in every run, so that one left by an interrupted run is
// found and removed when the file is installed again.
std::string staging_name(std::string_view dst) {
    const size_t directory = dst.rfind('/') + 1;  // 0 without a slash
    std::string name(dst.substr(0, directory));
    name += '.';
    name += dst.substr(directory);
    name += ".qavo-new";
    return name;
}

// The directory part of a path, "." when it has none.
std::string directory_of(std::string_view path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

// Whether a missing file could be created: its directory is one, the
// updater may add names to it (as the effective ids say), and the name is
// free (not even a dangling link holds it). `addable` is the directory last
// found fit, which is not asked again.
bool creatable(const char *path, std::string &addable) {
    std::string directory = directory_of(path);
    struct stat info;
    if (directory != addable) {
        if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
            return false;
        addable = std::move(directory);
    }
    return lstat(path, &info) < 0 && errno == ENOENT;
}

// A rename is only durable once the directory holding the new name is.
// The directories are synced when the update is over (install_finish),
// each once, rather than once per file; a name whose rename a power cut
// undoes still holds the complete old version, which the next run updates.
// Without a state (the self-update) the directory is synced now.
void sync_directory_of(RunState *state, const char *path) {
    std::string directory = directory_of(path);
    if (state == nullptr) {
        sync_directory(directory.c_str());
        return;
    }
    auto &dirs = state->renamed_dirs;
    if (std::find(dirs.begin(), dirs.end(), directory) == dirs.end())
        dirs.push_back(std::move(directory));
}

// The engine fetches every file before it installs any, so the copies are
// all complete at the first installation of one that is not durable yet:
// one flush of their file system makes the data of all durable before any
// of them gets an installed name, where an fsync per file would wait for
// the disk once per file. Copies flushed while the downloads went on (the
// large ones) need none: a run that has only those never waits for what
// other programs wrote to the file system.
void flush_copies(RunState *state, const char *src) {
    if (state->copies_flushed) return;
    state->copies_flushed = true;
    Descriptor fd{open(src, O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    if (fd.fd < 0 || syncfs(fd.fd) != 0) state->copies_flushed = false;
}

// A replaced version at least this large is worth handing to another core
// to be freed: 1 MiB of page cache takes about 0.1 ms to free.
constexpr off_t kRetireFrom = off_t{1} << 20;

// Lets go of a replaced version on the second core; here when no thread can
// be started.
void retire(RunState &state, Descriptor replaced) {
    if (!state.retiring) state.retiring.emplace(16, [](Descriptor &fd) { fd.reset(); });
    (void)state.retiring->push(std::move(replaced));
}

enum class PlaceStep { kNone, kMode, kOther };

// Puts `src` in place of `dst` so that `dst` always names either the old
// complete file or the new complete one: the new file is made under the
// staging name (a link to the verified copy, or a copy when that sits on
// another file system), given its owner and mode (`mode`, or the replaced
// file's, or 0644 for a new one), flushed to disk, and renamed over `dst`.
// With a `state`, a link needs no flush of its own (its copy was `durable`,
// or flush_copies made it so) and its directory is synced when the update
// is over.
int place_file(RunState *state, const char *src, const char *dst, int mode, bool durable,
               PlaceStep *failed) {
    *failed = PlaceStep::kOther;
    struct stat old;
    const bool replacing = lstat(dst, &old) == 0 && S_ISREG(old.st_mode);
    if (mode < 0) mode = replacing ? static_cast<int>(old.st_mode & 07777) : 0644;
    const std::string staging_path = staging_name(dst);
    const char *staging = staging_path.c_str();
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
    const bool flushed = state != nullptr && (durable || state->copies_flushed) && linked;
    // Every other large version replaced is held open across the rename,
    // which then frees nothing: a worker lets go of it while the next one
    // is put in place.
    Descriptor retired;
    if (made && state != nullptr && replacing && old.st_size >= kRetireFrom) {
        if (state->retire_next)
            retired = Descriptor{open(dst, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
        state->retire_next = !state->retire_next;
    }
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
        if (retired.fd >= 0) retire(*state, std::move(retired));
    } else {
        (void)unlink(staging);
    }
    return result;
}

}  // namespace

int FileInstaller::install_file(InstallStep step, const std::string &tempfile,
                                const std::string &localpath, bool durable) {
    // An empty name is a record's absent one.
    if (tempfile.empty() || localpath.empty()) return -1;
    const char *src = tempfile.c_str();
    const char *dst = localpath.c_str();
    // The copy is linked or copied into place as it stands: it must be one
    // that nobody but us could have written.
    if (private_check(src)) return -1;
    // Only the checks of one pass share what they found: anything else
    // may have changed the directories.
    if (step != InstallStep::kCheck) addable_directory_.clear();
    switch (step) {
        case InstallStep::kCheck: {
            // The file must be one we can write, or one we could create:
            // nothing is made yet, so a run that fails here leaves no empty
            // file behind.
            Descriptor fd{open(dst, O_RDWR | O_CLOEXEC)};
            if (fd.fd >= 0) return 0;
            if (errno == ENOENT && creatable(dst, addable_directory_)) return 0;
            // A refusal ends the check: what it found is not carried on.
            addable_directory_.clear();
            return -1;
        }
        case InstallStep::kInstall: {
            PlaceStep failed;
            if (!durable) flush_copies(&state_, src);
            return place_file(&state_, src, dst, -1, durable, &failed);
        }
        case InstallStep::kSelfUpdate:
            state_.self_updated = true;
            return self_update_file(src, dst);
    }
    return -1;
}

void install_finish(RunState &state) {
    for (const std::string &directory : state.renamed_dirs) sync_directory(directory.c_str());
    state.renamed_dirs.clear();
    state.copies_flushed = false;
    state.retiring.reset();
    state.retire_next = true;
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
    if (place_file(nullptr, src, dst, 0755, false, &failed) == 0) return 0;
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
