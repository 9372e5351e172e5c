// Shared by the fuzz targets: the input as a socket to read or as a file to
// load, and a context that allows three one-second waits.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "core/context.h"

// The read end holding the bytes, or -1. The whole input must fit into the socket buffer before
// anything reads it. As one stream, a receive brings many lines at once; in records of `piece`
// bytes (1-63, at most 64 of them, on a SOCK_SEQPACKET pair) it brings one record at the most, so
// lines arrive split as TCP segments may split them.
inline int feed_socket(const uint8_t *data, size_t size, size_t piece = 0) {
    if (size > 32768) return -1;
    if (piece >= 64 || size > 64 * piece) piece = 0;
    int ends[2];
    if (socketpair(AF_UNIX, piece > 0 ? SOCK_SEQPACKET : SOCK_STREAM, 0, ends) < 0) return -1;
    for (size_t at = 0; at < size;) {
        const size_t count = piece > 0 && size - at > piece ? piece : size - at;
        if (write(ends[1], data + at, count) != static_cast<ssize_t>(count)) abort();
        at += count;
    }
    close(ends[1]);
    return ends[0];
}

// The path of the process's one scratch file, removed at exit, now holding the bytes; or nullptr.
inline const char *feed_file(const uint8_t *data, size_t size) {
    static char path[] = "/tmp/qavo-fuzz-XXXXXX";
    static const int fd = mkstemp(path);
    static const int removal = atexit([] { unlink(path); });
    if (fd < 0 || removal != 0 || ftruncate(fd, 0) < 0 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return nullptr;
    return path;
}

inline EngineContext fuzz_context() {
    static const EngineSettings settings = [] {
        EngineSettings three;
        three.tries = 3;
        return three;
    }();
    EngineContext context(settings);
    context.io.timeout = 1;
    return context;
}
