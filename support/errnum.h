// Error numbers of failed calls by the call's name, and the one helper that
// fills the engine's error record and raises UI_ERROR.
#pragma once

#include <cstdint>

struct EngineContext;

// errno, or the resolver's error number for the resolver calls
// ("gethostbyname", "getservbyname").
int error_number(const char *call);

// Fills context->error with class_, error_number(call) and call, raises
// UI_ERROR and returns -1, so a failing operation can end with it.
int record_error(EngineContext *context, int32_t class_, const char *call);
// The same with an explicit code (protocol replies, SO_ERROR values, UPD_*).
int record_error_code(EngineContext *context, int32_t class_, int32_t code, const char *call);
