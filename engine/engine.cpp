// The update engine's entry point.
#include "engine/engine.h"

// Placeholder until the engine lands: it fetches and installs nothing and
// reports success, so a run ends with "There are no files to update.".
int engine_update(EngineContext *context) {
    if (context == nullptr) return -1;
    return 0;
}
