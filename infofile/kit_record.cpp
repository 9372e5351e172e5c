// Kit records: creation, the kit's modules, and release.
#include <cstdlib>

#include "infofile/record_ops.h"

KitRecord *kit_new() {
    return static_cast<KitRecord *>(calloc(1, sizeof(KitRecord)));
}

int kit_add_module(KitRecord *kit, ModuleRecord *module) {
    if (kit == nullptr) return -1;
    return record_append(&kit->modules, module);
}

int kit_free(EngineContext *context, KitRecord *kit) {
    if (kit == nullptr) return -1;
    if (kit->modules != nullptr) {
        for (int32_t i = 0; i < kit->modules->count; i++) {
            module_free(context, vector_at<ModuleRecord>(kit->modules, i));
        }
        vector_free(kit->modules, 0);
    }
    free(kit->name);
    free(kit);
    return 0;
}
