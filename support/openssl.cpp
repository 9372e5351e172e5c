// Loading OpenSSL's calls from the installed libraries of the version the
// program was built against.
#include "support/openssl.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

#include <memory>

namespace {

template <typename Calls>
struct Loaded {
    std::unique_ptr<Calls> calls;
    std::string why;
};

// Opens the library, kept open for the life of the process (sessions and
// digests may live until exit), and hands its handle to `bind`, which looks
// up every call and names the first one missing.
template <typename Calls, typename Bind>
Loaded<Calls> load(const std::string &library_name, Bind bind) {
    Loaded<Calls> loaded;
    void *library = dlopen(library_name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *error = dlerror();
        loaded.why = error != nullptr ? error : library_name + ": cannot be loaded";
        return loaded;
    }
    auto calls = std::make_unique<Calls>();
    const char *missing = bind(library, *calls);
    if (missing != nullptr) {
        loaded.why = library_name + ": no " + missing;
        return loaded;
    }
    loaded.calls = std::move(calls);
    return loaded;
}

#define QAVO_LOOKUP(name)                                                    \
    calls.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
    if (calls.name == nullptr) return #name;

const std::string kVersion = std::to_string(OPENSSL_VERSION_MAJOR);

}  // namespace

const OpenSsl *openssl(std::string &why) {
    // libssl brings libcrypto with it; a lookup through libssl's handle
    // finds the calls of both.
    static const auto loaded =
        load<OpenSsl>("libssl.so." + kVersion, [](void *library, OpenSsl &calls) -> const char * {
            QAVO_OPENSSL_CALLS(QAVO_LOOKUP)
            return nullptr;
        });
    why = loaded.why;
    return loaded.calls.get();
}

const LibCrypto *libcrypto(std::string &why) {
    static const auto loaded = load<LibCrypto>("libcrypto.so." + kVersion,
                                               [](void *library, LibCrypto &calls) -> const char * {
                                                   QAVO_LIBCRYPTO_CALLS(QAVO_LOOKUP)
                                                   return nullptr;
                                               });
    why = loaded.why;
    return loaded.calls.get();
}
