// A stream closed on every return path of the scope that holds it.
#pragma once

#include <cstdio>

struct Stream {
    FILE *file;
    explicit Stream(FILE *opened) : file(opened) {}
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    ~Stream() {
        if (file != nullptr) fclose(file);
    }
    // Closes it now: fclose's result, which tells whether the buffered
    // output reached the file.
    int close() {
        FILE *closing = file;
        file = nullptr;
        return closing != nullptr ? fclose(closing) : 0;
    }
};
