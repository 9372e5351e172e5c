// The record that joins the front end to the engine and everything below
// it: where to fetch from, how patiently, and the callbacks through which
// the lower floors reach the front end.
#pragma once

#include <cstdint>

#include "core/error.h"
#include "core/events.h"

struct RunState;  // the front end's record; opaque here
struct Vector;

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
