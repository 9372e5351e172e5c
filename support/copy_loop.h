// The copy loop: moves data from a reader to a writer in chunks, reporting
// progress after every chunk.
#pragma once

#include <cstdint>

#include "integrity/md5.h"
#include "support/data_io.h"
#include "support/received.h"

// Large enough that a download costs a few system calls per 64 KiB rather
// than per page.
constexpr int kTransferChunk = 64 * 1024;
// The count transfer_data takes as "until the end of the data".
constexpr uint32_t kTransferAll = UINT32_MAX;

// Moves *remaining bytes (kTransferAll: to the end); *remaining becomes
// the count moved. Progress is reported as offset plus the count so far.
// With a digest, every byte written is added to it as well. Bytes received
// from `from` ahead of the transfer are moved before any read of it.
int transfer_data(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                  Reader reader, Writer writer, Md5Context *digest = nullptr,
                  Received *ahead = nullptr);
