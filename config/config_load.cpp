// Loading a configuration file into a model: opening the file, running the
// scanner and grammar over it, and rejecting the model on any counted error.
#include <cerrno>
#include <cstring>

#include "config/config.tab.hpp"
#include "config/updconfig.h"

std::unique_ptr<Config> config_load(std::unique_ptr<Config> model, const char *path) {
    if (model == nullptr) model = config_new();
    if (path == nullptr) return model;

    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        fprintf(stderr, "Can't open file %s (%s)", path, strerror(errno));
        return nullptr;
    }

    // The scanner is not reentrant: start it afresh on this file and drop
    // its buffers and words afterwards so the next load begins at line 1.
    cfgin = file;
    config_line = 1;
    int status = cfgparse(model.get());
    if (status != 0 || model->errors != 0) model.reset();
    cfglex_destroy();
    config_words.clear();
    fclose(file);
    return model;
}
