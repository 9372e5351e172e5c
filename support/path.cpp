// Path normalisation: "." and ".." components and repeated slashes; and
// directory syncs.
#include "support/path.h"

#include <fcntl.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "support/descriptor.h"

namespace {

// Whether normalising would give the path back as it is: no empty, "." or
// ".." component and no slash at its end, as nearly every path of a
// catalogue or configuration is.
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

// The normal form; empty when nothing is left to write (the path then
// stays as it was).
std::string normalized(std::string_view path) {
    std::vector<std::string_view> components;
    const bool double_slash = path.starts_with("//");
    if (path.starts_with('/')) components.push_back("/");
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view text = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (text.empty()) continue;
        if (text == ".") {
            if (components.empty()) components.push_back(text);
        } else if (text == "..") {
            if (components.empty() || components.back() == ".." || components.back() == "/") {
                components.push_back(text);
            } else {
                components.pop_back();
                if (components.empty()) components.push_back(".");
            }
        } else {
            components.push_back(text);
        }
    }
    if (components.empty()) return std::string();
    std::string out(double_slash ? 1 : 0, '/');
    for (size_t index = 0; index < components.size(); index++) {
        out += components[index];
        if (index + 1 < components.size() && out.back() != '/') out += '/';
    }
    return out;
}

}  // namespace

void normalize_path(std::string &path) {
    if (already_normal(path.c_str())) return;
    std::string normal = normalized(path.c_str());
    if (!normal.empty()) path = std::move(normal);
}

void sync_directory(const char *directory) {
    Descriptor fd{open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (fd.fd >= 0) (void)fsync(fd.fd);
}
