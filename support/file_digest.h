// The digest a file is checked by, and its running form that a copy keeps
// while it is written: the catalogue's MD5, or the SHA-256 of the file's
// manifest, which then takes the MD5's place everywhere.
#pragma once

#include <cstdint>
#include <optional>

#include "core/records.h"
#include "integrity/md5.h"
#include "support/crypto.h"

// Whether the record lists a digest to compare with: its manifest's SHA-256
// or a non-zero MD5 (a file with neither is checked by its signature).
bool file_digest_listed(const FileRecord &file);
// Whether exactly `length` bytes from the descriptor's position have the
// digest the record lists; `taken`, when given, receives the SHA-256 that
// was measured for a manifest's digest (left as it was when none was).
bool file_digest_fd_matches(const FileRecord &file, int descriptor, int64_t length,
                            std::optional<Sha256Value> *taken = nullptr);

class RunningDigest {
   public:
    // Starts empty, of the kind the record is checked by.
    void start(const FileRecord &file);
    void update(const void *data, uint32_t size);
    // Adds exactly `length` bytes from the descriptor's position; false on
    // a short read.
    bool update_fd(int descriptor, int64_t length);
    // Hands the digest of what was added so far to the record's copy
    // digest; false (and the record's copy digest unset) when it cannot.
    bool publish(FileRecord &file) const;

   private:
    Md5Context md5_{};
    // Only for a record with a manifest digest: a run without a manifest
    // never loads libcrypto.
    std::optional<Sha256> sha256_;
    bool failed_ = false;
};
