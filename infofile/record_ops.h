// Operations on the catalogue's records: creation, filling, the
// comparators that order and find them, the file tests, and release.
#pragma once

#include <cstdint>

#include "core/records.h"
#include "support/vector.h"

struct EngineContext;

// Creation and filling. The add operations return 0, or -1 for a null
// argument or a failed allocation, which leaves the container unchanged.
InfoRecord *info_new();
KitRecord *kit_new();
ModuleRecord *module_new();
FileRecord *file_new();
int kit_add_module(KitRecord *kit, ModuleRecord *module);
int module_add_file(ModuleRecord *module, FileRecord *file);
// On success the module owns the name.
int module_add_requirement(ModuleRecord *module, char *name);
// Appends to *vector, creating the vector on first use; on failure *vector is
// as it was. Shared by the add operations of the records.
int record_append(Vector **vector, void *element);

// Comparators for vector_sort (pointers to slots) and vector_search (key
// first). file_compar and comparekeywithmodule order by name byte for byte;
// module_compar puts nameless modules last; file_order_compar puts
// pre-install programs (largest n first), then plain files, then
// post-install programs (smallest n first).
int file_compar(const void *a, const void *b);
int module_compar(const void *a, const void *b);
int comparekeywithmodule(const void *key, const void *slot);
int file_order_compar(const void *a, const void *b);

// Predicates: 1 or 0, -1 for a null argument (file_is_installable: 0).
int file_md5_missing(const FileRecord *file);
int file_is_installable(const FileRecord *file);

// Release. file_free asks the front end (UI_REMOVE_FILE) whether to delete
// the temporary copy: 0 deletes it, 1 keeps it, any other answer keeps it
// and becomes the result.
int file_free(EngineContext *context, FileRecord *file);
int module_free(EngineContext *context, ModuleRecord *module);
int kit_free(EngineContext *context, KitRecord *kit);
int info_free(EngineContext *context, InfoRecord *info);
