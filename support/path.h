// Path normalisation, in place.
#pragma once

// Removes "." and ".." components and repeated slashes; -1 (path unchanged)
// when there is no memory for the work.
int normalize_path(char *path);
