// The table of calls whose error number is not errno, and error recording.
#include "core/error.h"

#include <netdb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "core/context.h"

namespace {

int resolver_error() {
    return h_errno;
}

struct ErrorSource {
    std::string_view call;
    int (*number)();
};

// Sorted by name for the binary search.
constexpr std::array<ErrorSource, 2> kErrorSources{{
    {"gethostbyname", resolver_error},
    {"getservbyname", resolver_error},
}};

}  // namespace

int error_number(const char *call) {
    int saved = errno;
    if (call == nullptr) return saved;
    const auto source = std::lower_bound(
        kErrorSources.begin(), kErrorSources.end(), std::string_view(call),
        [](const ErrorSource &entry, std::string_view name) { return entry.call < name; });
    return source != kErrorSources.end() && source->call == std::string_view(call) ? source->number()
                                                                                 : saved;
}

int record_error_code(EngineContext *context, int32_t class_, int32_t code, const char *call) {
    if (context == nullptr) return -1;
    context->error = ErrorRecord{class_, code, call, {}};
    events_of(context).error(context->error);
    return -1;
}

int record_error_text(EngineContext *context, int32_t class_, std::string text, const char *call) {
    if (context == nullptr) return -1;
    context->error = ErrorRecord{class_, 0, call, std::move(text)};
    events_of(context).error(context->error);
    return -1;
}

int record_error(EngineContext *context, int32_t class_, const char *call) {
    return record_error_code(context, class_, error_number(call), call);
}
