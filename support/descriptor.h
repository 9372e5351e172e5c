// A descriptor closed on every return path of the scope that holds it; it
// moves but is never copied, so exactly one holder closes it.
#pragma once

#include <unistd.h>

#include <utility>

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(Descriptor &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        reset(std::exchange(other.fd, -1));
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { reset(); }
    // Closes what it holds and takes the new one.
    void reset(int opened = -1) {
        if (fd >= 0) close(fd);
        fd = opened;
    }
    // Hands the descriptor over to a new owner (a stream, say).
    int release() { return std::exchange(fd, -1); }
};
