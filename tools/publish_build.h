// `qavopublish build`: publishes a mirror tree from a mirror description.
#pragma once

// ARGUMENTS are those after the command name. Returns the exit status.
int publish_build(int argc, char **argv, const char *usage);
