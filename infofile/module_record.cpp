// Module records: their order by name and the lookup of a module by name.
#include <algorithm>

#include "infofile/record_ops.h"

bool module_name_before(const ModuleRecord &left, const ModuleRecord &right) {
    if (!left.name) return false;
    if (!right.name) return true;
    return *left.name < *right.name;
}

void sort_modules_by_name(ModuleList &modules) {
    std::stable_sort(modules.begin(), modules.end(), [](const auto &left, const auto &right) {
        return module_name_before(*left, *right);
    });
}

// The halving probe of a classic binary search that stops at the first
// equal name it meets: among modules of the same name, that is the one a
// catalogue has always had installed, which need not be the first of them.
// A nameless module met on the way sends the probe towards the end.
ModuleRecord *find_module(const ModuleList &modules, std::string_view name) {
    size_t low = 0, high = modules.size();
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const std::optional<std::string> &probe = modules[middle]->name;
        const int order = probe ? name.compare(*probe) : 1;
        if (order == 0) return modules[middle].get();
        if (order < 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return nullptr;
}
