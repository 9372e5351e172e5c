// Loading an information file: opening it, running the scanner and grammar
// over it, and reporting a broken file as a parser error.
#include "infofile/infofile.h"

#include <cstdio>

#include "core/error.h"
#include "infofile/info.tab.hpp"

namespace {

// An unopenable file is reported like a broken one: either way the engine
// has no catalogue to work from.
void report_parser_error(Io &io) {
    record_error_code(io, ERR_UPDATE, UPD_PARSER, "update_get_information");
}

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};

}  // namespace

std::unique_ptr<InfoRecord> update_get_information(Io &io, const std::string &path) {
    const std::unique_ptr<FILE, FileCloser> file{fopen(path.c_str(), "rb")};
    if (file == nullptr) {
        report_parser_error(io);
        return nullptr;
    }

    // The scanner is not reentrant: start it afresh on this file, in the
    // top-level state, and drop its buffer and state stack afterwards.
    info_scan_reset();
    infoin = file.get();
    InfoBuild build;
    const bool parsed = infoparse(build) == 0;
    if (!parsed) report_parser_error(io);
    info_scan_reset();
    infoin = nullptr;
    return parsed ? std::move(build.info) : nullptr;
}
