// The transfer budget: the `tries` setting and what its 0 means to each of
// the line reader and the three plugins.
#include "support/budget.h"

TransferBudget budget_start(int32_t tries) {
    return TransferBudget{tries, 0};
}

bool TransferBudget::may_begin(int32_t attempt, ZeroTries zero) const {
    if (attempt == 0 && zero == ZeroTries::kFirstOnly) return true;
    if (limit == 0 && zero == ZeroTries::kWithoutLimit) return true;
    return used < limit;
}

void TransferBudget::spare_goodbye() {
    if (used >= limit) used = limit > 0 ? limit - 1 : 0;
}

TransferBudget &budget_chunk_line(TransferBudget &shared, TransferBudget &own) {
    if (shared.limit != 0) return shared;
    own = TransferBudget{1, 0};
    return own;
}
