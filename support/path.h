// Path normalisation in place, and making a directory's entries durable.
#pragma once

#include <string>

// Removes "." and ".." components and repeated slashes, in place; the text
// ends at a NUL byte, as a C caller would see it.
void normalize_path(std::string &path);

// Writes the directory (its new, renamed and removed names) to disk; a
// directory that cannot be opened or synced is left as it is.
void sync_directory(const char *directory);
