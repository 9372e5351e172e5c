// The download-size policy: no copy grows beyond the size the catalogue
// lists for it, or a fixed bound when it lists none.
#include "support/size_bound.h"

#include <cerrno>

#include "core/error.h"

namespace {

int refuse_oversize(EngineContext *context) {
    errno = EFBIG;
    record_error(context, ERR_FILE_SYSCALL, "write");
    return kTransferTooLarge;
}

}  // namespace

int transfer_bounded(EngineContext *context, int from, int to, uint32_t *remaining, uint32_t offset,
                     uint32_t limit, Reader reader, Writer writer, Md5Context *digest,
                     Received *ahead) {
    if (remaining == nullptr || reader == nullptr || writer == nullptr) return -1;
    if (limit == 0) limit = kUnlistedSizeLimit;
    const uint32_t room = offset < limit ? limit - offset : 0;
    if (*remaining != kTransferAll) {
        if (*remaining <= room)
            return transfer_data(context, from, to, remaining, offset, reader, writer, digest,
                                 ahead);
        *remaining = 0;
        return refuse_oversize(context);
    }
    uint32_t moved = room;
    if (room != 0) {
        int result =
            transfer_data(context, from, to, &moved, offset, reader, writer, digest, ahead);
        if (result < 0 || moved < room) {
            *remaining = moved;
            return result;
        }
    }
    *remaining = room;
    // The room is used up: an honest sender has nothing more to say.
    char probe;
    int count = received_read(context, from, ahead, reader, &probe, 1);
    if (count < 0) return -1;
    return count == 0 ? 0 : refuse_oversize(context);
}
