// The parsed information file and the engine's working state of each file:
// the info record, its kit, the kit's modules and their files. Each record
// owns what it holds; a module's dependencies point at modules of its kit.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A copy kept between runs and the server's validators of it.
struct KeptCopy {
    std::string key;            // the URL it comes from, without login
    std::string last_modified;  // as the server sent them; empty: none
    std::string etag;
    bool reused = false;   // the server said unchanged: the copy holds the kept one
    bool refused = false;  // the kept one failed its checks: ask without a condition
};

struct FileRecord {
    std::optional<std::string> sitepath;   // name on the mirror; empty: never fetched
    std::optional<std::string> localpath;  // installation path; empty: fetched, never installed
    bool localpath_expanded = false;       // its placeholders replaced (never twice)
    std::string tempfile;                  // temporary copy; empty until the engine prepares it
    int32_t time = 0;                      // modification time, seconds since 1970 UTC
    int32_t received = 0;                  // bytes of the temporary copy already on disk
    // The copy's data is on disk (flushed while later files arrived), so
    // its installation needs no flush of it. Set by the flushing thread,
    // read once the downloads are over.
    bool copy_durable = false;
    int32_t size = 0;
    // The copy's bound when no size is listed; 0: the bound of any such
    // download (kUnlistedSizeLimit).
    uint32_t size_bound = 0;
    // Asked for in case the mirror has it (the patch index, a patch): its
    // absence (HTTP 404 or 410, FTP 550) ends the attempts at that mirror
    // and, over HTTP, costs no connection.
    bool optional = false;
    uint8_t md5[16] = {};  // all zero: no digest listed, checked by signature
    int32_t order = 0;     // <0 pre-install program, >0 post-install, 0 plain file
    // The SHA-256 the catalogue's manifest lists; when set, it and the size
    // take the MD5's place in every comparison.
    std::array<uint8_t, 32> sha256 = {};
    bool sha256_set = false;
    // The digest (MD5, or SHA-256 when sha256_set) of the temporary copy's
    // first copy_digest_bytes bytes, taken as they were written, so that
    // verification need not read the copy again; meaningful only while
    // copy_digest_set.
    std::array<uint8_t, 32> copy_digest = {};
    uint32_t copy_digest_bytes = 0;
    bool copy_digest_set = false;
    // The SHA-256 of the installed file, when the check of a file with a
    // manifest's digest took it (the installed file had the listed size):
    // the version a patch would start from, not digested again.
    std::optional<std::array<uint8_t, 32>> installed_sha256;
    // Set on a file that a copy kept from an earlier run may answer (the
    // catalogue and its manifest over HTTP): what the fetch learnt of it.
    // Held apart, since a catalogue may list thousands of files.
    std::unique_ptr<KeptCopy> kept;
};

struct ModuleRecord {
    std::vector<std::unique_ptr<FileRecord>> files;
    std::vector<ModuleRecord *> dependencies;  // modules of the same kit
    std::vector<std::string> needs;
    std::optional<std::string> name;     // a module may be nameless
    std::vector<std::string> requires_;  // `requires` is a C++20 keyword
    int32_t mark = 0;                    // walk state; 0 when no walk is under way
};

struct KitRecord {
    std::vector<std::unique_ptr<ModuleRecord>> modules;
    std::optional<std::string> name;  // informational only
};

struct InfoRecord {
    std::unique_ptr<FileRecord> update_file;  // the updater's own executable
    std::unique_ptr<KitRecord> kit;
};
