// A descriptor closed on every return path of the scope that holds it.
#pragma once

#include <unistd.h>

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};
