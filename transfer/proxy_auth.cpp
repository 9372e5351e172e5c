// Proxy authentication "basic": user and password of the proxy URL, as
// decoded by the URL parser, joined by a colon and sent in base64.
#include "transfer/proxy_auth.h"

#include <openssl/evp.h>

#include <vector>

std::optional<ProxyAuth> proxy_auth_parse(std::string_view word) {
    if (word == "none") return ProxyAuth::kNone;
    if (word == "basic") return ProxyAuth::kBasic;
    return std::nullopt;
}

std::optional<std::string> proxy_authorization(ProxyAuth method, const Url &proxy) {
    if (method != ProxyAuth::kBasic || !proxy.user || proxy.user->empty()) return std::nullopt;
    const std::string login = *proxy.user + ":" + proxy.password.value_or("");
    // Four bytes for every three, and the NUL that the encoder writes.
    std::vector<unsigned char> encoded((login.size() + 2) / 3 * 4 + 1);
    const int length =
        EVP_EncodeBlock(encoded.data(), reinterpret_cast<const unsigned char *>(login.data()),
                        static_cast<int>(login.size()));
    if (length < 0) return std::nullopt;
    return "Basic " +
           std::string(reinterpret_cast<const char *>(encoded.data()), static_cast<size_t>(length));
}

std::string proxy_auth_masked(std::string_view value) {
    return std::string(value.substr(0, value.find(' '))) + " ****";
}
