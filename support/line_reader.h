// The line reader of the protocol clients.
#pragma once

#include <cstddef>
#include <string>

#include "core/io.h"
#include "support/budget.h"
#include "support/connect.h"
#include "support/received.h"

// A line longer than this (its end included) is refused: no protocol line
// comes near it, and a peer must not make us allocate without bound.
constexpr size_t kLineLimit = (size_t{1} << 16) - 1;

// How read_line ended.
enum class LineOutcome {
    kWhole,    // a line with its end
    kFailed,   // what came of the line is all there is (recorded where a call failed)
    kTooLong,  // beyond kLineLimit: the line is emptied
};

// Reads one line, line end included, into `line`: from what `received`
// holds, receiving more into it when it is empty; what comes after the
// line stays there. The data waits that run out are spent from `budget`,
// across calls. kFailed leaves what came of the line (up to a NUL byte,
// which fails the line).
LineOutcome read_line(Io &io, TransferBudget &budget, Connection &connection, Received &received,
                      std::string &line);
