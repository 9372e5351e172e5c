// Fuzzes the LZSS decoder on arbitrary streams; the encoder must round-trip them as plain data.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "integrity/lzss.h"

namespace {

std::string run(int (*codec)(FILE *, FILE *), const uint8_t *data, size_t size) {
    static char empty = 0;
    FILE *in =
        size == 0 ? fmemopen(&empty, 1, "rb") : fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (in == nullptr) abort();
    if (size == 0) fgetc(in);
    char *buffer = nullptr;
    size_t written = 0;
    FILE *out = open_memstream(&buffer, &written);
    if (out == nullptr) abort();
    codec(in, out);
    fclose(in);
    fclose(out);
    std::string result(buffer, written);
    free(buffer);  // open_memstream's own buffer
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Each input byte yields at most 18 output bytes.
    if (run(lzss_decode, data, size).size() > 18 * size) abort();

    const std::string packed = run(lzss_encode, data, size);
    const std::string back =
        run(lzss_decode, reinterpret_cast<const uint8_t *>(packed.data()), packed.size());
    if (back != std::string(reinterpret_cast<const char *>(data), size)) abort();
    if (packed.size() > size + size / 8 + 1) abort();  // never worse than all literals
    return 0;
}
