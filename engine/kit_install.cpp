// The root module "nerio" joins the selected modules into one graph, so that
// every walk starts from a single module.
#include "engine/kit_install.h"

#include "engine/walk.h"

int kit_collect_files(EngineContext *context, KitRecord &kit, EngineLink &link) {
    if (context == nullptr) return -1;
    auto root = std::make_unique<ModuleRecord>();
    root->name = kRootModuleName;
    root->requires_ = context->settings.modules;
    ModuleRecord &start = *root;
    kit.modules.push_back(std::move(root));
    sort_modules_by_name(kit.modules);
    // The needs walk reads the marks that the require walk leaves, so the
    // marks are reset only after both.
    if (module_resolve_requires(context, kit.modules, start) < 0) return -1;
    if (module_resolve_needs(kit.modules, start) < 0) return -1;
    module_reset_marks(start);
    const int result = module_collect_files(context, start, link);
    module_reset_marks(start);
    return result;
}

int kit_install(EngineContext *context, KitRecord &kit) {
    if (kit.modules.empty() || context == nullptr) return -1;
    sort_modules_by_name(kit.modules);
    ModuleRecord *root = find_module(kit.modules, kRootModuleName);
    if (root == nullptr) return -1;
    return module_install(context, *root);
}
