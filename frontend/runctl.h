// Run control: the lock against a second run, the watchdog, and the
// engine's settings and services made from the configuration.
#pragma once

#include <optional>

#include "core/context.h"
#include "frontend/run_state.h"

#define QAVO_SUPPORT_ADDRESS "support@qavo.example"

int lock_update(const char *path, int *holder_pid);
void unlock_update();
void alarm_handler(int signal_number);

// Whether the proxy URL can be used, or is not (use-proxy off); false after
// telling what is wrong with it.
bool proxy_usable(const Settings &settings);
// What the engine is to do, from the settings; none for an unknown protocol
// or another setting that cannot be used (reported).
std::optional<EngineSettings> engine_settings(const Settings &settings);
// The context reports to the state's console, installs with its installer
// and waits as long as the settings say.
void engine_services(RunState &state, EngineContext &context);
