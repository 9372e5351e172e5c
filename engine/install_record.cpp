// Records of module installations under way: temp_dir/<md5 of the module
// name>.installing, an empty private file.
#include "engine/install_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/error.h"
#include "engine/fetch.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "support/privfile.h"

namespace {

constexpr char kRecordSuffix[] = ".installing";

// Empty for a nameless module, which has no record.
std::string record_name(EngineContext *context, const ModuleRecord &module) {
    if (context == nullptr || !module.name) return {};
    return engine_temp_name(context->settings.temp_dir, *module.name, kRecordSuffix);
}

}  // namespace

int install_record_found(EngineContext *context, const ModuleRecord &module) {
    const std::string name = record_name(context, module);
    // Only a record of our own counts: one planted by somebody else in a
    // shared directory must not make programs run.
    return !name.empty() && !private_check(name.c_str()) ? 1 : 0;
}

int install_record_set(EngineContext *context, const ModuleRecord &module) {
    const std::string name = record_name(context, module);
    if (name.empty()) return -1;
    if (!private_check(name.c_str())) return 0;
    (void)unlink(name.c_str());  // anything else under the name is not ours
    const Opened record = private_create(name.c_str(), O_WRONLY);
    if (record.error)
        return record_error_code(context->io, ERR_FILE_SYSCALL, record.error.code, "open");
    sync_directory(context->settings.temp_dir.c_str());  // a crash right after must still find it
    return 0;
}

int install_record_clear(EngineContext *context, const ModuleRecord &module) {
    const std::string name = record_name(context, module);
    if (name.empty()) return -1;
    if (unlink(name.c_str()) < 0 && errno != ENOENT)
        return record_error(context->io, ERR_FILE_SYSCALL, "unlink");
    return 0;
}
