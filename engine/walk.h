// The depth-first walks over the module graph (dependency resolution, file
// collection, installation) and the steps of installing one module.
#pragma once

#include "engine/engine.h"
#include "engine/fetch.h"
#include "infofile/record_ops.h"

// Resolves `require` names into dependencies, detecting cycles (UPD_CYCLIC)
// and missing modules (UPD_NO_INFO). Marks: 0 unvisited, 1 on the path, 2 done.
int module_resolve_requires(EngineContext *context, Vector *modules, ModuleRecord *module);
// Adds `needs` names that the require walk reached. Marks: 2, 3 on the path,
// 4 done; anything else fails silently.
int module_resolve_needs(Vector *modules, ModuleRecord *module);
// Clears the marks of the module and everything reachable with a mark set.
void module_reset_marks(ModuleRecord *module);
// Checks the files of the module's dependencies, then its own; the files to
// fetch land in link->downloads.
int module_collect_files(EngineContext *context, ModuleRecord *module, EngineLink *link);
// Installs the dependencies, then the module itself.
int module_install(EngineContext *context, ModuleRecord *module);

// 1 when nothing of the module is to install (no fetched file and no
// installation left unfinished by an earlier run); otherwise announces it
// and sorts its files into running order (0), or returns a non-zero answer.
int module_has_updates(EngineContext *context, ModuleRecord *module);
int module_run_pre_install(EngineContext *context, ModuleRecord *module);
// pass 0 checks that every fetched file could be installed, pass 1 installs.
int module_install_files(EngineContext *context, ModuleRecord *module, int pass);
int module_run_post_install(EngineContext *context, ModuleRecord *module);
