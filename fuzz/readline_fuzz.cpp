// Fuzzes the line reader with input arriving on a socket pair, in one block or in pieces picked by
// the last byte: every line it accepts ends in a newline and holds no other, no byte is lost or
// taken twice between the lines of a block, and it stops at the end.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/feed.h"
#include "support/line_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int feed = feed_socket(data, size, size > 0 ? data[size - 1] % 64 : 0);
    if (feed < 0) return 0;
    EngineContext context = fuzz_context();
    Connection connection = feed;
    Received received{};
    TransferBudget budget = budget_start(context.settings.tries);
    std::string line;
    size_t consumed = 0;
    bool whole = true;
    while (connection >= 0) {
        const LineOutcome result = read_line(context.io, budget, connection, received, line);
        if (result == LineOutcome::kTooLong) {
            if (!line.empty()) abort();
            whole = false;
            break;
        }
        if (line.size() > kLineLimit) abort();
        // Each line is the next bytes of the input, whatever the receives cut.
        if (consumed + line.size() > size || memcmp(line.data(), data + consumed, line.size()) != 0)
            abort();
        if (result == LineOutcome::kWhole) {
            if (line.empty() || line.back() != '\n') abort();
            if (memchr(line.data(), '\n', line.size() - 1) != nullptr) abort();
            if (memchr(line.data(), '\0', line.size()) != nullptr) abort();
            consumed += line.size();
        } else {
            consumed += line.size() + (connection >= 0 ? 1 : 0);  // the NUL byte
        }
        if (consumed > size) abort();
    }
    // The peer's data was there all along: no wait may run out, and reading ends only at its end.
    if (budget.used != 0) abort();
    if (whole && consumed != size) abort();
    if (connection >= 0) close(connection);
    return 0;
}
