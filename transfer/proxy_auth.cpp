// Proxy authentication "basic": user and password of the proxy URL, as
// decoded by the URL parser, joined by a colon and sent in base64.
#include "transfer/proxy_auth.h"

#include <cstdint>

std::optional<ProxyAuth> proxy_auth_parse(std::string_view word) {
    if (word == "none") return ProxyAuth::kNone;
    if (word == "basic") return ProxyAuth::kBasic;
    return std::nullopt;
}

namespace {

// Base64 with padding: the encoding of a basic login.
std::string base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        const size_t left = bytes.size() - at;
        uint32_t group = static_cast<uint8_t>(bytes[at]) << 16;
        if (left > 1) group |= static_cast<uint8_t>(bytes[at + 1]) << 8;
        if (left > 2) group |= static_cast<uint8_t>(bytes[at + 2]);
        encoded += kDigits[group >> 18];
        encoded += kDigits[(group >> 12) & 63];
        encoded += left > 1 ? kDigits[(group >> 6) & 63] : '=';
        encoded += left > 2 ? kDigits[group & 63] : '=';
    }
    return encoded;
}

}  // namespace

std::optional<std::string> proxy_authorization(ProxyAuth method, const Url &proxy) {
    if (method != ProxyAuth::kBasic || !proxy.user || proxy.user->empty()) return std::nullopt;
    return "Basic " + base64(*proxy.user + ":" + proxy.password.value_or(""));
}

std::string proxy_auth_masked(std::string_view value) {
    return std::string(value.substr(0, value.find(' '))) + " ****";
}
