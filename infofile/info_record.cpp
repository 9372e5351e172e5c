// The information record that holds the whole parsed catalogue, and the
// vector append shared by the add operations of all records.
#include <cstdlib>

#include "infofile/record_ops.h"

InfoRecord *info_new() {
    return static_cast<InfoRecord *>(calloc(1, sizeof(InfoRecord)));
}

int record_append(Vector **vector, void *element) {
    if (vector == nullptr || element == nullptr) return -1;
    bool created = false;
    if (*vector == nullptr) {
        *vector = vector_new();
        if (*vector == nullptr) return -1;
        created = true;
    }
    if (vector_add(*vector, element) < 0) {
        if (created) {
            vector_free(*vector, 0);
            *vector = nullptr;
        }
        return -1;
    }
    return 0;
}

// A record that a failed load left without its update entry or kit releases
// what it has; the missing part adds nothing to the result.
int info_free(EngineContext *context, InfoRecord *info) {
    if (info == nullptr) return -1;
    int result = 0;
    if (info->update_file != nullptr) result += file_free(context, info->update_file);
    if (info->kit != nullptr) result += kit_free(context, info->kit);
    free(info);
    return result;
}
