// Fuzzes the LZSS decoder on arbitrary streams, and checks that the encoder
// round-trips the same bytes taken as plain data.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "integrity/lzss.h"

namespace {

// Runs codec over data; returns a malloc'd buffer (caller frees).
char *run(int (*codec)(FILE *, FILE *), const uint8_t *data, size_t size, size_t *out_size) {
    static char empty = 0;
    FILE *in =
        size == 0 ? fmemopen(&empty, 1, "rb") : fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (in == nullptr) abort();
    if (size == 0) fgetc(in);
    char *buffer = nullptr;
    FILE *out = open_memstream(&buffer, out_size);
    if (out == nullptr) abort();
    codec(in, out);
    fclose(in);
    fclose(out);
    return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t decoded_size = 0;
    char *decoded = run(lzss_decode, data, size, &decoded_size);
    // Each input byte yields at most 18 output bytes.
    if (decoded_size > 18 * size) abort();
    free(decoded);

    size_t packed_size = 0, back_size = 0;
    char *packed = run(lzss_encode, data, size, &packed_size);
    char *back = run(lzss_decode, reinterpret_cast<uint8_t *>(packed), packed_size, &back_size);
    if (back_size != size || (size > 0 && memcmp(back, data, size) != 0)) abort();
    if (packed_size > size + size / 8 + 1) abort();  // never worse than all literals
    free(packed);
    free(back);
    return 0;
}
