// Fuzzes the line reader with input arriving on a socket pair, in one block
// or in pieces picked by the last byte: every line it accepts ends in a
// newline inside its buffer, no byte is lost or taken twice between the
// lines of a block, and it stops at the end.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/context.h"
#include "fuzz/feed.h"
#include "support/line_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int feed = feed_socket(data, size, size > 0 ? data[size - 1] % 64 : 0);
    if (feed < 0) return 0;
    ErrorRecord error{};
    EngineContext context = fuzz_context(&error);
    Connection connection = feed;
    Received received{};
    TransferBudget budget = budget_start(&context);
    char *buffer = nullptr;
    size_t buffer_size = 0;
    size_t consumed = 0;
    while (connection >= 0) {
        int result = read_line(&context, &budget, &connection, &received, &buffer, &buffer_size);
        if (buffer == nullptr) break;  // the line outgrew the limit
        size_t length = strlen(buffer);
        if (length >= buffer_size) abort();
        // Each line is the next bytes of the input, whatever the receives cut.
        if (consumed + length > size || memcmp(buffer, data + consumed, length) != 0) abort();
        if (result == 0) {
            if (length == 0 || buffer[length - 1] != '\n') abort();
            if (memchr(buffer, '\n', length - 1) != nullptr) abort();
            consumed += length;
        } else {
            consumed += length + (connection >= 0 ? 1 : 0);  // the NUL byte
        }
        if (consumed > size) abort();
    }
    // The peer's data was available all along: no wait may have run out,
    // and reading ended only at the end of the data.
    if (budget.used != 0) abort();
    if (buffer != nullptr && consumed != size) abort();
    free(buffer);
    if (connection >= 0) close(connection);
    return 0;
}
