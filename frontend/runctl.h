// Run control: the lock against a second run, the watchdog, and the
// engine context made from the configuration.
#pragma once

#include <cstdint>

#include "core/context.h"
#include "frontend/run_state.h"
#include "support/owned.h"

#define QAVO_SUPPORT_ADDRESS "support@qavo.example"

int lock_update(const char *path, int *holder_pid);
void unlock_update();
void alarm_handler(int signal_number);
char *compose_info_url(const char *scheme, const char *user, const char *password, const char *host,
                       int32_t port, const char *infofile);
// 0 when filled; -1 for an unknown protocol (reported), -2 when memory ran out.
int fill_engine_context(RunState *state, EngineContext *context);
void release_engine_context(EngineContext *context);

// An engine context, released on every return path of the scope that holds
// it (also when filling it failed halfway).
using EngineContextGuard = Owned<EngineContext, release_engine_context>;
