// Redirections: the replies that send a request elsewhere, and the checked
// URL that a Location leads to from the URL of the request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transfer/url.h"

// Redirections followed for one file; the next one is refused.
constexpr int kRedirectHops = 5;
// What an error line shows of a location at the most.
constexpr size_t kRedirectShownLimit = 160;

// 301, 302, 303, 307 and 308.
bool redirect_status(int32_t status);

// Resolves `location` (absolute, or relative to `from`, the URL of the
// request) into `to`, and checks that it may be followed. Empty when it
// may; else why not, as the text of an error line.
std::string redirect_resolve(const Url &from, std::string_view location, Url &to);

// The refusal of a redirection to `to` beyond the last one followed.
std::string redirect_too_many(const Url &to);
