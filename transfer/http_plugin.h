// The http plugin's body sink, which appends each body (or chunk) to the
// temporary copy. The plugin record itself is http_plugin in plugin.h.
#pragma once

#include <cstdint>

struct HttpClient;
struct Received;
struct TempCopy;

struct HttpSinkArguments {
    TempCopy *copy;  // opened by the attempt
    HttpClient *client;
};

// Appends *length bytes (-1: until the peer closes), first those received
// ahead, then from the socket, to the end of the temporary copy, within its
// bound; *length becomes the count moved.
int http_file_sink(int socket, Received *ahead, int32_t *length, void *arguments);
