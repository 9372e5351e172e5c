// The depth-first walks over the module graph: dependency resolution, file
// collection and installation.
#pragma once

#include "core/context.h"
#include "engine/fetch.h"
#include "infofile/record_ops.h"

// Resolves `require` names into dependencies, detecting cycles (UPD_CYCLIC)
// and missing modules (UPD_NO_INFO). Marks: 0 unvisited, 1 on the path, 2 done.
int module_resolve_requires(EngineContext *context, const ModuleList &modules,
                            ModuleRecord &module);
// Adds `needs` names that the require walk reached. Marks: 2, 3 on the path,
// 4 done; anything else fails silently.
int module_resolve_needs(const ModuleList &modules, ModuleRecord &module);
// Clears the marks of the module and everything reachable with a mark set.
void module_reset_marks(ModuleRecord &module);
// Checks the files of the module's dependencies, then its own; the files to
// fetch land in the link's downloads.
int module_collect_files(EngineContext *context, ModuleRecord &module, EngineLink &link);
// Installs the dependencies, then the module itself.
int module_install(EngineContext *context, ModuleRecord &module);
