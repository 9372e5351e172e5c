// Loading a library's calls at run time, so that the program links none of
// the libraries only some runs need (OpenSSL, libzstd).
#pragma once

#include <memory>
#include <string>

// Opens the library, kept open for the life of the process (what it made
// may live until exit): null, with the loader's reason in `why`, when it
// cannot be had.
void *shared_library_open(const std::string &library_name, std::string &why);

// The address of the call `name` in an opened library; null when missing.
void *shared_library_call(void *library, const char *name);

template <typename Calls>
struct Loaded {
    std::unique_ptr<Calls> calls;
    std::string why;
};

// Opens the library and hands its handle to `bind`, which looks up every
// call (QAVO_LOOKUP) and names the first one missing.
template <typename Calls, typename Bind>
Loaded<Calls> load(const std::string &library_name, Bind bind) {
    Loaded<Calls> loaded;
    void *library = shared_library_open(library_name, loaded.why);
    if (library == nullptr) return loaded;
    auto calls = std::make_unique<Calls>();
    const char *missing = bind(library, *calls);
    if (missing != nullptr) {
        loaded.why = library_name + ": no " + missing;
        return loaded;
    }
    loaded.calls = std::move(calls);
    return loaded;
}

// One line of a `bind`: fills the field of the call of that name.
#define QAVO_LOOKUP(name)                                                                  \
    calls.name = reinterpret_cast<decltype(&::name)>(shared_library_call(library, #name)); \
    if (calls.name == nullptr) return #name;
