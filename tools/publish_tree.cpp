// Staging trees and their one-step installation in place of a mirror.
#include "tools/publish_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/mirror_desc.h"
#include "tools/publish_util.h"

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

int make_parents(const std::string &root, const std::string &sitepath) {
    for (size_t slash = sitepath.find('/'); slash != std::string::npos;
         slash = sitepath.find('/', slash + 1)) {
        const std::string dir = root + "/" + sitepath.substr(0, slash);
        if (mkdir(dir.c_str(), kDirMode) < 0 && errno != EEXIST) return -1;
        if (chmod(dir.c_str(), kDirMode) < 0) return -1;
    }
    return 0;
}

int remove_tree(const std::string &path) {
    return nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// An existing target is replaced only when it is empty or was published by
// this command: a typing slip must not wipe an unrelated directory.
int check_target(const std::string &target, bool *exists) {
    struct stat info;
    *exists = false;
    if (lstat(target.c_str(), &info) < 0) {
        if (errno == ENOENT) return kExitOk;
        return fail(system_error("cannot examine", target));
    }
    if (!S_ISDIR(info.st_mode)) return fail(target + " exists and is not a directory");
    *exists = true;
    if (access((target + "/" + kMirrorMarker).c_str(), F_OK) == 0) return kExitOk;
    bool empty = true;
    DIR *dir = opendir(target.c_str());
    if (dir == nullptr) return fail(system_error("cannot read", target));
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
    }
    closedir(dir);
    if (!empty) {
        return fail("refusing to replace " + target +
                    ": it is not empty and was not published by qavopublish build");
    }
    return kExitOk;
}

int install_tree(Staging *staging, const std::string &target, bool exists) {
    if (chmod(staging->path.c_str(), kDirMode) < 0) {
        return fail(system_error("cannot set the mode of", staging->path));
    }
    if (!exists) {
        if (rename(staging->path.c_str(), target.c_str()) < 0) {
            return fail(system_error("cannot rename the new mirror to", target));
        }
        staging->path.clear();
        return kExitOk;
    }
    // Swapping keeps a complete mirror at TARGET at every moment; the
    // staging name then holds the old tree, which the guard removes.
    if (renameat2(AT_FDCWD, staging->path.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) ==
        0) {
        return kExitOk;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return fail(system_error("cannot put the new mirror in place of", target));
    }
    // A file system without exchange: two renames, with a short gap.
    Staging old;
    old.path = target + ".old-XXXXXX";
    if (mkdtemp(old.path.data()) == nullptr || rmdir(old.path.c_str()) < 0 ||
        rename(target.c_str(), old.path.c_str()) < 0) {
        old.path.clear();
        return fail(system_error("cannot move the old mirror away from", target));
    }
    if (rename(staging->path.c_str(), target.c_str()) < 0) {
        const int saved = errno;
        rename(old.path.c_str(), target.c_str());
        old.path.clear();
        errno = saved;
        return fail(system_error("cannot rename the new mirror to", target));
    }
    staging->path.clear();
    return kExitOk;
}
