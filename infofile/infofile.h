// The information-file loader: turns a decompressed catalogue into an info
// record, and the construction cursor its grammar fills while it parses.
#pragma once

#include "core/context.h"
#include "infofile/record_ops.h"

// Valid only while update_get_information runs; cleared when it returns.
extern InfoRecord *current_info;
extern FileRecord *update_file;
extern KitRecord *current_kit;
extern ModuleRecord *current_module;
extern FileRecord *current_file;

// Returns the parsed catalogue, or null after filling the context's error
// record (ERR_UPDATE, UPD_PARSER) and raising UI_ERROR when the file cannot
// be opened or parsed.
InfoRecord *update_get_information(EngineContext *context, const char *path);
