// The update engine's entry: one update from the information file to the
// last installed module.
#pragma once

#include "core/context.h"

int engine_update(EngineContext *context);
