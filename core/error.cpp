// Error recording: the record is filled and the listener told.
#include "core/error.h"

#include <cerrno>
#include <utility>

#include "core/context.h"

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
    return record_error_code(context, class_, errno, call);
}
