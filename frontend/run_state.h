// The front end: run state, command line, console reporting, installation
// and restart. Only files of the front end include this header.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/updconfig.h"
#include "core/events.h"

struct RunState {
    Config *config;
    int32_t errors;        // command-line errors; non-zero stops the run
    int32_t self_updated;  // set when the own executable was replaced
    // progress meter
    int32_t file_start_ms;
    int32_t line_start_ms;
    int32_t last_ms;
    uint32_t done;
    uint32_t column;
    int32_t lines;
    int32_t header_line;
    int32_t size;
    uint32_t spinner;  // 0-3, index into the spinner characters
    bool terminal;     // standard output is a terminal: asked once, after -q
    // summary counters
    int32_t bytes_downloaded;
    uint32_t files_to_update;
    uint32_t transfers_done;
    uint32_t files_updated;
    uint32_t modules_installed;
    // installation: the copies' file system is flushed once before the
    // first replacement; the directories that got new names are synced
    // once each when the update is over
    bool copies_flushed;
    char **renamed_dirs;
    uint32_t renamed_count;
};
