// Opening libraries and looking up their calls with the dynamic loader.
#include "support/shared_library.h"

#include <dlfcn.h>

void *shared_library_open(const std::string &library_name, std::string &why) {
    void *library = dlopen(library_name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char *error = dlerror();
        why = error != nullptr ? error : library_name + ": cannot be loaded";
    }
    return library;
}

void *shared_library_call(void *library, const char *name) {
    return dlsym(library, name);
}
