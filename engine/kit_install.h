// The kit operations of a run: the synthetic root module that requires the
// selected modules, file collection from it, and installation from it.
#pragma once

#include "core/context.h"
#include "engine/fetch.h"
#include "infofile/record_ops.h"

// Reserved: the information file must not define a module of this name.
constexpr char kRootModuleName[] = "nerio";

// Adds the root module to the kit, resolves the dependencies and checks
// every file of the reached modules into the link's downloads. 0 or
// positive, or -1.
int kit_collect_files(EngineContext *context, KitRecord &kit, EngineLink &link);
// Installs module by module from the root, dependencies first.
int kit_install(EngineContext *context, KitRecord &kit);
