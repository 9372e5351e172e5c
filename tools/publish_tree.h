// The directory trees `qavopublish build` makes: a staging tree beside the
// target, removed unless handed over, and the one-step swap that puts it in
// place of the mirror it replaces.
#pragma once

#include <sys/types.h>

#include <string>

constexpr mode_t kDirMode = 0755;  // served to anonymous FTP and HTTP

// Makes the directories of SITEPATH under ROOT (mode kDirMode); 0 or -1.
int make_parents(const std::string &root, const std::string &sitepath);

// Removes the tree at PATH, links as links; 0 or -1.
int remove_tree(const std::string &path);

// A directory tree under construction; removed unless handed over.
struct Staging {
    std::string path;
    ~Staging() {
        if (!path.empty()) remove_tree(path);
    }
};

// Whether TARGET may be replaced: kExitOk, with *EXISTS, or the status of
// the reported refusal.
int check_target(const std::string &target, bool *exists);
// Puts the finished tree at TARGET; the old tree, if any, is removed after.
int install_tree(Staging *staging, const std::string &target, bool exists);
