// The update engine driver, which runs one update from the information file
// to the last installed module, and at the end lets the front end decide
// which temporary copies stay on disk.
#include "engine/engine.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "core/error.h"
#include "engine/fetch.h"
#include "engine/installed_digests.h"
#include "engine/kit_install.h"
#include "engine/manifest_check.h"
#include "engine/patches.h"
#include "engine/tally.h"
#include "infofile/infofile.h"
#include "infofile/record_ops.h"
#include "integrity/lzss.h"
#include "integrity/rsa.h"
#include "support/stream.h"
#include "support/temp_copy.h"

namespace {

// The end of a record's temporary copy: the front end keeps it or lets it
// go. A copy is the engine's to remove, never a side effect of a record.
void settle_copy(EngineContext *context, const FileRecord *file) {
    if (file == nullptr || file->tempfile.empty()) return;
    if (events_of(context->io).remove_file(file_event(file)) == CopyFate::kDrop)
        unlink(file->tempfile.c_str());
}

// Every copy of the information's records: the updater's own file, then
// each module's files, in the order the kit holds them now.
void settle_copies(EngineContext *context, const InfoRecord *info) {
    if (info == nullptr) return;
    settle_copy(context, info->update_file.get());
    if (info->kit == nullptr) return;
    for (const auto &module : info->kit->modules)
        for (const auto &file : module->files) settle_copy(context, file.get());
}

// The information file's record: named after the last component of the URL,
// with no digest, so any copy of it left from before is fetched anew.
FileRecord info_file_record(const std::string &url) {
    FileRecord file;
    file.sitepath = engine_catalogue_name(url);
    return file;
}

// Whether the catalogue's copy carries a good signature; the verdict is told.
bool signature_good(EngineContext *context, FileRecord &packed) {
    TempCopy copy;
    const bool good = copy.open(context->io, packed, CopyUse::kRead) >= 0 &&
                      rsa_verify_descriptor(rsa_public_key, copy.fd()) == 0;
    events_of(context->io)
        .verify_signature(file_event(&packed), good ? Verdict::kOk : Verdict::kFailed);
    return good;
}

// Cuts the verified signature off the catalogue's copy: 0 or -1.
int strip_signature(EngineContext *context, FileRecord &packed) {
    TempCopy copy;
    if (copy.open(context->io, packed, CopyUse::kRead) < 0 || copy.held() < kRsaSignatureSize)
        return -1;
    if (ftruncate(copy.fd(), static_cast<off_t>(copy.held()) - kRsaSignatureSize) < 0)
        return record_error(context->io, ERR_FILE_SYSCALL, "ftruncate");
    return 0;
}

// A stream over one of our own copies: read from the start, or emptied and
// written. Null with the system code in `error`.
FILE *open_copy(EngineContext *context, FileRecord &file, bool output, SysError &error) {
    TempCopy copy;
    if (copy.open(context->io, file, output ? CopyUse::kEmpty : CopyUse::kRead) < 0) {
        error = copy.error();
        return nullptr;
    }
    FILE *stream = copy.stream(output ? "wb" : "rb");
    if (stream == nullptr) error = SysError::last();
    return stream;
}

// Decompresses the verified catalogue into its own temporary copy.
int decompress(EngineContext *context, FileRecord &packed, FileRecord &plain) {
    // Large blocks rather than pages; declared first, since the streams use
    // them until they are closed.
    char input_buffer[kTransferChunk], output_buffer[kTransferChunk];
    SysError error;
    Stream input{open_copy(context, packed, false, error)};
    if (input.file == nullptr)
        return record_error_code(context->io, ERR_FILE_SYSCALL, error.code, "fopen");
    Stream output{open_copy(context, plain, true, error)};
    if (output.file == nullptr)
        return record_error_code(context->io, ERR_FILE_SYSCALL, error.code, "fopen");
    (void)setvbuf(input.file, input_buffer, _IOFBF, sizeof input_buffer);
    (void)setvbuf(output.file, output_buffer, _IOFBF, sizeof output_buffer);
    lzss_decode(input.file, output.file);
    input.close();
    if (output.close() != 0) return record_error(context->io, ERR_FILE_SYSCALL, "fclose");
    return 0;
}

// The manifest beside the catalogue, fetched first: without one that
// checks out nothing else is fetched. Its copy is settled here.
std::unique_ptr<Manifest> fetch_manifest(EngineContext *context, EngineLink &link,
                                         const FileRecord &packed) {
    FileRecord copy;
    copy.sitepath = packed.sitepath.value_or("") + ".sig";
    // Read no further than a manifest may be.
    copy.size_bound = kManifestSizeLimit;
    if (context->keep_catalogue) copy.kept = std::make_unique<KeptCopy>();
    std::unique_ptr<Manifest> manifest;
    bool fetched = false;  // a refused manifest was there: its refusal was told
    const CopyCheck accept = [&](TempCopy &) {
        fetched = true;
        manifest = manifest_accept(context, copy);
        return manifest != nullptr;
    };
    if (engine_prepare_tempfile(context, copy) >= 0 &&
        engine_get_file(copy, link, false, accept) < 0 && !fetched)
        manifest_missing(context, copy);
    settle_copy(context, &copy);
    return manifest;
}

// Fetches, verifies, decompresses and loads the information file, and
// holds it against its manifest when there is one; the copies of both
// temporary records are settled here whatever the outcome.
std::unique_ptr<InfoRecord> load_information(EngineContext *context, EngineLink &link,
                                             const Manifest *manifest) {
    FileRecord packed = info_file_record(link.url());
    if (context->keep_catalogue) packed.kept = std::make_unique<KeptCopy>();
    std::unique_ptr<FileRecord> plain;
    std::unique_ptr<InfoRecord> info;
    // A catalogue that fails its checks at one mirror may pass at the next.
    const CopyCheck verified = [&](TempCopy &) {
        return (manifest == nullptr || manifest_check_catalogue(context, *manifest, packed) == 0) &&
               signature_good(context, packed);
    };
    if (engine_prepare_tempfile(context, packed) >= 0 &&
        engine_get_file(packed, link, false, verified) >= 0 &&
        strip_signature(context, packed) == 0) {
        plain = std::make_unique<FileRecord>();
        plain->sitepath = packed.tempfile;
        if (engine_prepare_tempfile(context, *plain) >= 0 &&
            decompress(context, packed, *plain) == 0)
            info = update_get_information(context->io, plain->tempfile);
    }
    settle_copy(context, plain.get());
    settle_copy(context, &packed);
    if (info != nullptr && manifest != nullptr &&
        manifest_bind_files(context, *manifest, *info) < 0)
        info.reset();
    return info;
}

// The updater's own entry: when a new version is there, it replaces the
// executable and the run ends without looking at any module.
int update_self(EngineContext *context, EngineLink &link, FileRecord *self, bool *replaced) {
    *replaced = false;
    if (self == nullptr || !file_is_installable(*self)) return 0;
    if (engine_get_file(*self, link, true) < 0) return -1;
    if (self->tempfile.empty()) return 0;
    if (context->network_broken) return -1;
    *replaced = true;
    return context->installer->install_file(InstallStep::kSelfUpdate, self->tempfile,
                                            self->localpath.value_or(""), false);
}

// Every download, as its patch where the mirror has one from the installed
// version; the requests sent ahead are for what will be fetched.
int fetch_downloads(EngineLink &link, const Manifest *manifest, UpdateResult &outcome) {
    PatchPlan plan(link, manifest);
    // By index: the lists are the plan's and stay put while files are fetched.
    const std::span<FileRecord *const> all = plan.fetches();
    int result = 0;
    for (size_t i = 0; result >= 0 && i < all.size(); i++) {
        link.ahead = all.subspan(i + 1);
        result = plan.get(i);
    }
    link.ahead = {};
    outcome.files_patched = plan.files_patched();
    outcome.bytes_saved = plan.bytes_saved();
    return result < 0 ? result : 0;
}

int run_update(EngineContext *context, std::unique_ptr<EngineLink> &link,
               std::unique_ptr<InfoRecord> &info, std::unique_ptr<Manifest> &manifest,
               UpdateResult &outcome) {
    if (context->settings.manifest_required) {
        manifest = fetch_manifest(context, *link, info_file_record(link->url()));
        if (manifest == nullptr) return -1;
        outcome.manifest_serial = manifest->serial;
        // Kept before anything is installed, so that a state directory that
        // cannot keep it stops the run here. The same serial is accepted
        // again, so a run that fails after this can still be retried.
        if (manifest_raise_serial(context, *manifest) < 0) return -1;
    }
    info = load_information(context, *link, manifest.get());
    if (info == nullptr) return -1;
    bool replaced = false;
    int result = update_self(context, *link, info->update_file.get(), &replaced);
    if (result < 0 || replaced) return result;
    if (info->kit == nullptr) return -1;
    // With patches the check and the plan share the record of installed
    // versions: a file it knows as an older version is not read to learn so.
    if (manifest != nullptr && context->settings.deltas)
        link->recorded = InstalledDigests::read(context->state_fd, context->settings.infofile);
    result = kit_collect_files(context, *info->kit, *link);
    if (result < 0) return result;
    result = fetch_downloads(*link, manifest.get(), outcome);
    if (result < 0) return result;
    const std::vector<const FileRecord *> fetched(link->downloads.begin(), link->downloads.end());
    // Installing needs no connection; a server should not wait on programs.
    link.reset();
    result = kit_install(context, *info->kit);
    if (result < 0) return result;
    // What a later run may patch: the versions just installed.
    if (manifest != nullptr && context->settings.deltas && !fetched.empty()) {
        std::vector<const FileRecord *> files;
        for (const auto &module : info->kit->modules)
            for (const auto &file : module->files) files.push_back(file.get());
        InstalledDigests::note(context->state_fd, context->settings.infofile, files, fetched);
    }
    return 0;
}

}  // namespace

UpdateResult engine_update(EngineContext *context) {
    UpdateResult outcome;
    if (context == nullptr || context->io.events == nullptr || context->installer == nullptr)
        return outcome;
    context->io.error = ErrorRecord{};
    context->pipeline = std::max(context->settings.pipeline, 1);
    Events *listener = context->io.events;
    Tally tally(*listener);
    context->io.events = &tally;
    std::unique_ptr<EngineLink> link = engine_open_link(context);
    std::unique_ptr<InfoRecord> info;
    std::unique_ptr<Manifest> manifest;
    const int result = link != nullptr ? run_update(context, link, info, manifest, outcome) : -1;
    outcome.status = result != 0 ? -1 : 0;
    link.reset();
    settle_copies(context, info.get());
    context->io.events = listener;
    outcome.files_to_update = tally.files_to_update;
    outcome.files_updated = tally.files_updated;
    outcome.modules_installed = tally.modules_installed;
    outcome.bytes_downloaded = tally.bytes_downloaded;
    return outcome;
}
