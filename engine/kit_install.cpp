// The root module "nerio" joins the selected modules into one graph, so that
// every walk starts from a single module.
#include "engine/kit_install.h"

#include <cstdlib>
#include <cstring>

#include "engine/walk.h"

namespace {

ModuleRecord *root_module(const Vector *selection) {
    ModuleRecord *root = module_new();
    if (root == nullptr) return nullptr;
    root->name = strdup(kRootModuleName);
    bool ok = root->name != nullptr;
    for (int32_t i = 0; ok && i < selection->count; i++) {
        char *name = strdup(vector_at<char>(selection, i));
        ok = name != nullptr && module_add_requirement(root, name) == 0;
        if (!ok) free(name);
    }
    if (ok) return root;
    module_free(nullptr, root);
    return nullptr;
}

}  // namespace

int kit_collect_files(EngineContext *context, KitRecord *kit, EngineLink *link) {
    if (kit == nullptr || context == nullptr || context->modules == nullptr) return -1;
    ModuleRecord *root = root_module(context->modules);
    if (root == nullptr) return -1;
    if (kit_add_module(kit, root) < 0) {
        module_free(nullptr, root);
        return -1;
    }
    vector_sort(kit->modules, module_compar);
    // The needs walk reads the marks that the require walk leaves, so the
    // marks are reset only after both.
    if (module_resolve_requires(context, kit->modules, root) < 0) return -1;
    if (module_resolve_needs(kit->modules, root) < 0) return -1;
    module_reset_marks(root);
    int result = module_collect_files(context, root, link);
    module_reset_marks(root);
    return result;
}

int kit_install(EngineContext *context, KitRecord *kit) {
    if (kit == nullptr || kit->modules == nullptr || context == nullptr) return -1;
    vector_sort(kit->modules, module_compar);
    void **slot = vector_search(kRootModuleName, kit->modules, comparekeywithmodule);
    if (slot == nullptr) return -1;
    return module_install(context, static_cast<ModuleRecord *>(*slot));
}
