// Module records: creation, their files and requirement names, the
// comparators of module lookups by name, and release.
#include <cstdlib>
#include <cstring>

#include "infofile/record_ops.h"

namespace {

const ModuleRecord *module_in_slot(const void *slot) {
    if (slot == nullptr) return nullptr;
    return *static_cast<const ModuleRecord *const *>(slot);
}

}  // namespace

ModuleRecord *module_new() {
    return static_cast<ModuleRecord *>(calloc(1, sizeof(ModuleRecord)));
}

int module_add_file(ModuleRecord *module, FileRecord *file) {
    if (module == nullptr) return -1;
    return record_append(&module->files, file);
}

int module_add_requirement(ModuleRecord *module, char *name) {
    if (module == nullptr) return -1;
    return record_append(&module->requires_, name);
}

int module_compar(const void *a, const void *b) {
    if (a == b) return 0;
    const ModuleRecord *left = module_in_slot(a);
    if (left == nullptr || left->name == nullptr) return 1;
    const ModuleRecord *right = module_in_slot(b);
    if (right == nullptr || right->name == nullptr) return -1;
    if (left->name == right->name) return 0;
    return strcmp(left->name, right->name);
}

int comparekeywithmodule(const void *key, const void *slot) {
    const ModuleRecord *module = module_in_slot(slot);
    bool named = module != nullptr && module->name != nullptr;
    if (key == nullptr) return named ? -1 : 0;
    if (!named) return 1;
    return strcmp(static_cast<const char *>(key), module->name);
}

int module_free(EngineContext *context, ModuleRecord *module) {
    if (module == nullptr) return -1;
    if (module->files != nullptr) {
        for (int32_t i = 0; i < module->files->count; i++) {
            file_free(context, vector_at<FileRecord>(module->files, i));
        }
        vector_free(module->files, 0);
    }
    if (module->requires_ != nullptr) vector_free(module->requires_, 1);
    if (module->needs != nullptr) vector_free(module->needs, 1);
    // Dependencies point at modules of the kit, which releases them itself.
    if (module->dependencies != nullptr) vector_free(module->dependencies, 0);
    free(module->name);
    free(module);
    return 0;
}
