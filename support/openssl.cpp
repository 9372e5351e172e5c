// Loading OpenSSL's calls from the installed library of the version the
// program was built against.
#include "support/openssl.h"

#include <dlfcn.h>
#include <openssl/opensslv.h>

#include <memory>

namespace {

// libssl brings libcrypto with it; a lookup through libssl's handle finds
// the calls of both.
const std::string kLibrary = "libssl.so." + std::to_string(OPENSSL_VERSION_MAJOR);

struct Loaded {
    std::unique_ptr<OpenSsl> calls;
    std::string why;
};

Loaded load() {
    Loaded loaded;
    // Kept open for the life of the process: sessions may live until exit.
    void *library = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *error = dlerror();
        loaded.why = error != nullptr ? error : kLibrary + ": cannot be loaded";
        return loaded;
    }
    auto calls = std::make_unique<OpenSsl>();
#define QAVO_OPENSSL_LOOKUP(name)                                             \
    calls->name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
    if (calls->name == nullptr) {                                             \
        loaded.why = kLibrary + ": no " #name;                                \
        return loaded;                                                        \
    }
    QAVO_OPENSSL_CALLS(QAVO_OPENSSL_LOOKUP)
#undef QAVO_OPENSSL_LOOKUP
    loaded.calls = std::move(calls);
    return loaded;
}

}  // namespace

const OpenSsl *openssl(std::string &why) {
    static const Loaded loaded = load();
    why = loaded.why;
    return loaded.calls.get();
}
