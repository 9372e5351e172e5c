// Shared machinery of the transfer code and the engine: the sliced data
// wait, readers and writers, the copy loop, the line reader, the program
// runner and the path normaliser.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/budget.h"
#include "support/connect.h"

struct EngineContext;

// Readers return the count read (0 at the end of the data) or -1; writers
// the count written or -1. Both report their own failures.
using Reader = int (*)(EngineContext *context, int descriptor, void *buffer, int length);
using Writer = int (*)(EngineContext *context, int descriptor, const void *buffer, int length);

constexpr int kTransferChunk = 4096;
constexpr size_t kLineBufferStart = 4096;
// A line longer than this is refused: no protocol line comes near it, and
// a peer must not make us allocate without bound.
constexpr size_t kLineBufferLimit = size_t{1} << 16;
// The count transfer_data takes as "until the end of the data".
constexpr uint32_t kTransferAll = UINT32_MAX;
constexpr int kExecFailedStatus = 127;
// The most a download may write when the catalogue lists no size for it
// (the catalogue itself included): far above any real catalogue, far below
// what would fill a disk.
constexpr uint32_t kUnlistedSizeLimit = uint32_t{64} << 20;

int wait_for_data(EngineContext *context, int descriptor);
int socket_read(EngineContext *context, int descriptor, void *buffer, int length);
int file_read(EngineContext *context, int descriptor, void *buffer, int length);
int file_write(EngineContext *context, int descriptor, const void *buffer, int length);
int transfer_data(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                  Reader reader, Writer writer);
// transfer_bounded's refusal of a sender that has more than the room.
constexpr int kTransferTooLarge = -2;
// transfer_data into a copy that already holds `offset` bytes and may hold
// at most `limit` (0: kUnlistedSizeLimit). A count beyond the limit, or
// data still coming once it is reached, is refused with EFBIG recorded for
// "write" and kTransferTooLarge; nothing beyond the limit is written.
int transfer_bounded(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                     uint32_t limit, Reader reader, Writer writer);
// Reads one line, line end included, into *buffer (allocated or grown
// here). The data waits that run out are spent from *budget, across calls.
int read_line(EngineContext *context, TransferBudget *budget, Connection *connection, char **buffer,
              size_t *size);
int run_program(EngineContext *context, const char *path, int *status);
int normalize_path(char *path);
