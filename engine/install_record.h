// Modules whose installation is under way. A record in the temporary
// directory lives from before a module's first program or file until its
// installation ended (its post-install programs ran, or a step failed and
// was reported), so that a run killed in between is finished by the next
// one, programs included, even when every file of the module is current.
#pragma once

#include "core/context.h"
#include "core/records.h"

// 1 when an interrupted installation of the module left its record, else 0.
int install_record_found(EngineContext *context, const ModuleRecord &module);
// Makes the record and the directory entry durable: 0, or -1 (reported).
int install_record_set(EngineContext *context, const ModuleRecord &module);
// Removes the record: 0, or -1 (reported).
int install_record_clear(EngineContext *context, const ModuleRecord &module);
