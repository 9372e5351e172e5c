// MD5 throughput: the core on memory, and md5_file on a 256 MiB file (the
// file named by QAVO_MD5_FILE, or a temporary one made for the run).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "integrity/md5.h"

namespace {

constexpr size_t kFileSize = 256u << 20;

void BM_Md5Update(benchmark::State &state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5a);
    uint8_t digest[kMd5DigestSize];
    for (auto _ : state) {
        Md5Context context;
        md5_init(&context);
        md5_update(&context, data.data(), static_cast<uint32_t>(data.size()));
        md5_final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5Update)->Arg(64)->Arg(4096)->Arg(1 << 20);

// The made file is removed when the program ends.
struct BenchFile {
    std::string path;
    bool made = false;
    BenchFile() {
        const char *given = getenv("QAVO_MD5_FILE");
        if (given != nullptr) {
            path = given;
            return;
        }
        char name[] = "/tmp/qavo-md5-bench-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) return;
        std::vector<uint8_t> block(1 << 20);
        for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<uint8_t>(i * 131 + 7);
        for (size_t done = 0; done < kFileSize; done += block.size()) {
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) break;
        }
        close(fd);
        path = name;
        made = true;
    }
    ~BenchFile() {
        if (made) unlink(path.c_str());
    }
};

void BM_Md5File(benchmark::State &state) {
    static BenchFile file;
    uint8_t digest[kMd5DigestSize];
    for (auto _ : state) {
        if (md5_file(file.path.c_str(), digest, 0, 0) < 0) {
            state.SkipWithError("cannot read the benchmark file");
            break;
        }
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kFileSize));
}
BENCHMARK(BM_Md5File)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
