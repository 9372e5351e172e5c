// Fuzz target of the patch decoder: arbitrary bytes as a patch against a fixed base, the first
// two the target's size. No more than that size reaches the sink; an accepted patch gives it all.
#include <fcntl.h>

#include <string>

#include "feed.h"
#include "support/patch_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string base = [] {  // the seeds' base
        std::string bytes(4096, '\0');
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = static_cast<char>(i * 2654435761u >> 13);
        return bytes;
    }();
    if (size < 2) return 0;
    const uint32_t target_size = data[0] | data[1] << 8;
    const char *path = feed_file(data + 2, size - 2);
    const int fd = path != nullptr ? open(path, O_RDONLY) : -1;
    if (fd < 0) abort();
    uint64_t handed = 0;
    const PatchOutcome outcome = patch_apply(base, fd, static_cast<int64_t>(size - 2), target_size,
                                             [&](const uint8_t *, size_t count) {
                                                 handed += count;
                                                 if (handed > target_size) abort();
                                                 return true;
                                             });
    close(fd);
    if (outcome.ok() != outcome.text.empty() || (outcome.ok() && handed != target_size)) abort();
    return 0;
}
