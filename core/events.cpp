// The file view of an event and the listener of the I/O.
#include "core/io.h"
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

Events &events_of(const Io &io) {
    static SilentEvents silent;
    return io.events != nullptr ? *io.events : silent;
}
