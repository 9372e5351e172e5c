// The line reader of the protocol clients.
#pragma once

#include <cstddef>

#include "core/context.h"
#include "support/budget.h"
#include "support/connect.h"
#include "support/received.h"

constexpr size_t kLineBufferStart = 4096;
// A line longer than this is refused: no protocol line comes near it, and
// a peer must not make us allocate without bound.
constexpr size_t kLineBufferLimit = size_t{1} << 16;

// Reads one line, line end included, into *buffer (allocated or grown
// here): from what *received holds, receiving more into it when it is
// empty; what comes after the line stays there. The data waits that run
// out are spent from *budget, across calls.
int read_line(EngineContext *context, TransferBudget *budget, Connection *connection,
              Received *received, char **buffer, size_t *size);
