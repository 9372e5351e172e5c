// Complete copies made durable while the next ones arrive. Some disks (a
// virtual disk with a write cache, for one) take a flush in time that grows
// with everything written since the last one, so the one flush before
// installation would wait for all of it after the last byte. Nothing relies
// on these flushes: that one still makes every copy durable before any is
// installed, and a copy that was not flushed here is simply flushed there.
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
    // background; nothing when too many wait or no thread can be started.
    void flush(int descriptor);

   private:
    static constexpr size_t kWaiting = 4;

    Sync sync_;
    bool failed_ = false;  // no worker could be started
    // Started with the first flush: most runs have none.
    std::optional<Worker<Descriptor>> worker_;
};
