// File records: the orders that sort a module's files, and the digest and
// installability tests.
#include <algorithm>

#include "infofile/record_ops.h"

bool file_name_before(const FileRecord &left, const FileRecord &right) {
    if (!right.sitepath) return false;
    if (!left.sitepath) return true;
    return *left.sitepath < *right.sitepath;
}

bool file_runs_before(const FileRecord &left, const FileRecord &right) {
    return left.order < right.order;
}

void sort_files_by_name(FileList &files) {
    std::stable_sort(files.begin(), files.end(), [](const auto &left, const auto &right) {
        return file_name_before(*left, *right);
    });
}

void sort_files_by_order(FileList &files) {
    std::stable_sort(files.begin(), files.end(), [](const auto &left, const auto &right) {
        return file_runs_before(*left, *right);
    });
}

bool file_md5_missing(const FileRecord &file) {
    return std::all_of(std::begin(file.md5), std::end(file.md5),
                       [](uint8_t byte) { return byte == 0; });
}

bool file_is_installable(const FileRecord &file) {
    return !file.localpath || !file.localpath->empty();
}
