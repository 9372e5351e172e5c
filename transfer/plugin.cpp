// The plugin table, asked in this order at the start of every run: a
// file:// URL is served locally before any proxy setting is considered.
#include "transfer/plugin.h"

#include "core/records.h"
#include "support/utils.h"

const Plugin *const plugin_table[] = {&file_plugin, &ftp_plugin, &http_plugin, nullptr};

uint32_t plugin_size_limit(const FileRecord *file) {
    return file != nullptr && file->size > 0 ? static_cast<uint32_t>(file->size)
                                             : kUnlistedSizeLimit;
}
