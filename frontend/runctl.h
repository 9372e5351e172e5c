// Run control: the lock against a second run, the watchdog, and the
// engine context made from the configuration.
#pragma once

#include "core/context.h"
#include "frontend/run_state.h"

#define QAVO_SUPPORT_ADDRESS "support@qavo.example"

int lock_update(const char *path, int *holder_pid);
void unlock_update();
void alarm_handler(int signal_number);

// Whether the proxy URL can be used, or is not (use-proxy off); false after
// telling what is wrong with it.
bool proxy_usable(const Settings &settings);
// Fills the context from the state's settings; false for an unknown
// protocol (reported). The context reports to the state's console and
// installs with its installer.
bool fill_engine_context(RunState &state, EngineContext &context);
