// A temporary copy of a mirror file, opened once per attempt or check. Copies
// live in a directory that other users may share, so this is the one place
// that opens a copy's path: it applies the ownership checks, the resume rule,
// the size bound and the positioning, and it receives the data itself,
// keeping the running digest of what it holds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "core/io.h"
#include "core/records.h"
#include "support/copy_flusher.h"
#include "support/data_io.h"
#include "support/digest_aside.h"
#include "support/descriptor.h"
#include "support/file_digest.h"
#include "support/received.h"
#include "support/sys_error.h"

// Large enough that a download costs a few system calls per 64 KiB rather
// than per page.
constexpr int kTransferChunk = 64 * 1024;
// A copy's data is sent to the disk in stretches of this size as they
// arrive, while the next ones are still on the wire.
constexpr uint32_t kWritebackStretch = uint32_t{4} << 20;
// The tail of a copy of at least this size is sent when the copy is complete.
constexpr uint32_t kWritebackTail = uint32_t{1} << 20;
// The count receive takes as "until the end of the data".
constexpr uint32_t kTransferAll = UINT32_MAX;
// The most a download may write when the catalogue lists no size for it
// (the catalogue itself included): far above any real catalogue, far below
// what would fill a disk.
constexpr uint32_t kUnlistedSizeLimit = uint32_t{64} << 20;
// The most a copy of a file listed with `size` (0: none) and its own
// `size_bound` (0: none) may hold.
uint32_t copy_bound(int32_t size, uint32_t size_bound);
// How receive ended; both failures are recorded.
enum class CopyOutcome {
    kReceived,
    kFailed,
    kTooLarge,  // the sender had more than the room
};

enum class CopyUse {
    kPrepare,   // the engine's first look: anything under the name that is not
                // a copy of ours is removed unread and an empty copy created
    kRead,      // from the first byte (verification, decompression)
    kResume,    // appended to after what it holds; created when absent
    kContinue,  // appended to after what it holds; never created here
    kEmpty,     // emptied, then written from the first byte (with its digest
                // as for appending, until handed to a stream); never created here
};

class TempCopy {
   public:
    TempCopy() = default;
    TempCopy(const TempCopy &) = delete;
    TempCopy &operator=(const TempCopy &) = delete;

    // Opens file.tempfile for the use, closing what was open: 1 when a copy
    // of ours was there, 0 when it was created, -1 with the failure kept for
    // report() (nothing is reported: the caller knows whether the failure is
    // worth an error). Every use but kRead forgets the file's copy digest;
    // kResume, kContinue and kEmpty digest what the copy holds and keep the
    // digest going as it grows.
    int open(Io &io, FileRecord &file, CopyUse use);
    // Records the failure open() kept (error event) and returns -1.
    int report() const;
    // Why the open failed.
    SysError error() const { return {error_}; }
    // Empties the copy and writes from its first byte again; -1 after
    // recording the failure.
    int truncate();
    // Writes from the first byte again over what the copy holds.
    int rewind();
    // Appends from the descriptor, after what was received from it ahead,
    // moving `remaining` bytes (kTransferAll: to the end), which becomes
    // the count moved. Progress is raised after every chunk. A count beyond
    // the copy's bound (the listed size, the file's size_bound, or
    // kUnlistedSizeLimit), or data
    // still coming once it is reached, is refused with EFBIG recorded for
    // "write" and kTooLarge; nothing beyond the bound is written.
    CopyOutcome receive(int from, uint32_t &remaining, Reader reader, Received *ahead = nullptr);
    // Appends bytes made here (a decoded patch) after what the copy holds,
    // within the bound and without progress: 0, or -1 after recording the
    // failure (EFBIG for "write" past the bound). The bytes must stay where
    // they are, unchanged, until finish_append(): a long run of them is
    // digested on a second core while the next are made. finish_append()
    // hands the digest of what the copy holds to the file record.
    int append(const char *data, uint32_t size);
    void finish_append();
    // Empties the copy and fills it from a file of ours up to its end,
    // within the bound and without progress: a copy kept from an earlier
    // run is no transfer.
    int fill_from(int from);
    // Starts the disk write of what a copy of kWritebackTail bytes or more
    // holds beyond what was already started, without waiting for it, and
    // has the flusher (when given) flush it and then set `durable`: its
    // installation then needs no flush. Where the calls are not supported,
    // nothing.
    void write_back(CopyFlusher *flusher = nullptr, bool *durable = nullptr);
    // A stream over the copy, which then owns the descriptor; null on failure.
    FILE *stream(const char *mode);
    // Takes the copy's size on disk as what it holds: false when it cannot.
    bool measure();
    // Hands the digest of what the copy holds to the file record once the
    // second core that digests a long transfer caught up: a transfer that
    // comes in many receives keeps that core from one to the next, and
    // leaves the record's digest unset meanwhile.
    void settle();

    int fd() const { return fd_.fd; }
    uint32_t held() const { return held_; }

   private:
    // Keeps the failure for report(): `why`, or errno of the call just made.
    int fail(const char *call, SysError why = SysError::last());
    int open_path(const char *path, CopyUse use, bool &found, off_t &size);
    int digest_held(FileRecord &file);
    void publish_digest();
    void restart_digest();
    CopyOutcome refuse_oversize();
    int move(int from, uint32_t &remaining, Reader reader, Received *ahead);
    void write_back_to(uint32_t end);

    Io *io_ = nullptr;  // not owned
    Descriptor fd_;
    uint32_t held_ = 0;             // bytes in the copy; appending continues after them
    uint32_t limit_ = 0;            // the listed size, the file's own bound, or kUnlistedSizeLimit
    int error_ = 0;                 // errno of the call that failed, as it was
    const char *failed_ = nullptr;  // and its name, for the error record
    // A copy opened for appending keeps the digest of what it holds and
    // hands it to its file record after every change (a long transfer: at
    // settle()); null otherwise.
    FileRecord *digested_ = nullptr;
    RunningDigest digest_;
    // The second core digesting what append() lent it (`lends_`) or what
    // receive() put in its buffers; gone before the digest is read or
    // restarted.
    std::optional<DigestAside> aside_;
    bool lends_ = false;
    bool silent_ = false;        // no progress raised while filling from a kept copy
    uint32_t written_back_ = 0;  // the disk write of the copy was started up to here
};
