// The file view of an event and the listener of a context.
#include "core/context.h"
#include "core/records.h"

FileEvent file_event(const FileRecord *file) {
    FileEvent event;
    if (file == nullptr) return event;
    if (file->sitepath) event.name = file->sitepath->c_str();
    if (file->localpath) event.path = file->localpath->c_str();
    if (!file->tempfile.empty()) event.temp = file->tempfile.c_str();
    event.size = file->size;
    event.done = file->received;
    return event;
}

Events &events_of(EngineContext *context) {
    static SilentEvents silent;
    return context != nullptr && context->events != nullptr ? *context->events : silent;
}
