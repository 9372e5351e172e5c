// The rollback serial: the newest manifest serial this machine accepted for
// each catalogue, kept in the state directory between runs.
#pragma once

#include <cstdint>
#include <string>

#include "support/descriptor.h"

// Opens the state directory `dir` into `opened` (created 0700 when missing),
// never through a link, once nobody but this user and root can change what
// it or any directory above it holds: "" or the reason, for a line of the
// caller's. The state files are then named from `opened` alone.
std::string rollback_serial_prepare(const std::string &dir, Descriptor &opened);
// The catalogue's serial into `serial` (0 when none was kept): "" or why
// the state cannot be read. `dir` is the open state directory, `path` its
// name for the reason.
std::string rollback_serial_read(int dir, const std::string &path, const std::string &infofile,
                                 int64_t &serial);
// Raises the catalogue's serial to `serial` (never lowers it), replacing the
// state file whole and syncing it, while no other run changes it: "" or
// why it could not.
std::string rollback_serial_raise(int dir, const std::string &path, const std::string &infofile,
                                  int64_t serial);
