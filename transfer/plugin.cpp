// The plugin table, asked in this order at the start of every run: a
// file:// URL is served locally before any proxy setting is considered.
#include "transfer/plugin.h"

const Plugin *const plugin_table[3] = {&file_plugin, &ftp_plugin, &http_plugin};
