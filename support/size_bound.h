// The download-size policy: no copy grows beyond the size the catalogue
// lists for it, or a fixed bound when it lists none.
#pragma once

#include <cstdint>

#include "support/copy_loop.h"

// The most a download may write when the catalogue lists no size for it
// (the catalogue itself included): far above any real catalogue, far below
// what would fill a disk.
constexpr uint32_t kUnlistedSizeLimit = uint32_t{64} << 20;
// transfer_bounded's refusal of a sender that has more than the room.
constexpr int kTransferTooLarge = -2;

// transfer_data into a copy that already holds `offset` bytes and may hold
// at most `limit` (0: kUnlistedSizeLimit). A count beyond the limit, or
// data still coming once it is reached, is refused with EFBIG recorded for
// "write" and kTransferTooLarge; nothing beyond the limit is written.
int transfer_bounded(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                     uint32_t limit, Reader reader, Writer writer, Md5Context *digest = nullptr,
                     Received *ahead = nullptr);
