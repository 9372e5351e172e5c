// The record that joins the front end to the engine and everything below
// it, and ui_notify, the one way those layers report.
#pragma once

#include <cstdint>

#include "frontend/ui.h"
#include "support/vector.h"

struct RunState;  // the front end's record; opaque here

using UiEventCallback = int (*)(RunState *, UiEvent *);
using ExpandPathCallback = int (*)(RunState *, char **);
using InstallFileCallback = int (*)(RunState *, int mode, const char *tempfile,
                                    const char *localpath);

struct EngineContext {
    char *info_url;
    char *temp_dir;
    UiEventCallback ui_event;
    ExpandPathCallback expand_path;
    Vector *modules;  // module names borrowed from the configuration
    InstallFileCallback install_file;
    RunState *run_state;
    int32_t tries;
    int32_t timeout;
    void *proxy_or_passive;  // proxy string, or pointer to the passive flag
    int32_t use_proxy;
    ErrorRecord *error;  // engine-owned, null outside engine_update
};

// Arguments after the code, by code: a FileRecord * (or nullptr and an int
// byte count) for 0, 3, 5-8, 10, 23; an int status (1 good, -1 bad) and a
// FileRecord * for 1, 2; an int for 9; a string for 11, 15, 19; two ints for
// 13, 16, 17, 22; local host, local port, remote host, remote port for 14,
// 21; nothing for the others (12 delivers context->error). Returns the
// callback's answer, or 0 when the context has no run state or callback.
int ui_notify(EngineContext *context, int code, ...);
int engine_update(EngineContext *context);
