// The update engine driver, which runs one update from the information file
// to the last installed module.
#include "engine/engine.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/notify.h"
#include "engine/fetch.h"
#include "engine/kit_install.h"
#include "infofile/infofile.h"
#include "infofile/record_ops.h"
#include "integrity/lzss.h"
#include "integrity/rsa.h"
#include "support/copy_loop.h"
#include "support/stream.h"
#include "support/temp_copy.h"

namespace {

// The information file's record: named after the last component of the URL,
// with no digest, so any copy of it left from before is fetched anew.
FileRecord *info_file_record(const char *url) {
    const char *slash = strrchr(url, '/');
    FileRecord *file = file_new();
    if (file == nullptr) return nullptr;
    file->sitepath = strdup(slash != nullptr ? slash + 1 : url);
    if (file->sitepath == nullptr) {
        free(file);
        return nullptr;
    }
    return file;
}

// Checks the catalogue's signature and cuts it off: 0, or -1 when the copy
// is not ours, does not verify or cannot be cut.
int strip_signature(EngineContext *context, FileRecord *packed) {
    TempCopy copy;
    if (copy_open(context, packed, CopyUse::kRead, &copy) < 0) return -1;
    if (rsa_verify_descriptor(rsa_public_key, copy.fd) != 0) return -1;
    return ftruncate(copy.fd, static_cast<off_t>(copy.held) - kRsaSignatureSize) < 0 ? -1 : 0;
}

// A stream over one of our own copies: read from the start, or emptied and
// written.
FILE *open_copy(EngineContext *context, FileRecord *file, bool output) {
    TempCopy copy;
    if (copy_open(context, file, output ? CopyUse::kEmpty : CopyUse::kRead, &copy) < 0)
        return nullptr;
    return copy_stream(&copy, output ? "wb" : "rb");
}

// Decompresses the verified catalogue into its own temporary copy.
int decompress(EngineContext *context, FileRecord *packed, FileRecord *plain) {
    // Large blocks rather than pages; declared first, since the streams use
    // them until they are closed.
    char input_buffer[kTransferChunk], output_buffer[kTransferChunk];
    Stream input{open_copy(context, packed, false)};
    if (input.file == nullptr) return record_error(context, ERR_FILE_SYSCALL, "fopen");
    Stream output{open_copy(context, plain, true)};
    if (output.file == nullptr) return record_error(context, ERR_FILE_SYSCALL, "fopen");
    (void)setvbuf(input.file, input_buffer, _IOFBF, sizeof input_buffer);
    (void)setvbuf(output.file, output_buffer, _IOFBF, sizeof output_buffer);
    lzss_decode(input.file, output.file);
    input.close();
    if (output.close() != 0) return record_error(context, ERR_FILE_SYSCALL, "fclose");
    return 0;
}

// Fetches, verifies, decompresses and loads the information file; both
// temporary records are released here whatever the outcome.
InfoRecord *load_information(EngineContext *context, EngineLink *link) {
    FileRecord *packed = info_file_record(context->info_url);
    FileRecord *plain = nullptr;
    InfoRecord *info = nullptr;
    if (packed != nullptr && engine_prepare_tempfile(context, packed) >= 0 &&
        engineGetFile(packed, link, 0) >= 0) {
        if (strip_signature(context, packed) != 0) {
            notify_verify(context, UI_VERIFY_SIGNATURE, -1, packed);
        } else if (notify_verify(context, UI_VERIFY_SIGNATURE, 1, packed) != -1) {
            plain = file_new();
            if (plain != nullptr) plain->sitepath = strdup(packed->tempfile);
            if (plain != nullptr && plain->sitepath != nullptr &&
                engine_prepare_tempfile(context, plain) >= 0 &&
                decompress(context, packed, plain) == 0)
                info = update_get_information(context, plain->tempfile);
        }
    }
    file_free(context, plain);
    file_free(context, packed);
    return info;
}

// The updater's own entry: when a new version is there, it replaces the
// executable and the run ends without looking at any module.
int update_self(EngineContext *context, EngineLink *link, FileRecord *self, bool *replaced) {
    *replaced = false;
    if (file_is_installable(self) != 1) return 0;
    if (engineGetFile(self, link, 1) < 0) return -1;
    if (self->tempfile == nullptr) return 0;
    *replaced = true;
    return context->install_file(context->run_state, 2, self->tempfile, self->localpath);
}

int fetch_downloads(EngineLink *link) {
    for (int32_t i = 0; i < link->downloads->count; i++) {
        int result = engineGetFile(vector_at<FileRecord>(link->downloads, i), link, 1);
        if (result < 0) return result;
    }
    return 0;
}

int run_update(EngineContext *context, EngineLink **link, InfoRecord **info) {
    *info = load_information(context, *link);
    if (*info == nullptr) return -1;
    bool replaced = false;
    int result = update_self(context, *link, (*info)->update_file, &replaced);
    if (result < 0 || replaced) return result;
    result = kit_collect_files(context, (*info)->kit, *link);
    if (result < 0) return result;
    result = fetch_downloads(*link);
    if (result < 0) return result;
    // Installing needs no connection; a server should not wait on programs.
    engine_close_link(*link);
    *link = nullptr;
    result = kit_install(context, (*info)->kit);
    return result < 0 ? result : 0;
}

}  // namespace

int engine_update(EngineContext *context) {
    if (context == nullptr || context->info_url == nullptr || context->temp_dir == nullptr ||
        context->ui_event == nullptr || context->expand_path == nullptr ||
        context->modules == nullptr || context->install_file == nullptr ||
        context->error != nullptr)
        return -1;
    context->error = static_cast<ErrorRecord *>(calloc(1, sizeof(ErrorRecord)));
    if (context->error == nullptr) return -1;
    EngineLink *link = engine_open_link(context);
    InfoRecord *info = nullptr;
    int result = link != nullptr ? run_update(context, &link, &info) : -1;
    engine_close_link(link);
    info_free(context, info);
    free(context->error);
    context->error = nullptr;
    return result;
}
