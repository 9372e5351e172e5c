// The file plugin's handle: copies from a local or mounted mirror directory.
#pragma once

#include <cstdint>

struct EngineContext;

struct FileSource {
    int32_t announced;       // 0 until the first get raised UI_CONNECTING
    char *base;              // directory of the information file's path
    EngineContext *context;  // not owned
    int32_t attempts;        // attempts made for the file of the current get
};
