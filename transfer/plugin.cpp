// The plugin table, asked in this order at the start of every run: a
// file:// URL is served locally before any proxy setting is considered.
#include "transfer/plugin.h"

namespace {

// Stand-in until the HTTP plugin is written: it declines every context.
// The file that brings the real http_plugin record removes it.
void *decline_open(EngineContext *) {
    return nullptr;
}

int decline_close(void *) {
    return 0;
}

int decline_get(FileRecord *, void *) {
    return -1;
}

}  // namespace

const Plugin http_plugin{"http", decline_open, decline_close, decline_get};

const Plugin *const plugin_table[] = {&file_plugin, &ftp_plugin, &http_plugin, nullptr};
