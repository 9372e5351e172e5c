// The module walks: require and needs resolution, file collection and
// installation, sharing each module's mark; and one module's install steps.
#include "engine/walk.h"

#include "core/error.h"
#include "core/events.h"
#include "core/notify.h"
#include "engine/install_record.h"
#include "support/path.h"
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

ModuleRecord *find_module(Vector *modules, const char *name) {
    void **slot = vector_search(name, modules, comparekeywithmodule);
    return slot != nullptr ? static_cast<ModuleRecord *>(*slot) : nullptr;
}

int32_t count_of(const Vector *vector) {
    return vector != nullptr ? vector->count : 0;
}

bool ensure_dependencies(ModuleRecord *module) {
    if (module->dependencies == nullptr) module->dependencies = vector_new();
    return module->dependencies != nullptr;
}

// A program's own path: the fetched copy, or the installed file when it was
// not fetched. Such a file was never looked at by the collection walk when
// it has no mirror name, so its placeholders are expanded here.
const char *program_path(EngineContext *context, FileRecord *file) {
    if (file->tempfile != nullptr) return file->tempfile;
    if (file->localpath != nullptr && file->sitepath != nullptr && file->sitepath[0] == '\0' &&
        context->expand_path != nullptr) {
        if (context->expand_path(context->run_state, &file->localpath) < 0) return nullptr;
        if (file->localpath != nullptr) normalize_path(file->localpath);
    }
    return file->localpath;
}

int run_install_program(EngineContext *context, FileRecord *file, const char *call) {
    int status = 0;
    // A fetched program runs from its copy, which only we may have written.
    if (file->tempfile != nullptr && private_check(file->tempfile) < 0)
        return record_error_code(context, ERR_UPDATE, UPD_CANT_EXECUTE, call);
    if (run_program(context, program_path(context, file), &status) != 0)
        return record_error_code(context, ERR_UPDATE, UPD_CANT_EXECUTE, call);
    return 0;
}

}  // namespace

int module_resolve_requires(EngineContext *context, Vector *modules, ModuleRecord *module) {
    if (module == nullptr) return -1;
    if (!ensure_dependencies(module)) {
        module->mark = kRequireDone;
        return -1;
    }
    int result = 0;
    if (module->mark == kRequireDone) return 0;
    if (module->mark == kRequireActive) {
        result = record_error_code(context, ERR_UPDATE, UPD_CYCLIC, module->name);
    } else if (module->mark == 0) {
        module->mark = kRequireActive;
    } else {
        result = -1;
    }
    for (int32_t i = 0; result == 0 && i < count_of(module->requires_); i++) {
        const char *name = vector_at<char>(module->requires_, i);
        ModuleRecord *required = find_module(modules, name);
        if (required == nullptr) {
            result = record_error_code(context, ERR_UPDATE, UPD_NO_INFO, name);
            break;
        }
        int resolved = module_resolve_requires(context, modules, required);
        if (resolved >= 0 && vector_add(module->dependencies, required) < 0) resolved = -1;
        if (resolved < 0) {
            module->mark = kRequireDone;
            return resolved;
        }
    }
    if (result == 0 && module->files != nullptr) vector_sort(module->files, file_compar);
    module->mark = kRequireDone;
    return result;
}

int module_resolve_needs(Vector *modules, ModuleRecord *module) {
    if (module == nullptr) return -1;
    if (!ensure_dependencies(module)) {
        module->mark = kNeedsDone;
        return -1;
    }
    if (module->mark == kNeedsDone) return 0;
    if (module->mark != kRequireDone) {
        // Unreached by the require walk, or met again on the current path.
        module->mark = kNeedsDone;
        return -1;
    }
    module->mark = kNeedsActive;
    int result = 0;
    // The modules that the require walk attached are walked first, so that
    // the needs of every reached module are resolved, not only the root's.
    int32_t required = module->dependencies->count;
    for (int32_t i = 0; result >= 0 && i < required; i++)
        result = module_resolve_needs(modules, vector_at<ModuleRecord>(module->dependencies, i));
    for (int32_t i = 0; result >= 0 && i < count_of(module->needs); i++) {
        ModuleRecord *needed = find_module(modules, vector_at<char>(module->needs, i));
        if (needed == nullptr) continue;  // ordering only: an absent module orders nothing
        result = module_resolve_needs(modules, needed);
        if (result >= 0 && vector_add(module->dependencies, needed) < 0) result = -1;
    }
    module->mark = kNeedsDone;
    return result;
}

void module_reset_marks(ModuleRecord *module) {
    if (module == nullptr || module->mark == 0) return;
    module->mark = 0;
    for (int32_t i = 0; i < count_of(module->dependencies); i++)
        module_reset_marks(vector_at<ModuleRecord>(module->dependencies, i));
}

int module_collect_files(EngineContext *context, ModuleRecord *module, EngineLink *link) {
    if (module == nullptr || module->name == nullptr || context == nullptr ||
        context->install_file == nullptr || link == nullptr)
        return -1;
    if (module->mark != 0) return 0;
    int result = 0;
    for (int32_t i = 0; i < count_of(module->dependencies); i++) {
        if (module_collect_files(context, vector_at<ModuleRecord>(module->dependencies, i), link) <
            0) {
            module->mark = kCollected;
            return -1;
        }
    }
    for (int32_t i = 0; i < count_of(module->files); i++) {
        result = engine_check_file(vector_at<FileRecord>(module->files, i), link);
        if (result < 0) break;
    }
    module->mark = kCollected;
    return result;
}

int module_install(EngineContext *context, ModuleRecord *module) {
    if (module == nullptr || module->name == nullptr || context == nullptr ||
        context->install_file == nullptr)
        return -1;
    if (module->mark == kInstalled) return 0;
    for (int32_t i = 0; i < count_of(module->dependencies); i++) {
        int installed = module_install(context, vector_at<ModuleRecord>(module->dependencies, i));
        if (installed < 0) return installed;
    }
    if (module->files != nullptr) {
        int result = module_has_updates(context, module);
        if (result == 0) {
            result = install_record_set(context, module);
            if (result >= 0) {
                result = module_run_pre_install(context, module);
                for (int pass = 0; pass < 2 && result >= 0; pass++)
                    result = module_install_files(context, module, pass);
                if (result >= 0) result = module_run_post_install(context, module);
                // Only a run that stops dead leaves the record: one whose
                // program or file failed said so and ends as it always did.
                const int cleared = install_record_clear(context, module);
                if (result >= 0) result = cleared;
            }
        }
        if (result < 0) {
            module->mark = kInstalled;
            return result;
        }
    }
    module->mark = kInstalled;
    return 0;
}

int module_has_updates(EngineContext *context, ModuleRecord *module) {
    bool pending = false;
    for (int32_t i = 0; !pending && i < count_of(module->files); i++) {
        const FileRecord *file = vector_at<FileRecord>(module->files, i);
        pending = file_is_installable(file) == 1 && file->tempfile != nullptr;
    }
    // An installation that a crash cut short is finished, programs and all.
    if (!pending && install_record_found(context, module) != 1) return 1;
    int answer = notify_text(context, UI_INSTALL_MODULE, module->name);
    if (answer != 0) return answer;
    vector_sort(module->files, file_order_compar);
    return 0;
}

int module_run_pre_install(EngineContext *context, ModuleRecord *module) {
    for (int32_t i = 0; i < count_of(module->files); i++) {
        FileRecord *file = vector_at<FileRecord>(module->files, i);
        if (file->order >= 0) break;
        if (notify_file(context, UI_RUN_PRE_INSTALL, file) < 0) return -1;
        if (run_install_program(context, file, "pre install") < 0) return -1;
    }
    return 0;
}

int module_install_files(EngineContext *context, ModuleRecord *module, int pass) {
    const char *call = pass == 0 ? "tryinstall" : "doinstall";
    for (int32_t i = 0; i < count_of(module->files); i++) {
        FileRecord *file = vector_at<FileRecord>(module->files, i);
        if (file_is_installable(file) != 1 || file->tempfile == nullptr) continue;
        notify_file(context, pass == 0 ? UI_CHECK_FILE : UI_UPDATE_FILE, file);
        if (context->install_file(context->run_state, pass, file->tempfile, file->localpath) < 0)
            return record_error_code(context, ERR_UPDATE, UPD_CANT_INSTALL, call);
    }
    return 0;
}

int module_run_post_install(EngineContext *context, ModuleRecord *module) {
    int32_t first = 0;
    while (first < count_of(module->files) &&
           vector_at<FileRecord>(module->files, first)->order <= 0)
        first++;
    for (int32_t i = first; i < count_of(module->files); i++) {
        FileRecord *file = vector_at<FileRecord>(module->files, i);
        if (file->order < 1) break;
        if (notify_file(context, UI_RUN_POST_INSTALL, file) != 0) return -1;
        if (run_install_program(context, file, "post install") < 0) return -1;
    }
    return 0;
}
