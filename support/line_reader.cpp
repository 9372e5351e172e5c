// The line reader of the protocol clients: one line at a time within the
// transfer budget's waits and a bounded buffer.
#include "support/line_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Makes room for at least one more byte and the terminator; false (the
// buffer released) when the line outgrew the limit or memory ran out.
bool room_for_more(char **buffer, size_t *size, size_t position) {
    if (position + 1 < *size) return true;
    char *grown = nullptr;
    if (*size * 2 <= kLineBufferLimit) grown = static_cast<char *>(realloc(*buffer, *size * 2));
    if (grown == nullptr) {
        free(*buffer);
        *buffer = nullptr;
        *size = 0;
        return false;
    }
    *buffer = grown;
    *size *= 2;
    return true;
}

}  // namespace

int read_line(EngineContext *context, TransferBudget *budget, Connection *connection,
              Received *received, char **buffer, size_t *size) {
    if (context == nullptr || budget == nullptr || connection == nullptr || received == nullptr ||
        buffer == nullptr || size == nullptr || *connection < 0)
        return -1;
    if (*size == 0 || *buffer == nullptr) {
        char *fresh = static_cast<char *>(realloc(*buffer, kLineBufferStart));
        if (fresh == nullptr) {
            *size = 0;
            return -1;
        }
        *buffer = fresh;
        *size = kLineBufferStart;
    }
    (*buffer)[0] = '\0';
    // The budget is shared by all lines of a reply, so it bounds the
    // time-outs of the whole reply, not of each line; spent, it lets no
    // line be taken at all.
    if (!budget_may_wait(*budget)) return -1;
    for (size_t position = 0;;) {
        if (!room_for_more(buffer, size, position)) return -1;
        while (received_empty(*received)) {
            const int got = received_refill(context, *connection, received);
            if (got > 0) break;
            if (got == kWaitExpired || got == kWaitFailed) {
                budget_spend(budget);
                // A failed wait was reported already; a blocking recv after
                // it could hang past every time-out.
                if (got == kWaitFailed || !budget_may_wait(*budget)) return -1;
                continue;
            }
            // The end of the data or a failed receive (recorded): what came
            // of the line is all there is.
            connection_close(context, connection, 1);
            (*buffer)[position] = '\0';
            return -1;
        }
        // Up to the line end or a NUL byte, as far as the buffer has room.
        const char *from = received->bytes + received->start;
        size_t count = std::min<size_t>(received->end - received->start, *size - 1 - position);
        size_t stop = 0;
        while (stop < count && from[stop] != '\n' && from[stop] != '\0') stop++;
        const bool ended = stop < count;
        if (ended) count = stop + 1;
        memcpy(*buffer + position, from, count);
        received->start += static_cast<uint32_t>(count);
        position += count;
        if (!ended) continue;
        (*buffer)[position] = '\0';
        // A NUL from the peer ends the text as every later string use sees
        // it: the line fails there and the rest of it stays unread.
        return from[stop] == '\n' ? 0 : -1;
    }
}
