// The command line: options into the run state, and the texts of help,
// usage, version and the banner.
#pragma once

#include <cstdio>
#include <memory>

#include "frontend/run_state.h"

#define QAVO_REPORT_ADDRESS "bugs@qavo.example"

// -q was given: the console prints and counts nothing.
extern bool quiet;
// The run state of the command line and the configuration it names.
// Options that end the program (help, usage, version, dump, a configuration
// that does not load) exit here.
std::unique_ptr<RunState> parse_command_line(int argc, char **argv);

void print_banner(FILE *stream);
void print_usage(FILE *stream);
void print_help(FILE *stream);
void print_version(FILE *stream);
