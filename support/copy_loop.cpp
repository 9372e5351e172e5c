// The copy loop: moves data from a reader to a writer in chunks,
// reporting progress after every chunk.
#include "support/copy_loop.h"

#include "core/notify.h"

int transfer_data(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                  Reader reader, Writer writer, Md5Context *digest, Received *ahead) {
    if (from == to) return 0;
    if (remaining == nullptr || reader == nullptr || writer == nullptr) return -1;
    char chunk[kTransferChunk];
    uint32_t total = 0;
    int result = 0;
    for (;;) {
        // Up to the next chunk boundary of the copy: after a short read the
        // writes fall on whole pages again.
        int wanted = kTransferChunk - static_cast<int>((offset + total) % kTransferChunk);
        if (*remaining != kTransferAll && *remaining < static_cast<uint32_t>(wanted))
            wanted = static_cast<int>(*remaining);
        int count = received_read(context, from, ahead, reader, chunk, wanted);
        if (count < 0) {
            result = -1;
            break;
        }
        // A reader must not claim more than it was asked for.
        if (count > wanted) count = wanted;
        total += static_cast<uint32_t>(count);
        if (*remaining != kTransferAll) *remaining -= static_cast<uint32_t>(count);
        if (count == 0) break;
        if (notify_progress_bytes(context, static_cast<int>(total + offset)) < 0) {
            result = -1;
            break;
        }
        if (writer(context, to, chunk, count) != count) {
            result = -1;
            break;
        }
        if (digest != nullptr) md5_update(digest, chunk, static_cast<uint32_t>(count));
        if (*remaining == 0) break;
    }
    *remaining = total;
    return result;
}
