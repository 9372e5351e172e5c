// Per-file machinery of a run: the link to the transfer plugin, temporary
// copies named after the mirror name, the need-to-fetch decision and the
// fetch with its verification.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "infofile/record_ops.h"
#include "support/vector.h"

struct EngineLink {
    int32_t plugin;          // index in plugin_table
    void *handle;            // what the plugin's open returned
    EngineContext *context;  // not owned
    Vector *downloads;       // FileRecord, not owned, in the order found
};

// A link through the first plugin that accepts the context's URL, or null.
EngineLink *engine_open_link(EngineContext *context);
// Closes the plugin and releases the link; a null link is accepted.
void engine_close_link(EngineLink *link);

// temp_dir "/", the hexadecimal MD5 of the key, and the suffix; null when
// memory ran out.
char *engine_temp_name(const char *temp_dir, const char *key, const char *suffix);
// Names the copy temp_dir/<md5 of sitepath>, inspects or creates it: 1 when
// a complete copy with the listed digest is there, 0 when it is empty and
// ready, -1 on failure (tempfile then null).
int engine_prepare_tempfile(EngineContext *context, FileRecord *file);
// 0 when the file is current or a complete copy waits, 1 when it was added
// to link->downloads, another value when the UI_NEEDS_UPDATE answer gave it,
// negative on failure.
int engine_check_file(FileRecord *file, EngineLink *link);
// Fetches one file; with verify, first decides whether it is needed and
// afterwards checks the copy by digest or signature. 0 on success or when
// nothing was needed, negative on failure, or an event answer.
int engineGetFile(FileRecord *file, EngineLink *link, int verify);
