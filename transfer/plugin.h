// The transfer plugin record and the fixed table of plugins through which
// the engine fetches every file without knowing any protocol.
#pragma once

#include <cstdint>

struct EngineContext;
struct FileRecord;
struct TempCopy;

struct Plugin {
    const char *name;  // informational; the engine never consults it
    // Returns a new handle when the plugin serves the context's URL, else null.
    void *(*open)(EngineContext *context);
    // Ends the plugin's work and releases the handle.
    int (*close)(void *handle);
    // Fetches file->sitepath into file->tempfile: 0, -1 after the plugin's own
    // attempts were spent (already reported), or below -1 for other failures.
    // Each attempt opens the copy in *copy, where the last one leaves it open
    // for the engine's verification.
    int (*get)(FileRecord *file, void *handle, TempCopy *copy);
};

extern const Plugin file_plugin;
extern const Plugin ftp_plugin;
extern const Plugin http_plugin;

// file, ftp, http, then a null entry. Engine links keep an index into it.
extern const Plugin *const plugin_table[];
