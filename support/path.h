// Path normalisation in place, and making a directory's entries durable.
#pragma once

// Removes "." and ".." components and repeated slashes; -1 (path unchanged)
// when there is no memory for the work.
int normalize_path(char *path);

// Writes the directory (its new, renamed and removed names) to disk; a
// directory that cannot be opened or synced is left as it is.
void sync_directory(const char *directory);
