// The information-file loader: turns a decompressed catalogue into an info
// record.
#pragma once

#include <memory>
#include <string>

#include "core/io.h"
#include "infofile/record_ops.h"

// Returns the parsed catalogue, or null after filling the I/O's error record
// (ERR_UPDATE, UPD_PARSER) and raising the error event when the file cannot
// be opened or parsed.
std::unique_ptr<InfoRecord> update_get_information(Io &io, const std::string &path);
