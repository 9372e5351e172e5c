// The updater's end of the fetcher: sessions that hand every attempt to
// the network side and take back its events and bodies, writing, digesting
// and bounding each body in the updater's own copy. A message the updater
// does not expect ends the conversation for the rest of the run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/context.h"
#include "transfer/fetcher_link.h"
#include "transfer/plugin.h"

// A session at `url` through the fetcher of the context, for the plugin
// `plugin` (kPluginFtp or kPluginHttp); null when the fetcher cannot open
// it, which it reported.
std::unique_ptr<PluginSession> remote_session_open(EngineContext *context, uint8_t plugin,
                                                   const std::string &url, TransferBudget &budget);
