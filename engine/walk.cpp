// The module walks: require and needs resolution, file collection and
// installation, sharing each module's mark; and one module's install steps.
#include "engine/walk.h"

#include <string>

#include "core/error.h"
#include "core/events.h"
#include "engine/install_record.h"
#include "engine/installed.h"
#include "support/privfile.h"
#include "support/program.h"

namespace {

// Marks of the walks: the require walk leaves 2 behind, which the needs walk
// takes as its unvisited value; collection and installation start from 0.
constexpr int32_t kRequireActive = 1;
constexpr int32_t kRequireDone = 2;
constexpr int32_t kNeedsActive = 3;
constexpr int32_t kNeedsDone = 4;
constexpr int32_t kCollected = 1;
constexpr int32_t kInstalled = 2;

const char *name_of(const ModuleRecord &module) {
    return module.name ? module.name->c_str() : nullptr;
}

// A program's own path: the fetched copy, or the installed file when it was
// not fetched. Such a file was never looked at by the collection walk when
// it has no mirror name, so its placeholders are expanded here.
const char *program_path(EngineContext *context, FileRecord &file) {
    if (!file.tempfile.empty()) return file.tempfile.c_str();
    if (file.localpath && file.sitepath && file.sitepath->empty() &&
        !expand_localpath(context, file))
        return nullptr;
    return file.localpath ? file.localpath->c_str() : nullptr;
}

int run_install_program(EngineContext *context, FileRecord &file, const char *call) {
    int status = 0;
    // A fetched program runs from its copy, which only we may have written.
    if (!file.tempfile.empty() && private_check(file.tempfile.c_str()))
        return record_error_code(context->io, ERR_UPDATE, UPD_CANT_EXECUTE, call);
    if (run_program(context->io, program_path(context, file), &status) != 0)
        return record_error_code(context->io, ERR_UPDATE, UPD_CANT_EXECUTE, call);
    return 0;
}

// 1 when nothing of the module is to install (no fetched file and no
// installation left unfinished by an earlier run); otherwise announces it
// and sorts its files into running order (0), or -1 when told to stop.
int module_has_updates(EngineContext *context, ModuleRecord &module) {
    bool pending = false;
    for (size_t i = 0; !pending && i < module.files.size(); i++) {
        const FileRecord &file = *module.files[i];
        pending = file_is_installable(file) && !file.tempfile.empty();
    }
    // An installation that a crash cut short is finished, programs and all.
    if (!pending && install_record_found(context, module) != 1) return 1;
    events_of(context->io).install_module(name_of(module));
    sort_files_by_order(module.files);
    return 0;
}

int module_run_pre_install(EngineContext *context, ModuleRecord &module) {
    for (const auto &file : module.files) {
        if (file->order >= 0) break;
        events_of(context->io).run_pre_install(file_event(file.get()));
        if (run_install_program(context, *file, "pre install") < 0) return -1;
    }
    return 0;
}

// kCheck makes sure that every fetched file could be installed, kInstall
// installs them.
int module_install_files(EngineContext *context, ModuleRecord &module, InstallStep step) {
    const char *call = step == InstallStep::kCheck ? "tryinstall" : "doinstall";
    // What a network side that broke off brought is never installed; its
    // error is recorded already.
    if (context->network_broken) return -1;
    for (const auto &file : module.files) {
        if (!file_is_installable(*file) || file->tempfile.empty()) continue;
        // Collection refused every file without an installation path.
        const std::string localpath = file->localpath.value_or("");
        if (step == InstallStep::kCheck) {
            events_of(context->io).check_file(file_event(file.get()));
        } else {
            events_of(context->io).update_file(file_event(file.get()));
        }
        Installer &installer = *context->installer;
        if (installer.install_file(step, file->tempfile, localpath, file->copy_durable) < 0)
            return record_error_code(context->io, ERR_UPDATE, UPD_CANT_INSTALL, call);
    }
    return 0;
}

int module_run_post_install(EngineContext *context, ModuleRecord &module) {
    size_t first = 0;
    while (first < module.files.size() && module.files[first]->order <= 0) first++;
    for (size_t i = first; i < module.files.size(); i++) {
        FileRecord &file = *module.files[i];
        if (file.order < 1) break;
        events_of(context->io).run_post_install(file_event(&file));
        if (run_install_program(context, file, "post install") < 0) return -1;
    }
    return 0;
}

}  // namespace

int module_resolve_requires(EngineContext *context, const ModuleList &modules,
                            ModuleRecord &module) {
    if (module.mark == kRequireDone) return 0;
    int result = 0;
    if (module.mark == kRequireActive) {
        result = record_error_code(context->io, ERR_UPDATE, UPD_CYCLIC, name_of(module));
    } else if (module.mark == 0) {
        module.mark = kRequireActive;
    } else {
        result = -1;
    }
    for (size_t i = 0; result == 0 && i < module.requires_.size(); i++) {
        const std::string &name = module.requires_[i];
        ModuleRecord *required = find_module(modules, name);
        if (required == nullptr) {
            result = record_error_code(context->io, ERR_UPDATE, UPD_NO_INFO, name.c_str());
            break;
        }
        const int resolved = module_resolve_requires(context, modules, *required);
        if (resolved < 0) {
            module.mark = kRequireDone;
            return resolved;
        }
        module.dependencies.push_back(required);
    }
    if (result == 0) sort_files_by_name(module.files);
    module.mark = kRequireDone;
    return result;
}

int module_resolve_needs(const ModuleList &modules, ModuleRecord &module) {
    if (module.mark == kNeedsDone) return 0;
    if (module.mark != kRequireDone) {
        // Unreached by the require walk, or met again on the current path.
        module.mark = kNeedsDone;
        return -1;
    }
    module.mark = kNeedsActive;
    int result = 0;
    // The modules that the require walk attached are walked first, so that
    // the needs of every reached module are resolved, not only the root's.
    const size_t required = module.dependencies.size();
    for (size_t i = 0; result >= 0 && i < required; i++)
        result = module_resolve_needs(modules, *module.dependencies[i]);
    for (size_t i = 0; result >= 0 && i < module.needs.size(); i++) {
        ModuleRecord *needed = find_module(modules, module.needs[i]);
        if (needed == nullptr) continue;  // ordering only: an absent module orders nothing
        result = module_resolve_needs(modules, *needed);
        if (result >= 0) module.dependencies.push_back(needed);
    }
    module.mark = kNeedsDone;
    return result;
}

void module_reset_marks(ModuleRecord &module) {
    if (module.mark == 0) return;
    module.mark = 0;
    for (ModuleRecord *dependency : module.dependencies) module_reset_marks(*dependency);
}

int module_collect_files(EngineContext *context, ModuleRecord &module, EngineLink &link) {
    if (!module.name || context == nullptr || context->installer == nullptr) return -1;
    if (module.mark != 0) return 0;
    for (ModuleRecord *dependency : module.dependencies) {
        if (module_collect_files(context, *dependency, link) < 0) {
            module.mark = kCollected;
            return -1;
        }
    }
    int result = 0;
    CheckAhead ahead(context, module.files, link.installed());
    for (const auto &file : module.files) {
        result = engine_check_file(*file, link, &ahead);
        if (result < 0) break;
    }
    module.mark = kCollected;
    return result;
}

int module_install(EngineContext *context, ModuleRecord &module) {
    if (!module.name || context == nullptr || context->installer == nullptr) return -1;
    if (module.mark == kInstalled) return 0;
    for (ModuleRecord *dependency : module.dependencies) {
        const int installed = module_install(context, *dependency);
        if (installed < 0) return installed;
    }
    // A module without files has nothing to announce or record.
    if (!module.files.empty()) {
        int result = module_has_updates(context, module);
        if (result == 0) {
            result = install_record_set(context, module);
            if (result >= 0) {
                result = module_run_pre_install(context, module);
                if (result >= 0)
                    result = module_install_files(context, module, InstallStep::kCheck);
                if (result >= 0)
                    result = module_install_files(context, module, InstallStep::kInstall);
                if (result >= 0) result = module_run_post_install(context, module);
                // Only a run that stops dead leaves the record: one whose
                // program or file failed said so and ends as it always did.
                const int cleared = install_record_clear(context, module);
                if (result >= 0) result = cleared;
            }
        }
        if (result < 0) {
            module.mark = kInstalled;
            return result;
        }
    }
    module.mark = kInstalled;
    return 0;
}
