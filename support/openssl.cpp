// Loading OpenSSL's calls from the installed libraries of the version the
// program was built against.
#include "support/openssl.h"

#include <openssl/opensslv.h>

#include "support/shared_library.h"

namespace {

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
