// The file plugin's handle: copies from a local or mounted mirror directory.
#pragma once

#include <cstdint>

#include "core/context.h"
#include "support/budget.h"

struct FileSource {
    int32_t announced;       // 0 until the first get raised UI_CONNECTING
    char *base;              // directory of the information file's path
    EngineContext *context;  // not owned
    TransferBudget budget;   // attempts made for the file of the current get
};
