// The update engine's entry: one update from the information file to the
// last installed module.
#pragma once

#include <cstdint>

#include "core/context.h"

// What one update did. The engine counts for itself: the counts are the
// same whoever listens and however little the listener prints.
struct UpdateResult {
    int status = -1;               // 0, or -1 when the update failed
    uint32_t files_to_update = 0;  // found out of date
    uint32_t files_updated = 0;
    uint32_t modules_installed = 0;
    int64_t bytes_downloaded = 0;
    uint32_t files_patched = 0;   // of those downloaded, the ones that came as patches
    int64_t bytes_saved = 0;      // their sizes less their patches'
    int64_t manifest_serial = 0;  // of the manifest accepted; 0 without one
};

UpdateResult engine_update(EngineContext *context);
