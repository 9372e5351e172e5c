// The plugin table, asked in this order at the start of every run: a
// file:// URL is served locally before any proxy setting is considered.
#include "transfer/plugin.h"

#include "core/error.h"
#include "transfer/url.h"

const Plugin *const plugin_table[3] = {&file_plugin, &ftp_plugin, &http_plugin};

void record_unusable_mirror(EngineContext *context, const std::string &url) {
    record_error_text(context->io, ERR_SETTING,
                      "mirror '" + url_masked(url) + "': it names no host and port to connect to",
                      "url");
}
