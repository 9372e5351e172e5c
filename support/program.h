// Running an install program.
#pragma once

#include "core/io.h"

// The status a child reports when the program could not be executed.
constexpr int kExecFailedStatus = 127;

// Runs the program and raises the exec event with its exit status: 0 when it
// exited with 0, else -1 (*status then holds the raw wait status).
int run_program(Io &io, const char *path, int *status);
