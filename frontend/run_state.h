// The front end: run state, command line, console reporting, installation
// and restart. Only files of the front end include this header.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/updconfig.h"
#include "core/context.h"
#include "core/events.h"
#include "frontend/settings.h"
#include "support/descriptor.h"
#include "support/worker.h"

struct RunState {
    // With the console and the installer of this state.
    RunState();
    // Makes the installed names durable (install_finish).
    ~RunState();
    RunState(const RunState &) = delete;
    RunState &operator=(const RunState &) = delete;

    std::unique_ptr<Config> config;
    // Read from the configuration once the command line is in; read-only after.
    Settings settings;
    int32_t errors = 0;         // command-line errors; non-zero stops the run
    bool self_updated = false;  // set when the own executable was replaced
    // progress meter
    int32_t file_start_ms = 0;
    int32_t line_start_ms = 0;
    int32_t last_ms = 0;
    uint32_t done = 0;
    uint32_t column = 0;
    int32_t lines = 0;
    int32_t header_line = 0;
    int32_t size = 0;
    uint32_t spinner = 0;   // 0-3, index into the spinner characters
    bool terminal = false;  // standard output is a terminal: asked once, after -q
    // installation: the copies' file system is flushed once, before the
    // first replacement by a copy not yet durable; the directories that got
    // new names are synced once each, in the order of their first rename,
    // when the update is over
    bool copies_flushed = false;
    std::vector<std::string> renamed_dirs;
    // The replaced versions handed over to be let go on a second core:
    // freeing the pages of 16 MiB takes about 2 ms, which two cores share
    // (started with the first, ended when the update is over).
    std::optional<Worker<Descriptor>> retiring;
    bool retire_next = true;
    // The engine's listener and installer, both working on this state.
    std::unique_ptr<Events> console;
    std::unique_ptr<Installer> installer;
};
