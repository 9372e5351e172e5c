// Information-file loading: a catalogue of a thousand files, and the largest
// module and kit that fit the parser's stack.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/io.h"
#include "infofile/infofile.h"

namespace {

std::string file_entry(int module, int file) {
    std::string name = "m" + std::to_string(module) + "/file" + std::to_string(file) + ".dat";
    return "<file> sitepath = " + name + " localpath = ${DATADIR}/" + name +
           " size = " + std::to_string(1000 + file) +
           " time = 1038182400 md5 = 00112233445566778899aabbccddeeff </file>\n";
}

// A kit of `modules` modules holding `files` files each.
std::string catalogue(int modules, int files) {
    std::string text =
        "<!-- mirror catalogue -->\n<update> sitepath = qavoupdate localpath = "
        "${BINDIR}/qavoupdate size = 812 time = 900 md5 = 0123456789abcdef0123456789abcdef "
        "</update>\n<kit> name = \"engine kit\"\n";
    for (int m = 0; m < modules; m++) {
        text += "<module> name = module" + std::to_string(m) + " require = base needs = engine\n";
        for (int f = 0; f < files; f++) text += file_entry(m, f);
        text += "</module>\n";
    }
    return text + "</kit>\n";
}

class Catalogue {
   public:
    explicit Catalogue(const std::string &text) {
        snprintf(path_, sizeof path_, "/tmp/qavo-info-bench-%d.info", static_cast<int>(getpid()));
        FILE *file = fopen(path_, "wb");
        if (file == nullptr) return;
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
    }
    ~Catalogue() { unlink(path_); }
    // 1 when the catalogue loads, 0 when it is refused.
    int load() const {
        Io io;
        return update_get_information(io, path_) != nullptr ? 1 : 0;
    }

   private:
    char path_[64];
};

void BM_LoadCatalogue(benchmark::State &state) {
    const int modules = static_cast<int>(state.range(0));
    Catalogue catalogue_file(catalogue(modules, 1000 / modules));
    for (auto _ : state) {
        if (catalogue_file.load() != 1) state.SkipWithError("catalogue refused");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    state.SetLabel(std::to_string(modules) + " modules of " + std::to_string(1000 / modules) +
                   " files");
}
BENCHMARK(BM_LoadCatalogue)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);

// The largest count for which shape(count) still loads, by bisection.
template <typename Shape>
int largest_loading(Shape shape, int low, int high) {
    while (low + 1 < high) {
        int middle = (low + high) / 2;
        if (Catalogue(shape(middle)).load() == 1) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}

void BM_StackLimits(benchmark::State &state) {
    int files = 0, modules = 0;
    for (auto _ : state) {
        files = largest_loading([](int n) { return catalogue(1, n); }, 1, 20000);
        modules = largest_loading([](int n) { return catalogue(n, 1); }, 1, 20000);
    }
    state.counters["files_per_module"] = files;
    state.counters["modules_per_kit"] = modules;
}
BENCHMARK(BM_StackLimits)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
