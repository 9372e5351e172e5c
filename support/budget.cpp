// The transfer budget: the `tries` setting and what its 0 means to each of
// the line reader and the three plugins.
#include "support/budget.h"

TransferBudget budget_start(const EngineContext *context) {
    return TransferBudget{context != nullptr ? context->tries : 1, 0};
}

int32_t budget_limit(const TransferBudget &budget) {
    return budget.limit;
}

bool budget_may_wait(const TransferBudget &budget) {
    return budget.used < budget.limit;
}

void budget_spend(TransferBudget *budget) {
    budget->used++;
}

bool budget_file_may_attempt(const TransferBudget &budget) {
    return budget.limit == 0 || budget.used < budget.limit;
}

bool budget_ftp_may_retry(const TransferBudget &budget) {
    return budget.used < budget.limit;
}

void budget_spare_goodbye(TransferBudget *budget) {
    if (budget->used >= budget->limit) budget->used = budget->limit > 0 ? budget->limit - 1 : 0;
}

TransferBudget budget_http_start(const EngineContext *context) {
    return TransferBudget{context != nullptr ? context->tries : 1, -1};
}

bool budget_http_next(TransferBudget *budget) {
    if (budget->limit != 0 && budget->used + 1 >= budget->limit) return false;
    budget->used++;
    return true;
}

TransferBudget *budget_chunk_line(TransferBudget *shared, TransferBudget *own) {
    if (shared->limit != 0) return shared;
    *own = TransferBudget{1, 0};
    return own;
}
