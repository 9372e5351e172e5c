// The command line: options into the run state, and the texts of help,
// usage, version and the banner.
#pragma once

#include <cstdio>

#include "frontend/run_state.h"
#include "support/owned.h"

#define QAVO_REPORT_ADDRESS "bugs@qavo.example"

extern int quiet;
RunState *parse_command_line(int argc, char **argv);
void free_run_state(RunState *state);

// The run state, released on every return path of the scope that holds it.
using RunStateGuard = Owned<RunState, free_run_state>;

void print_banner(FILE *stream);
void print_usage(FILE *stream);
void print_help(FILE *stream);
void print_version(FILE *stream);
