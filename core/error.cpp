// Error recording: the record is filled and the listener told.
#include "core/error.h"

#include <cerrno>
#include <utility>

#include "core/io.h"

int record_error_code(Io &io, int32_t class_, int32_t code, const char *call) {
    io.error = ErrorRecord{class_, code, call, {}};
    events_of(io).error(io.error);
    return -1;
}

int record_error_text(Io &io, int32_t class_, std::string text, const char *call) {
    io.error = ErrorRecord{class_, 0, call, std::move(text)};
    events_of(io).error(io.error);
    return -1;
}

int record_error(Io &io, int32_t class_, const char *call) {
    return record_error_code(io, class_, errno, call);
}
