// A pointer released by its release function on every return path of the
// scope that holds it, for records that have such a function.
#pragma once

template <typename T, void (*Release)(T *)>
struct Owned {
    T *held;
    explicit Owned(T *pointer) : held(pointer) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { Release(held); }
};
