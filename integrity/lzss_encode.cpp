// LZSS encoder for the publisher: greedy matching over hash chains against
// the same ring the decoder keeps, initial spaces included.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "integrity/lzss.h"

namespace {

constexpr int kHashBits = 14;
constexpr uint32_t kHashSize = 1u << kHashBits;
constexpr int kMaxChain = 512;  // candidates tried per position
constexpr int32_t kNone = -1;

// The decoder's view as one array: 4096 bytes of initial ring content, in
// the order the write position visits them, then the data. Byte v[j] sits
// at ring position (j + kLzssStart) % 4096, and while byte c is being
// produced the ring holds v[c - 4096 .. c - 1].
struct Window {
    std::vector<uint8_t> v;  // 4096 + data length bytes
    size_t size = 0;
    std::array<int32_t, kHashSize> head;
    std::array<int32_t, kLzssRingSize> chain;  // previous index with the same hash, by index % 4096
};

uint32_t hash3(const uint8_t *p) {
    uint32_t key = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    return (key * 2654435761u) >> (32 - kHashBits);
}

void insert(Window *w, size_t j) {
    if (j + 3 > w->size) return;
    uint32_t h = hash3(w->v.data() + j);
    w->chain[j & (kLzssRingSize - 1)] = w->head[h];
    w->head[h] = static_cast<int32_t>(j);
}

// Longest match for v[c..] among the chain; returns its length, sets *from.
int find_match(const Window *w, size_t c, size_t *from) {
    const size_t limit = w->size - c < kLzssMaxMatch ? w->size - c : kLzssMaxMatch;
    if (limit <= kLzssThreshold) return 0;
    int best = 0;
    int32_t candidate = w->head[hash3(w->v.data() + c)];
    for (int tries = 0; candidate != kNone && tries < kMaxChain; tries++) {
        size_t s = static_cast<size_t>(candidate);
        if (s + kLzssRingSize < c) break;  // older than the ring
        size_t n = 0;
        while (n < limit && w->v[s + n] == w->v[c + n]) n++;
        if (static_cast<int>(n) > best) {
            best = static_cast<int>(n);
            *from = s;
            if (n == limit) break;
        }
        candidate = w->chain[s & (kLzssRingSize - 1)];
    }
    return best;
}

// Reads the whole input after 4096 bytes of room for the initial ring.
bool read_all(FILE *input, std::vector<uint8_t> *data) {
    size_t used = kLzssRingSize;
    data->resize(size_t{1} << 16);
    for (;;) {
        if (used == data->size()) data->resize(data->size() * 2);
        used += fread(data->data() + used, 1, data->size() - used, input);
        if (used < data->size()) {
            if (ferror(input)) return false;
            data->resize(used);
            return true;
        }
    }
}

struct Group {
    uint8_t bytes[1 + 2 * 8];
    int length = 1;
    int items = 0;
};

int flush(Group *g, FILE *output) {
    if (g->items == 0) return 0;
    if (fwrite(g->bytes, 1, static_cast<size_t>(g->length), output) !=
        static_cast<size_t>(g->length)) {
        return -1;
    }
    g->bytes[0] = 0;
    g->length = 1;
    g->items = 0;
    return 0;
}

}  // namespace

int lzss_encode(FILE *input, FILE *output) {
    // The hash tables are too large for the stack.
    const auto w = std::make_unique<Window>();
    if (!read_all(input, &w->v)) return -1;
    w->size = w->v.size();
    // Ring positions 4078..4095 (zeros) come first, then 0..4077 (spaces).
    memset(w->v.data(), 0, kLzssRingSize - kLzssStart);
    memset(w->v.data() + kLzssRingSize - kLzssStart, kLzssFill, kLzssStart);
    w->head.fill(kNone);
    for (size_t j = 0; j < kLzssRingSize; j++) insert(w.get(), j);

    Group group;
    group.bytes[0] = 0;
    int result = 0;
    size_t c = kLzssRingSize;
    while (c < w->size && result == 0) {
        size_t from = 0;
        int length = find_match(w.get(), c, &from);
        if (length > kLzssThreshold) {
            uint32_t position = static_cast<uint32_t>((from + kLzssStart) % kLzssRingSize);
            group.bytes[group.length++] = static_cast<uint8_t>(position);
            group.bytes[group.length++] =
                static_cast<uint8_t>((position >> 4 & 0xf0) | (length - kLzssThreshold - 1));
        } else {
            length = 1;
            group.bytes[0] |= static_cast<uint8_t>(1u << group.items);
            group.bytes[group.length++] = w->v[c];
        }
        for (int k = 0; k < length; k++) insert(w.get(), c + static_cast<size_t>(k));
        c += static_cast<size_t>(length);
        if (++group.items == 8) result = flush(&group, output);
    }
    if (result == 0) result = flush(&group, output);
    if (result == 0 && fflush(output) != 0) result = -1;
    return result;
}
