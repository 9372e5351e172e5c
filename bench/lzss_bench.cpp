// LZSS throughput: decoding (what the updater does with every catalogue)
// and encoding (the publisher), on catalogue-like text.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "integrity/lzss.h"

namespace {

std::string catalogue_text(size_t size) {
    std::string text;
    for (int i = 0; text.size() < size; i++) {
        text += "<file name=\"part" + std::to_string(i) + ".dat\" size=\"" +
                std::to_string(i * 7919 % 1000003) + "\" md5=\"" + std::to_string(i * 2654435761u) +
                "\" path=\"BINDIR\"/>\n";
    }
    text.resize(size);
    return text;
}

std::string run(int (*codec)(FILE *, FILE *), const std::string &input) {
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "rb");
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    codec(in, out);
    fclose(in);
    fclose(out);
    std::string result(buffer, size);
    free(buffer);
    return result;
}

void BM_LzssDecode(benchmark::State &state) {
    const std::string text = catalogue_text(8u << 20);
    const std::string packed = run(lzss_encode, text);
    for (auto _ : state) benchmark::DoNotOptimize(run(lzss_decode, packed));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["ratio"] = static_cast<double>(packed.size()) / static_cast<double>(text.size());
}
BENCHMARK(BM_LzssDecode)->Unit(benchmark::kMillisecond);

void BM_LzssEncode(benchmark::State &state) {
    const std::string text = catalogue_text(8u << 20);
    for (auto _ : state) benchmark::DoNotOptimize(run(lzss_encode, text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LzssEncode)->Unit(benchmark::kMillisecond);

}  // namespace
