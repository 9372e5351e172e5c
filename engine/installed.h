// How installed files stand against their records. A run that finds
// nothing to do spends most of its time digesting installed files, so the
// walk has the states of a module's files taken on a second core ahead of
// it, while it compares them one after the other in its own order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/context.h"
#include "core/records.h"
#include "engine/installed_digests.h"
#include "support/worker.h"

// Replaces the placeholders of the record's installed path and normalises
// it, once: false (the path left as it was) when one has no value.
bool expand_localpath(EngineContext *context, FileRecord &file);

// The file's installed path (expanded) against the record: 1 with the
// listed size and digest, 0 with the size only, -1 without the size (or
// absent). It is opened once and examined through the descriptor, without
// blocking on whatever may stand under its name. A SHA-256 it measures is
// kept in the record (installed_sha256). With `recorded`, a file with a
// manifest's digest that still stands as recorded for another version is
// out of date without being read, and the recorded digest is kept as if
// measured; one recorded as the listed version is digested all the same,
// since only a digest may find a file current.
int installed_state(FileRecord &file, const InstalledDigests *recorded = nullptr);

class CheckAhead {
   public:
    // Expands the installed paths of the files the walk will compare, up
    // to the first that cannot be, and when there is enough to digest
    // starts taking their states, with the record of installed versions
    // when there is one to use.
    CheckAhead(EngineContext *context, const std::vector<std::unique_ptr<FileRecord>> &files,
               const InstalledDigests *recorded = nullptr);
    // Stops taking states (the one under way is finished).
    ~CheckAhead();
    CheckAhead(const CheckAhead &) = delete;
    CheckAhead &operator=(const CheckAhead &) = delete;

    // installed_state of the file: taken ahead, waited for, or taken now.
    int state(FileRecord &file);

   private:
    // Where a file's state stands; its answer is read once it is kDone.
    // As wide as an int, so a wait sleeps on the entry itself, not on a
    // slot shared with its neighbours that each of their wakes disturbs.
    enum class Entry : int32_t {
        kUnforeseen,  // not looked at ahead: the walk takes it when asked
        kPending,     // to be taken by whichever side claims it first
        kClaimed,     // being digested by the side that claimed it
        kDone,
    };
    // Takes the entry's state unless the other side claimed it first.
    void take(size_t index);
    void sweep(size_t first);

    std::vector<FileRecord *> files_;
    const InstalledDigests *recorded_;
    std::unique_ptr<std::atomic<Entry>[]> entries_;
    std::unique_ptr<int[]> answers_;  // installed_state's, written before kDone
    size_t asked_ = 0;                // where the walk's next question is looked for
    std::atomic<bool> stop_{false};
    std::optional<Worker<size_t>> worker_;  // handed the first file of its sweep
};
