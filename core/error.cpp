// The table of calls whose error number is not errno, and error recording.
#include "core/error.h"

#include <netdb.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/context.h"
#include "core/notify.h"

namespace {

int resolver_error() {
    return h_errno;
}

struct ErrorSource {
    const char *call;
    int (*number)();
};

// Sorted by name for the binary search.
constexpr std::array<ErrorSource, 2> kErrorSources{{
    {"gethostbyname", resolver_error},
    {"getservbyname", resolver_error},
}};

int compare_source(const void *key, const void *entry) {
    return strcmp(static_cast<const char *>(key), static_cast<const ErrorSource *>(entry)->call);
}

}  // namespace

int error_number(const char *call) {
    int saved = errno;
    if (call == nullptr) return saved;
    const auto *source = static_cast<const ErrorSource *>(bsearch(
        call, kErrorSources.data(), kErrorSources.size(), sizeof(ErrorSource), compare_source));
    return source != nullptr ? source->number() : saved;
}

int record_error_code(EngineContext *context, int32_t class_, int32_t code, const char *call) {
    if (context == nullptr || context->error == nullptr) return -1;
    context->error->class_ = class_;
    context->error->code = code;
    context->error->call = call;
    notify(context, UI_ERROR);
    return -1;
}

int record_error(EngineContext *context, int32_t class_, const char *call) {
    return record_error_code(context, class_, error_number(call), call);
}
