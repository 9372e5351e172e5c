// The typed notification calls: each packs its data into the event record
// the front end's callback receives.
#include "core/notify.h"

namespace {

int deliver(EngineContext *context, UiCode code, void *data) {
    if (context == nullptr || context->run_state == nullptr || context->ui_event == nullptr) {
        return 0;
    }
    UiEvent event{code, data};
    return context->ui_event(context->run_state, &event);
}

UiFileInfo file_info(const FileRecord *file) {
    UiFileInfo info{};
    if (file == nullptr) return info;
    info.name = file->sitepath;
    info.path = file->localpath;
    info.temp = file->tempfile;
    info.size = file->size;
    info.done = file->received;
    return info;
}

}  // namespace

int notify(EngineContext *context, UiCode code) {
    if (code == UI_ERROR)
        return deliver(context, code, context != nullptr ? context->error : nullptr);
    return deliver(context, code, nullptr);
}

int notify_file(EngineContext *context, UiCode code, const FileRecord *file) {
    UiFileInfo info = file_info(file);
    return deliver(context, code, &info);
}

int notify_progress_bytes(EngineContext *context, int32_t done) {
    UiFileInfo info{};
    info.done = done;
    return deliver(context, UI_PROGRESS, &info);
}

int notify_verify(EngineContext *context, UiCode code, int32_t status, const FileRecord *file) {
    UiFileInfo info = file_info(file);
    info.status = status;
    return deliver(context, code, &info);
}

int notify_exec(EngineContext *context, int32_t status) {
    // The exit status travels as the data word itself.
    return deliver(context, UI_EXEC, reinterpret_cast<void *>(static_cast<intptr_t>(status)));
}

int notify_text(EngineContext *context, UiCode code, const char *text) {
    return deliver(context, code, const_cast<char *>(text));
}

int notify_counts(EngineContext *context, UiCode code, int32_t first, int32_t second) {
    int32_t words[2] = {first, second};
    return deliver(context, code, words);
}

int notify_peers(EngineContext *context, UiCode code, const char *local_host, uint16_t local_port,
                 const char *remote_host, uint16_t remote_port) {
    UiPeers peers{local_host, local_port, remote_host, remote_port};
    return deliver(context, code, &peers);
}
