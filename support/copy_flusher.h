// Complete copies made durable while the next ones arrive. Some disks (a
// virtual disk with a write cache, for one) take a flush in time that grows
// with everything written since the last one, so one flush before
// installation would wait for all of it after the last byte. A copy whose
// flush here succeeded is said to be durable and needs none at its
// installation; any other is flushed there.
#pragma once

#include <unistd.h>

#include <optional>

#include "support/descriptor.h"
#include "support/worker.h"

class CopyFlusher {
   public:
    using Sync = int (*)(int descriptor);
    explicit CopyFlusher(Sync sync = fdatasync) : sync_(sync) {}
    // Finishes the flushes handed over (the flush before installation,
    // which comes next, would wait for the same writes).
    ~CopyFlusher() = default;
    CopyFlusher(const CopyFlusher &) = delete;
    CopyFlusher &operator=(const CopyFlusher &) = delete;

    // Flushes the file open at the descriptor (through a duplicate) in the
    // background and, once its data is on disk, sets `durable` (when
    // given), which must outlive this flusher and is read only after it;
    // nothing when too many wait or no thread can be started.
    void flush(int descriptor, bool *durable = nullptr);

   private:
    static constexpr size_t kWaiting = 4;

    Sync sync_;
    bool failed_ = false;  // no worker could be started
    struct Handed {
        Descriptor copy;
        bool *durable = nullptr;
    };
    // Started with the first flush: most runs have none.
    std::optional<Worker<Handed>> worker_;
};
