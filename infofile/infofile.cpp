// Loading an information file: opening it, running the scanner and grammar
// over it, and reporting a broken file as a parser error.
#include "infofile/infofile.h"

#include <cstdio>

#include "core/notify.h"
#include "infofile/info.tab.hpp"

InfoRecord *current_info;
FileRecord *update_file;
KitRecord *current_kit;
ModuleRecord *current_module;
FileRecord *current_file;

namespace {

void clear_cursor() {
    current_info = nullptr;
    update_file = nullptr;
    current_kit = nullptr;
    current_module = nullptr;
    current_file = nullptr;
}

// An unopenable file is reported like a broken one: either way the engine
// has no catalogue to work from.
void report_parser_error(EngineContext *context) {
    if (context != nullptr && context->error != nullptr) {
        context->error->class_ = ERR_UPDATE;
        context->error->code = UPD_PARSER;
        context->error->call = "update_get_information";
    }
    notify(context, UI_ERROR);
}

}  // namespace

InfoRecord *update_get_information(EngineContext *context, const char *path) {
    FILE *file = path != nullptr ? fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        report_parser_error(context);
        return nullptr;
    }

    // The scanner is not reentrant: start it afresh on this file, in the
    // top-level state, and drop its buffer and state stack afterwards.
    clear_cursor();
    info_scan_reset();
    infoin = file;
    InfoRecord *result = nullptr;
    if (infoparse() == 0) {
        result = current_info;
    } else {
        report_parser_error(context);
        info_free(context, current_info);
    }
    clear_cursor();
    info_scan_reset();
    fclose(file);
    return result;
}
