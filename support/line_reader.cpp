// The line reader of the protocol clients: one line at a time within the
// transfer budget's waits and a bounded buffer.
#include "support/line_reader.h"

#include <algorithm>

LineOutcome read_line(Io &io, TransferBudget &budget, Connection &connection, Received &received,
                      std::string &line) {
    line.clear();
    if (connection < 0) return LineOutcome::kFailed;
    // The budget is shared by all lines of a reply, so it bounds the
    // time-outs of the whole reply, not of each line; spent, it lets no
    // line be taken at all.
    if (!budget.may_wait()) return LineOutcome::kFailed;
    for (;;) {
        if (line.size() >= kLineLimit) {
            line.clear();
            return LineOutcome::kTooLong;
        }
        while (received_empty(received)) {
            const ReceiveEnd got = received_refill(io, connection, &received).end;
            if (got == ReceiveEnd::kData) break;
            if (got == ReceiveEnd::kExpired || got == ReceiveEnd::kWaitFailed) {
                budget.spend();
                // A failed wait was reported already; a blocking recv after
                // it could hang past every time-out.
                if (got == ReceiveEnd::kWaitFailed || !budget.may_wait())
                    return LineOutcome::kFailed;
                continue;
            }
            // The end of the data or a failed receive (recorded): what came
            // of the line is all there is.
            received_close(io, connection, received, true);
            return LineOutcome::kFailed;
        }
        // Up to the line end or a NUL byte, as far as the bound leaves room.
        const char *from = received.bytes + received.start;
        size_t count = std::min<size_t>(received.end - received.start, kLineLimit - line.size());
        size_t stop = 0;
        while (stop < count && from[stop] != '\n' && from[stop] != '\0') stop++;
        const bool ended = stop < count;
        if (ended) count = stop + 1;
        received.start += static_cast<uint32_t>(count);
        if (!ended) {
            line.append(from, count);
            continue;
        }
        // A NUL from the peer ends the text as every later string use sees
        // it: the line fails there and the rest of it stays unread.
        const bool newline = from[stop] == '\n';
        line.append(from, newline ? count : stop);
        return newline ? LineOutcome::kWhole : LineOutcome::kFailed;
    }
}
