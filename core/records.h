// The parsed information file and the engine's working state of each file:
// the info record, its kit, the kit's modules and their files.
#pragma once

#include <cstdint>

struct Vector;

struct FileRecord {
    char *sitepath;    // name on the mirror; empty: never fetched
    char *localpath;   // installation path; empty: fetched but never installed
    char *tempfile;    // temporary copy, null until the engine prepares it
    int32_t time;      // modification time, seconds since 1970 UTC
    int32_t received;  // bytes of the temporary copy already on disk
    int32_t size;
    uint8_t md5[16];  // all zero: no digest listed, checked by signature
    int32_t order;    // <0 pre-install program, >0 post-install, 0 plain file
    // The digest of the temporary copy's first copy_md5_bytes bytes, taken
    // as they were written, so that verification need not read the copy
    // again; set by the copy object, meaningful only while copy_md5_set.
    uint8_t copy_md5[16];
    uint32_t copy_md5_bytes;
    int32_t copy_md5_set;
};

struct ModuleRecord {
    Vector *files;         // FileRecord, owned
    Vector *dependencies;  // ModuleRecord, not owned
    Vector *needs;         // module names, owned
    char *name;
    Vector *requires_;  // module names, owned (`requires` is a C++20 keyword)
    int32_t mark;       // walk state; 0 when no walk is under way
};

struct KitRecord {
    Vector *modules;  // ModuleRecord, owned
    char *name;       // informational only
};

struct InfoRecord {
    FileRecord *update_file;  // the updater's own executable
    KitRecord *kit;
};
