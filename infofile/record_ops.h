// Operations on the catalogue's records: the orders that sort them, the
// lookup of a module by name, and the file tests.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "core/records.h"

using FileList = std::vector<std::unique_ptr<FileRecord>>;
using ModuleList = std::vector<std::unique_ptr<ModuleRecord>>;

// Orderings for std::stable_sort; records that compare equal keep their
// order, which the walks and the end of a run can observe.
// Files by mirror name, byte for byte, those without a mirror name first.
bool file_name_before(const FileRecord &left, const FileRecord &right);
// Running order: pre-install programs (largest n first), then plain files,
// then post-install programs (smallest n first).
bool file_runs_before(const FileRecord &left, const FileRecord &right);
// Modules by name, byte for byte, nameless modules last.
bool module_name_before(const ModuleRecord &left, const ModuleRecord &right);

void sort_files_by_name(FileList &files);
void sort_files_by_order(FileList &files);
void sort_modules_by_name(ModuleList &modules);

// The module of that name in a list sorted by sort_modules_by_name, or null.
// Nameless modules are never found.
ModuleRecord *find_module(const ModuleList &modules, std::string_view name);

// No digest listed: the file is checked by signature.
bool file_md5_missing(const FileRecord &file);
// The file has an installation path, unless it is empty: such a file is
// fetched and never installed.
bool file_is_installable(const FileRecord &file);
