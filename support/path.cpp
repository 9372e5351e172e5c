// Path normalisation: "." and ".." components and repeated slashes; and
// directory syncs.
#include "support/path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "support/descriptor.h"
#include "support/list.h"

namespace {

// Components that do not point into the path being normalised; they are
// only read.
char kRootComponent[] = "/";
char kDotComponent[] = ".";

void append_component(List *list, char *text) {
    // A node that cannot be had loses its component; the path stays valid.
    ListNode *node = list_node_new(text);
    if (node != nullptr) list_append(list, node);
}

// Whether normalising would give the path back as it is: no empty, "." or
// ".." component and no slash at its end, as nearly every path of a
// catalogue or configuration is. Such a path needs no list.
bool already_normal(const char *path) {
    const char *component = path;
    for (const char *at = path;; at++) {
        if (*at != '/' && *at != '\0') continue;
        const size_t length = static_cast<size_t>(at - component);
        // Only the component before a leading slash may be empty.
        if (length == 0 && component != path) return false;
        if (length == 1 && component[0] == '.') return false;
        if (length == 2 && component[0] == '.' && component[1] == '.') return false;
        if (*at == '\0') return true;
        component = at + 1;
    }
}

}  // namespace

int normalize_path(char *path) {
    if (path == nullptr) return -1;
    if (already_normal(path)) return 0;
    List *components = list_new();
    if (components == nullptr) return -1;  // the path is left as it was
    bool double_slash = path[0] == '/' && path[1] == '/';
    if (path[0] == '/') append_component(components, kRootComponent);
    char *state = nullptr;
    for (char *text = strtok_r(path, "/", &state); text != nullptr;
         text = strtok_r(nullptr, "/", &state)) {
        ListNode *last = list_last(components);
        if (strcmp(text, ".") == 0) {
            if (last == nullptr) append_component(components, text);
        } else if (strcmp(text, "..") == 0) {
            const char *previous = last != nullptr ? static_cast<char *>(last->data) : nullptr;
            if (previous == nullptr || strcmp(previous, "..") == 0 || strcmp(previous, "/") == 0) {
                append_component(components, text);
            } else {
                list_remove(components, last, nullptr);
                if (list_is_empty(components)) append_component(components, kDotComponent);
            }
        } else {
            append_component(components, text);
        }
    }
    // Components only move towards the start, so copying them in order
    // never overwrites one not yet copied.
    if (list_first(components) != nullptr) {
        char *out = path + (double_slash ? 1 : 0);
        for (ListNode *node = list_first(components); node != nullptr; node = node->next) {
            const char *text = static_cast<char *>(node->data);
            size_t length = strlen(text);
            memmove(out, text, length);
            out += length;
            if (node->next != nullptr && out[-1] != '/') *out++ = '/';
        }
        *out = '\0';
    }
    list_free(components, nullptr);
    return 0;
}

void sync_directory(const char *directory) {
    Descriptor fd{open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (fd.fd >= 0) (void)fsync(fd.fd);
}
