// The attempt and time-out budget of one file's transfer. The configured
// count of attempts starts it (the engine's fetch hands it in, the one
// reader of the setting below the front end), and this is the one place
// that says what each user makes of a count of 0.
#pragma once

#include <cstdint>

// What a count of 0 attempts means to a protocol.
enum class ZeroTries {
    kWithoutLimit,  // attempts without limit; a negative count allows none
    kFirstOnly,     // the first attempt only, whatever the count, and that one
                    // cannot wait for any reply
};

struct TransferBudget {
    int32_t limit = 0;  // the configured count; what 0 means depends on who asks
    int32_t used = 0;   // attempts ended plus data waits that ran out

    // The line reader and the FTP data accept: whether one more data wait
    // may run out. With 0 none may, so a read that has to wait fails at once.
    bool may_wait() const { return used < limit; }
    void spend() { used++; }
    // Whether attempt number `attempt` (from 0) of the file may begin.
    bool may_begin(int32_t attempt, ZeroTries zero) const;
    // The FTP goodbye gets one wait of its own even when the last file spent
    // the budget, so a clean run does not end on a reply it could not read.
    void spare_goodbye();
};

// A fresh budget for one file of the configured count of attempts.
TransferBudget budget_start(int32_t tries);

// What a chunk-size line's waits draw on: the reply's shared budget, or
// with 0 (attempts without limit, which would stop the reader before its
// first wait) one expired wait of the line's own, set up in `own`.
TransferBudget &budget_chunk_line(TransferBudget &shared, TransferBudget &own);
