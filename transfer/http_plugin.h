// The http plugin's body sink, which appends each body (or chunk) to the
// temporary copy. The plugin record itself is http_plugin in plugin.h.
#pragma once

#include <cstdint>

struct HttpClient;

struct HttpSinkArguments {
    const char *tempfile;  // the engine has created it; never created here
    HttpClient *client;
    uint32_t limit;  // most the copy may hold; 0: the unlisted bound
};

// Appends *length bytes (-1: until the peer closes) from the socket to the
// end of the temporary copy; *length becomes the count moved.
int http_file_sink(int socket, int32_t *length, void *arguments);
