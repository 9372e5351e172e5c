// Every check a manifest takes part in, each refusal one line naming what
// was refused and why. The checks run on the bytes as fetched: nothing a
// mirror sends is believed before its signature is.
#include "engine/manifest_check.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string_view>
#include <unordered_map>

#include "core/clock.h"
#include "core/error.h"
#include "engine/fetch.h"
#include "engine/rollback_serial.h"
#include "integrity/signing_keys.h"
#include "support/crypto.h"
#include "support/data_io.h"
#include "support/temp_copy.h"

namespace {

int refuse(EngineContext *context, std::string text) {
    return record_error_text(context->io, ERR_MANIFEST, std::move(text), "manifest");
}

std::string utc_text(int64_t seconds) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    char text[32];
    if (gmtime_r(&when, &parts) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
        return std::to_string(seconds);
    return text;
}

}  // namespace

const Ed25519PublicKey *manifest_signing_key(const ManifestKeyId &keyid) {
    for (const Ed25519PublicKey &key : trusted_signing_keys()) {
        ManifestKeyId id;
        if (ed25519_key_id(key, id) && id == keyid) return &key;
    }
    return nullptr;
}

int manifest_missing(EngineContext *context, const FileRecord &copy) {
    const std::string name = "manifest " + copy.sitepath.value_or("");
    // The fetch stopped at the copy's bound (told as EFBIG): the mirror has
    // one, too large to be read.
    if (context->io.error.class_ == ERR_FILE_SYSCALL && context->io.error.code == EFBIG)
        return refuse(context, name + " is larger than its limit of " +
                                   std::to_string(kManifestSizeLimit) + " bytes");
    return refuse(context, name + " missing");
}

std::unique_ptr<Manifest> manifest_accept(EngineContext *context, FileRecord &copy) {
    const std::string name = "manifest " + copy.sitepath.value_or("");
    const std::string unusable = crypto_unavailable();
    if (!unusable.empty()) {
        refuse(context, name + " cannot be checked (" + unusable + ")");
        return nullptr;
    }
    std::string text;
    if (!engine_read_copy(context, copy, kManifestSizeLimit, text)) return nullptr;
    auto manifest = std::make_unique<Manifest>();
    const std::string malformed = manifest_parse(text, *manifest);
    if (!malformed.empty()) {
        refuse(context, name + " malformed (" + malformed + ")");
        return nullptr;
    }
    const Ed25519PublicKey *key = manifest_signing_key(manifest->keyid);
    if (key == nullptr) {
        refuse(context, name + " signed by an untrusted key " +
                            manifest_hex(manifest->keyid.data(), manifest->keyid.size()));
        return nullptr;
    }
    if (!ed25519_verify(*key, std::string_view(text).substr(0, manifest->signed_length),
                        manifest->signature)) {
        refuse(context, name + " has a bad signature");
        return nullptr;
    }
    if (manifest->expires <= wall_seconds()) {
        refuse(context, name + " expired at " + utc_text(manifest->expires) + " UTC");
        return nullptr;
    }
    int64_t accepted = 0;
    const std::string why = rollback_serial_read(context->state_fd, context->settings.state_dir,
                                                 context->settings.infofile, accepted);
    if (!why.empty()) {
        refuse(context, why);
        return nullptr;
    }
    if (manifest->serial < accepted) {
        refuse(context, name + " serial " + std::to_string(manifest->serial) +
                            " is older than the accepted " + std::to_string(accepted) +
                            " (rollback refused)");
        return nullptr;
    }
    return manifest;
}

int manifest_check_catalogue(EngineContext *context, const Manifest &manifest, FileRecord &packed) {
    TempCopy copy;
    if (copy.open(context->io, packed, CopyUse::kRead) < 0) return copy.report();
    Sha256Value digest;
    if (sha256_fd(copy.fd(), copy.held(), digest) && digest == manifest.catalogue) return 0;
    return refuse(context,
                  "catalogue " + packed.sitepath.value_or("") + " does not match its manifest");
}

int manifest_bind_files(EngineContext *context, const Manifest &manifest, InfoRecord &info) {
    std::unordered_map<std::string_view, const ManifestFile *> listed;
    listed.reserve(manifest.files.size());
    for (const ManifestFile &file : manifest.files) listed.emplace(file.sitepath, &file);
    const auto bind = [&](FileRecord &file) {
        // A file without a mirror name is never fetched: nothing to vouch for.
        if (!file.sitepath || file.sitepath->empty()) return 0;
        const auto found = listed.find(*file.sitepath);
        if (found == listed.end())
            return refuse(context,
                          "catalogue lists " + *file.sitepath + ", which its manifest does not");
        if (found->second->size != file.size)
            return refuse(context, "catalogue lists " + *file.sitepath +
                                       " with another size than its manifest");
        file.sha256 = found->second->sha256;
        file.sha256_set = true;
        return 0;
    };
    if (info.update_file != nullptr && bind(*info.update_file) < 0) return -1;
    if (info.kit == nullptr) return 0;
    for (const auto &module : info.kit->modules) {
        for (const auto &file : module->files) {
            if (bind(*file) < 0) return -1;
        }
    }
    return 0;
}

int manifest_refuse_file(EngineContext *context, const FileRecord &file) {
    return refuse(context, "file " + file.sitepath.value_or("") + " does not match its manifest");
}

int manifest_raise_serial(EngineContext *context, const Manifest &manifest) {
    const std::string why = rollback_serial_raise(context->state_fd, context->settings.state_dir,
                                                  context->settings.infofile, manifest.serial);
    return why.empty() ? 0 : refuse(context, why);
}
