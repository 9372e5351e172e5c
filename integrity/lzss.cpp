// LZSS decoder: flag bytes (least significant bit first) announce literal
// bytes or 12-bit ring references of 3 to 18 bytes.
#include "integrity/lzss.h"

#include <cstdint>
#include <cstring>

int lzss_decode(FILE *input, FILE *output) {
    uint8_t ring[kLzssRingSize];
    memset(ring, kLzssFill, kLzssStart);
    memset(ring + kLzssStart, 0, kLzssRingSize - kLzssStart);
    uint32_t write = kLzssStart;
    uint32_t flags = 0;

    for (;;) {
        flags >>= 1;
        if ((flags & 0x100) == 0) {
            int c = getc_unlocked(input);
            if (c == EOF) return EOF;
            flags = static_cast<uint32_t>(c) | 0xff00;
        }
        if (flags & 1) {
            int c = getc_unlocked(input);
            if (c == EOF) return EOF;
            putc_unlocked(c, output);
            ring[write] = static_cast<uint8_t>(c);
            write = (write + 1) & (kLzssRingSize - 1);
            continue;
        }
        int low = getc_unlocked(input);
        if (low == EOF) return EOF;
        int high = getc_unlocked(input);
        if (high == EOF) return EOF;
        uint32_t position = static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) & 0xf0) << 4;
        int length = (high & 0x0f) + kLzssThreshold + 1;
        // One byte at a time: an overlapping reference repeats what it writes.
        for (int k = 0; k < length; k++) {
            uint8_t c = ring[(position + k) & (kLzssRingSize - 1)];
            putc_unlocked(c, output);
            ring[write] = c;
            write = (write + 1) & (kLzssRingSize - 1);
        }
    }
}
