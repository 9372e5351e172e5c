// Loading a configuration file into a model: opening the file, running the
// scanner and grammar over it, and rejecting the model on any counted error.
#include "config/updconfig.h"

#include <cerrno>
#include <cstring>

#include "config/config.tab.hpp"

Config *config_load(Config *model, const char *path) {
    if (model == nullptr) {
        model = config_new();
        if (model == nullptr) return nullptr;
    }
    if (path == nullptr) return model;

    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        fprintf(stderr, "Can't open file %s (%s)", path, strerror(errno));
        config_free(model);
        return nullptr;
    }

    // The scanner is not reentrant: start it afresh on this file and drop
    // its buffers afterwards so the next load begins at line 1.
    cfgin = file;
    config_line = 1;
    int status = cfgparse(model);
    if (status != 0 || model->errors != 0) {
        config_free(model);
        model = nullptr;
    }
    cfglex_destroy();
    fclose(file);
    return model;
}
