// Installation of verified copies, the updater's own replacement, and
// the restart into the new executable.
#pragma once

#include "frontend/run_state.h"

int expand_path(RunState *state, char **path);
int install_file(RunState *state, int mode, const char *src, const char *dst);
// Makes the names installed so far durable (their directories synced):
// run when the update is over.
void install_finish(RunState *state);
int copy_file(const char *src, const char *dst);
int self_update_file(const char *src, const char *dst);
int restart_self(char **argv);
