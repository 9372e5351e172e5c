// LZSS encoder for the publisher: greedy matching over hash chains against
// the same ring the decoder keeps, initial spaces included.
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
    uint8_t *v;
    size_t size;  // 4096 + data length
    int32_t head[kHashSize];
    int32_t chain[kLzssRingSize];  // previous index with the same hash, by index % 4096
};

uint32_t hash3(const uint8_t *p) {
    uint32_t key = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    return (key * 2654435761u) >> (32 - kHashBits);
}

void insert(Window *w, size_t j) {
    if (j + 3 > w->size) return;
    uint32_t h = hash3(w->v + j);
    w->chain[j & (kLzssRingSize - 1)] = w->head[h];
    w->head[h] = static_cast<int32_t>(j);
}

// Longest match for v[c..] among the chain; returns its length, sets *from.
int find_match(const Window *w, size_t c, size_t *from) {
    const size_t limit = w->size - c < kLzssMaxMatch ? w->size - c : kLzssMaxMatch;
    if (limit <= kLzssThreshold) return 0;
    int best = 0;
    int32_t candidate = w->head[hash3(w->v + c)];
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
uint8_t *read_all(FILE *input, size_t *size) {
    size_t capacity = 1 << 16;
    size_t used = kLzssRingSize;
    uint8_t *data = static_cast<uint8_t *>(malloc(capacity));
    if (data == nullptr) return nullptr;
    for (;;) {
        if (used == capacity) {
            uint8_t *grown = static_cast<uint8_t *>(realloc(data, capacity * 2));
            if (grown == nullptr) break;
            data = grown;
            capacity *= 2;
        }
        used += fread(data + used, 1, capacity - used, input);
        if (used < capacity) {
            if (ferror(input)) break;
            *size = used;
            return data;
        }
    }
    free(data);
    return nullptr;
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
    Window *w = static_cast<Window *>(malloc(sizeof(Window)));
    if (w == nullptr) return -1;
    w->v = read_all(input, &w->size);
    if (w->v == nullptr) {
        free(w);
        return -1;
    }
    // Ring positions 4078..4095 (zeros) come first, then 0..4077 (spaces).
    memset(w->v, 0, kLzssRingSize - kLzssStart);
    memset(w->v + kLzssRingSize - kLzssStart, kLzssFill, kLzssStart);
    for (uint32_t h = 0; h < kHashSize; h++) w->head[h] = kNone;
    for (size_t j = 0; j < kLzssRingSize; j++) insert(w, j);

    Group group;
    group.bytes[0] = 0;
    int result = 0;
    size_t c = kLzssRingSize;
    while (c < w->size && result == 0) {
        size_t from = 0;
        int length = find_match(w, c, &from);
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
        for (int k = 0; k < length; k++) insert(w, c + static_cast<size_t>(k));
        c += static_cast<size_t>(length);
        if (++group.items == 8) result = flush(&group, output);
    }
    if (result == 0) result = flush(&group, output);
    if (result == 0 && fflush(output) != 0) result = -1;
    free(w->v);
    free(w);
    return result;
}
