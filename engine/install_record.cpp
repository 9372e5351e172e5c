// Records of module installations under way: temp_dir/<md5 of the module
// name>.installing, an empty private file.
#include "engine/install_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/error.h"
#include "engine/fetch.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "support/privfile.h"

namespace {

constexpr char kRecordSuffix[] = ".installing";

char *record_name(EngineContext *context, const ModuleRecord *module) {
    if (context == nullptr || context->temp_dir == nullptr || module->name == nullptr)
        return nullptr;
    return engine_temp_name(context->temp_dir, module->name, kRecordSuffix);
}

}  // namespace

int install_record_found(EngineContext *context, const ModuleRecord *module) {
    char *name = record_name(context, module);
    // Only a record of our own counts: one planted by somebody else in a
    // shared directory must not make programs run.
    const int found = name != nullptr && private_check(name) == 0 ? 1 : 0;
    free(name);
    return found;
}

int install_record_set(EngineContext *context, const ModuleRecord *module) {
    char *name = record_name(context, module);
    if (name == nullptr) return -1;
    int result = 0;
    if (private_check(name) != 0) {
        (void)unlink(name);  // anything else under the name is not ours
        Descriptor record{private_create(name, O_WRONLY)};
        if (record.fd < 0) {
            result = record_error(context, ERR_FILE_SYSCALL, "open");
        } else {
            sync_directory(context->temp_dir);  // a crash right after must still find it
        }
    }
    free(name);
    return result;
}

int install_record_clear(EngineContext *context, const ModuleRecord *module) {
    char *name = record_name(context, module);
    if (name == nullptr) return -1;
    int result = 0;
    if (unlink(name) < 0 && errno != ENOENT)
        result = record_error(context, ERR_FILE_SYSCALL, "unlink");
    free(name);
    return result;
}
