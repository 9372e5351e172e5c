// The attempt and time-out budget of one file's transfer. The configured
// count of attempts is read here and nowhere else below the front end, and
// this is the one place that says what each user makes of a count of 0.
#pragma once

#include <cstdint>

#include "core/context.h"

struct TransferBudget {
    int32_t limit;  // the configured count; what 0 means depends on who asks
    int32_t used;   // attempts begun plus data waits that ran out
};

// A fresh budget for one file (one attempt only without a context).
TransferBudget budget_start(const EngineContext *context);
// The count the retry and spinner events show next to the one used.
int32_t budget_limit(const TransferBudget &budget);

// The line reader and the FTP data accept: whether one more data wait may
// run out. With 0 none may, so a read that has to wait fails at once.
bool budget_may_wait(const TransferBudget &budget);
void budget_spend(TransferBudget *budget);

// file://: whether an attempt may begin; 0 means without limit.
bool budget_file_may_attempt(const TransferBudget &budget);
// FTP: the same; 0 means the first attempt only, and that one cannot wait
// for any reply.
bool budget_ftp_may_retry(const TransferBudget &budget);
// The FTP goodbye gets one wait of its own even when the last file spent
// the budget, so a clean run does not end on a reply it could not read.
void budget_spare_goodbye(TransferBudget *budget);

// HTTP counts the attempt under way from 0, and the expired waits of
// chunk-size lines add to that count. budget_http_start is one below the
// first attempt; budget_http_next begins the next one when there is room
// (0 means without limit).
TransferBudget budget_http_start(const EngineContext *context);
bool budget_http_next(TransferBudget *budget);
// What a chunk-size line's waits draw on: the reply's shared budget, or
// with 0 (attempts without limit, which would stop the reader before its
// first wait) one expired wait of the line's own, set up in *own.
TransferBudget *budget_chunk_line(TransferBudget *shared, TransferBudget *own);
