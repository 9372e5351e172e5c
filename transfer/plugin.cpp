// The plugin table, asked in this order at the start of every run: a
// file:// URL is served locally before any proxy setting is considered.
#include "transfer/plugin.h"

namespace {

// Stand-ins until the FTP and HTTP plugins are written: they decline every
// context, so only file:// mirrors can be served. The files that bring the
// real ftp_plugin and http_plugin records remove these.
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

const Plugin ftp_plugin{"ftp", decline_open, decline_close, decline_get};
const Plugin http_plugin{"http", decline_open, decline_close, decline_get};

const Plugin *const plugin_table[] = {&file_plugin, &ftp_plugin, &http_plugin, nullptr};
