// Authentication to the proxy: the configured method's word, and the
// Proxy-Authorization header that every request to the proxy carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/context.h"
#include "transfer/url.h"

constexpr const char *kProxyAuthHeader = "Proxy-Authorization";

// The method a proxy-auth word names ("none" or "basic"); absent for any
// other word.
std::optional<ProxyAuth> proxy_auth_parse(std::string_view word);
// The header's value for requests to `proxy` under the method, or absent:
// without a method, or (refused earlier by the front end) without a user.
std::optional<std::string> proxy_authorization(ProxyAuth method, const Url &proxy);
// The value as the dialogue may show it: its scheme, the credentials masked.
std::string proxy_auth_masked(std::string_view value);
