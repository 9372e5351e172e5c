// The line reader of the protocol clients: one line at a time within the
// transfer budget's waits and a bounded buffer.
#include "support/line_reader.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "support/data_io.h"

int read_line(EngineContext *context, TransferBudget *budget, Connection *connection, char **buffer,
              size_t *size) {
    if (context == nullptr || budget == nullptr || connection == nullptr || buffer == nullptr ||
        size == nullptr || *connection < 0)
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
    for (size_t position = 0;; position++) {
        if (position + 1 == *size) {
            char *grown = nullptr;
            if (*size * 2 <= kLineBufferLimit)
                grown = static_cast<char *>(realloc(*buffer, *size * 2));
            if (grown == nullptr) {
                free(*buffer);
                *buffer = nullptr;
                *size = 0;
                return -1;
            }
            *buffer = grown;
            *size *= 2;
        }
        // The budget is shared by all lines of a reply, so it bounds the
        // time-outs of the whole reply, not of each line.
        while (budget_may_wait(*budget)) {
            int ready = wait_for_data(context, *connection);
            if (ready == 1) break;
            budget_spend(budget);
            // A failed wait was reported already; a blocking recv after it
            // could hang past every time-out.
            if (ready < 0) return -1;
        }
        if (!budget_may_wait(*budget)) return -1;
        char *at = *buffer + position;
        ssize_t count;
        do {
            count = recv(*connection, at, 1, 0);
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            record_error(context, ERR_NET_SYSCALL, "recv");
            connection_close(context, connection, 1);
            return -1;
        }
        if (count == 0) {
            connection_close(context, connection, 1);
            *at = '\0';
        }
        if (*at == '\n') {
            at[1] = '\0';
            return 0;
        }
        if (*at == '\0') return -1;
    }
}
