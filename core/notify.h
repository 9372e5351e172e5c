// How every floor below the front end reports: one typed call per shape of
// event, so an event can only be raised with the data its code carries.
// Each returns the front end's answer, or 0 when the context has no run
// state or callback. The records handed over live only during the call.
#pragma once

#include <cstdint>

#include "core/context.h"
#include "core/events.h"
#include "core/records.h"

// Events without data (4, 18, 20) and UI_ERROR (12, which carries the
// context's error record).
int notify(EngineContext *context, UiCode code);
// Events about one file: 0, 3, 5-8, 10, 23.
int notify_file(EngineContext *context, UiCode code, const FileRecord *file);
// Progress of a transfer that has no file record: the bytes done only.
int notify_progress_bytes(EngineContext *context, int32_t done);
// UI_VERIFY_SIGNATURE and UI_VERIFY_MD5: status 1 good, -1 bad.
int notify_verify(EngineContext *context, UiCode code, int32_t status, const FileRecord *file);
// UI_EXEC with a program's exit status.
int notify_exec(EngineContext *context, int32_t status);
// UI_INSTALL_MODULE, UI_SENT_LINE, UI_RECEIVED_LINE.
int notify_text(EngineContext *context, UiCode code, const char *text);
// Two counts: UI_SPIN_WAIT, UI_SPIN_IO, UI_SPIN (slice of slices),
// UI_RETRY (attempt of attempts).
int notify_counts(EngineContext *context, UiCode code, int32_t first, int32_t second);
// UI_CONNECTING, UI_CONNECTION_CLOSED with both ends.
int notify_peers(EngineContext *context, UiCode code, const char *local_host, uint16_t local_port,
                 const char *remote_host, uint16_t remote_port);
