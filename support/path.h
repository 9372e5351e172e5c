// Path normalisation in place, and making a directory's entries durable.
#pragma once

#include <string>

// Removes "." and ".." components and repeated slashes; 0, or -1 for no path.
int normalize_path(char *path);
void normalize_path(std::string &path);

// Writes the directory (its new, renamed and removed names) to disk; a
// directory that cannot be opened or synced is left as it is.
void sync_directory(const char *directory);
