// The versions this updater installed: the SHA-256 of each file it put in
// place, by the file's name on the mirror, kept in the state directory for
// each catalogue with the size and modification time the file had then. A
// run with patches takes a file that still has that size and time to be
// that version instead of reading and digesting it: to choose its patch,
// and in the check, to know it out of date when the manifest lists another
// version. It never makes a file current, which only a digest does: a
// patch chosen from a stale entry fails to decode or to verify, and the
// whole file follows.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/records.h"
#include "support/crypto.h"

class InstalledDigests {
   public:
    // What the open state directory `dir` holds for the catalogue: nothing
    // when the record is absent, damaged or not the updater's own.
    static InstalledDigests read(int dir, const std::string &catalogue);

    // The digest recorded for the file `sitepath` when `info`, its installed
    // file as it is now, has the size and modification time recorded with
    // it; else null.
    const Sha256Value *find(const std::string &sitepath, const struct stat &info) const;

    // Records the files just installed (each verified against the manifest,
    // and not too small to be worth it), keeps the entries of the
    // catalogue's other `files` and drops all others; the record is
    // replaced whole. One that cannot be kept only costs a later run its
    // digests, so nothing is said.
    static void note(int dir, const std::string &catalogue,
                     const std::vector<const FileRecord *> &files,
                     const std::vector<const FileRecord *> &installed);

    // What is recorded of an installed file.
    struct Entry {
        Sha256Value digest{};
        off_t size = 0;
        timespec modified{};
    };

   private:
    bool parse(std::string_view text);

    std::unordered_map<std::string, Entry> entries_;  // by the file's name on the mirror
};
