// The front end: run state, command line, console reporting, installation
// and restart. Only files of the front end include this header.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/updconfig.h"
#include "frontend/ui.h"

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
    // summary counters
    int32_t bytes_downloaded;
    uint32_t files_to_update;
    uint32_t transfers_done;
    uint32_t files_updated;
    uint32_t modules_installed;
};

// Texts chosen for this build.
#define QAVO_SUPPORT_ADDRESS "support@qavo.example"
#define QAVO_REPORT_ADDRESS "bugs@qavo.example"

// Command line.
extern int quiet;
RunState *parse_command_line(int argc, char **argv);
void free_run_state(RunState *state);
void print_banner(FILE *stream);
void print_usage(FILE *stream);
void print_help(FILE *stream);
void print_version(FILE *stream);

// Run control.
int lock_update(const char *path, int *holder_pid);
void unlock_update();
void alarm_handler(int signal_number);
struct EngineContext;
char *compose_info_url(const char *scheme, const char *user, const char *password,
                       const char *host, int32_t port, const char *infofile);
// 0 when filled; -1 for an unknown protocol (reported), -2 when memory ran out.
int fill_engine_context(RunState *state, EngineContext *context);
void release_engine_context(EngineContext *context);

// Console reporting.
int ui_event(RunState *state, UiEvent *event);
void report_error(const ErrorRecord *record);
void print_date(FILE *stream);
void print_clock(FILE *stream);
int32_t clock_ms();
void draw_meter(uint32_t from, uint32_t to, char mark);
void print_rate(uint64_t bytes_x1000, int64_t ms);
void meter_progress(RunState *state, const UiFileInfo *info);
void meter_end(RunState *state);
// Tests only: clock_ms() returns ms while ms >= 0; -1 restores the real clock.
void clock_set_for_testing(int32_t ms);

// Installation and restart.
int expand_path(RunState *state, char **path);
int install_file(RunState *state, int mode, const char *src, const char *dst);
int copy_file(const char *src, const char *dst);
int self_update_file(const char *src, const char *dst);
int restart_self(char **argv);
