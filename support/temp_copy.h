// A temporary copy of a mirror file, opened once per attempt or check. Copies
// live in a directory that other users may share, so this is the one place
// that opens a copy's path: it applies the ownership checks, the resume rule,
// the size bound and the positioning, and hands out the open descriptor.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/context.h"
#include "core/records.h"
#include "integrity/md5.h"
#include "support/size_bound.h"

enum class CopyUse {
    kPrepare,   // the engine's first look: anything under the name that is not
                // a copy of ours is removed unread and an empty copy created
    kRead,      // from the first byte (verification, decompression)
    kResume,    // appended to after what it holds; created when absent
    kContinue,  // appended to after what it holds; never created here
    kEmpty,     // emptied, then written from the first byte (with its digest
                // as for appending, until handed to a stream); never created here
};

struct TempCopy {
    int fd = -1;
    uint32_t held = 0;             // bytes in the copy; appending continues after them
    uint32_t limit = 0;            // the listed size, or kUnlistedSizeLimit
    int error = 0;                 // errno of the call that failed
    const char *failed = nullptr;  // and its name, for the error record
    // A copy opened for appending keeps the digest of what it holds and
    // hands it to its file record after every change; null otherwise.
    FileRecord *digested = nullptr;
    Md5Context digest;
    TempCopy() = default;
    TempCopy(const TempCopy &) = delete;
    TempCopy &operator=(const TempCopy &) = delete;
    ~TempCopy();
};

// Opens file->tempfile for the use: 1 when a copy of ours was there, 0 when
// it was created, -1 with copy->error and copy->failed set (nothing is
// reported: the caller knows whether the failure is worth an error).
// Every use but kRead forgets the file's copy digest; kResume, kContinue
// and kEmpty digest what the copy holds and keep the digest going as it
// grows.
int copy_open(EngineContext *context, FileRecord *file, CopyUse use, TempCopy *copy);
// Records the failure copy_open left in the copy (UI_ERROR) and returns -1.
int copy_report(EngineContext *context, const TempCopy *copy);
// Empties the copy and writes from its first byte again; -1 after
// recording the failure.
int copy_truncate(EngineContext *context, TempCopy *copy);
// Writes from the first byte again over what the copy holds.
int copy_rewind(TempCopy *copy);
// Appends from the descriptor, after what was received from it ahead,
// within the copy's bound (see transfer_bounded), moving *remaining bytes or
// all when kTransferAll.
int copy_receive(EngineContext *context, TempCopy *copy, int from, uint32_t *remaining,
                 Reader reader, Received *ahead = nullptr);
// A stream over the copy, which then owns the descriptor; null on failure.
FILE *copy_stream(TempCopy *copy, const char *mode);
