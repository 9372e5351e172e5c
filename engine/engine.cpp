// The update engine's entry point, and ui_notify, which packs the arguments
// of an event into the record the front end's callback receives.
#include "engine/engine.h"

#include <cstdarg>
#include <cstdint>

#include "engine/update.h"

namespace {

void fill_file_info(UiFileInfo *info, const FileRecord *file) {
    info->name = file->sitepath;
    info->path = file->localpath;
    info->temp = file->tempfile;
    info->size = file->size;
    info->done = file->received;
}

}  // namespace

// The event records live on this frame, so they are valid only during the
// callback; the front end must not keep pointers into them.
int ui_notify(EngineContext *context, int code, ...) {
    if (context == nullptr || context->run_state == nullptr || context->ui_event == nullptr) {
        return 0;
    }
    UiEvent event{code, nullptr};
    UiFileInfo info{};
    UiPeers peers{};
    int32_t words[2] = {0, 0};

    va_list args;
    va_start(args, code);
    if (code == UI_VERIFY_SIGNATURE || code == UI_VERIFY_MD5) {
        info.status = va_arg(args, int);
        const FileRecord *file = va_arg(args, const FileRecord *);
        if (file != nullptr) fill_file_info(&info, file);
        event.data = &info;
    } else if (ui_carries_file_info(code)) {
        const FileRecord *file = va_arg(args, const FileRecord *);
        if (file != nullptr) {
            fill_file_info(&info, file);
        } else {
            info.done = va_arg(args, int);
        }
        event.data = &info;
    }
    switch (code) {
        case UI_EXEC:
            // The exit status travels as the data word itself.
            event.data = reinterpret_cast<void *>(static_cast<intptr_t>(va_arg(args, int)));
            break;
        case UI_INSTALL_MODULE:
        case UI_SENT_LINE:
        case UI_RECEIVED_LINE:
            event.data = const_cast<char *>(va_arg(args, const char *));
            break;
        case UI_SPIN_WAIT:
        case UI_SPIN_IO:
        case UI_SPIN:
        case UI_RETRY:
            words[0] = va_arg(args, int);
            words[1] = va_arg(args, int);
            event.data = words;
            break;
        case UI_CONNECTING:
        case UI_CONNECTION_CLOSED:
            peers.local_host = va_arg(args, const char *);
            peers.local_port = static_cast<uint16_t>(va_arg(args, int));
            peers.remote_host = va_arg(args, const char *);
            peers.remote_port = static_cast<uint16_t>(va_arg(args, int));
            event.data = &peers;
            break;
        case UI_ERROR:
            event.data = context->error;
            break;
        default:  // the file codes above, the codes without data, unknown codes
            break;
    }
    va_end(args);
    return context->ui_event(context->run_state, &event);
}

// Placeholder until the engine lands: it fetches and installs nothing and
// reports success, so a run ends with "There are no files to update.".
int engine_update(EngineContext *context) {
    if (context == nullptr) return -1;
    return 0;
}
