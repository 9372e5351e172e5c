// The rollback floor: the newest manifest serial this machine accepted for
// each catalogue, kept in the state directory between runs.
#pragma once

#include <cstdint>
#include <string>

// Makes sure the state directory is there (created 0700 when missing) and
// that nobody but this user and root can change what it holds: "" or the
// reason, for a line of the caller's.
std::string floor_prepare(const std::string &dir);
// The catalogue's floor into `serial` (0 when none was kept): "" or why
// the state cannot be read.
std::string floor_read(const std::string &dir, const std::string &infofile, int64_t &serial);
// Raises the catalogue's floor to `serial` (never lowers it), replacing the
// state file whole and syncing it: "" or why it could not.
std::string floor_raise(const std::string &dir, const std::string &infofile, int64_t serial);
