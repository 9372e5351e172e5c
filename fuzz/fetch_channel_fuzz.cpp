// Fuzz target of the fetcher's channel: arbitrary bytes read as the updater reads the stream,
// frame after frame. What is taken spells back the very bytes it came from, and decodes again.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transfer/fetch_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view rest(reinterpret_cast<const char *>(data), size);
    while (!rest.empty()) {
        const Decoded decoded = channel_decode(rest);
        if (decoded.end == DecodeEnd::kRefused) {
            if (decoded.why.empty()) abort();
            break;
        }
        if (decoded.end == DecodeEnd::kIncomplete) {
            // Only a frame that is not all there may be awaited.
            const int64_t length = channel_frame_length(rest);
            const bool body =
                rest.size() >= kFrameHeader && static_cast<uint8_t>(rest[4]) == tell::Body::kType;
            const size_t needed = body ? kFrameHeader + 4 : static_cast<size_t>(4 + length);
            if (rest.size() >= kFrameHeader && rest.size() >= needed) abort();
            break;
        }
        if (decoded.used < kFrameHeader || decoded.used > rest.size()) abort();
        // Each field has one spelling, so the encoding is the frame itself.
        std::string again;
        channel_encode(again, decoded.message);
        if (again != rest.substr(0, decoded.used)) abort();
        const Decoded twice = channel_decode(again);
        std::string thrice;
        if (twice.end == DecodeEnd::kMessage) channel_encode(thrice, twice.message);
        if (twice.used != again.size() || twice.message.index() != decoded.message.index() ||
            thrice != again)
            abort();
        rest.remove_prefix(decoded.used);
        // A body's bytes follow its frame raw: the receiver takes them itself.
        if (const auto *body = std::get_if<tell::Body>(&decoded.message))
            rest.remove_prefix(std::min<size_t>(body->length, rest.size()));
    }
    return 0;
}
