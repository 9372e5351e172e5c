// One signature check with the built-in key: what verifying a catalogue
// costs the updater, file reading aside.
#include <benchmark/benchmark.h>

#include <cstring>

#include "integrity/rsa.h"

namespace {

void BM_RsaVerify(benchmark::State &state) {
    uint8_t signature[kRsaSignatureSize];
    for (int i = 0; i < kRsaSignatureSize; i++) signature[i] = static_cast<uint8_t>(i * 37 + 11);
    signature[kRsaSignatureSize - 1] = 0x1f;  // below the modulus, as real signatures are
    uint8_t digest[16] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            rsa_verify(rsa_public_key, digest, sizeof digest, signature, sizeof signature));
    }
}
BENCHMARK(BM_RsaVerify)->Unit(benchmark::kMicrosecond);

}  // namespace
