// The record <statepath>/installed-<MD5 of the catalogue's name>: one line
// per installed file, "<sha256> <size> <seconds>.<nanoseconds> <name on the
// mirror>", the name last. Replaced whole (written beside, synced, renamed).
#include "engine/installed_digests.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "integrity/manifest.h"
#include "integrity/md5.h"
#include "integrity/signed_text.h"
#include "support/privfile.h"
#include "support/whole_write.h"

namespace {

// A line per installed file: far below this for any catalogue.
constexpr size_t kRecordSizeLimit = size_t{16} << 20;
// A smaller file is digested in less time than its line takes to keep.
constexpr int32_t kWorthRecording = 64 * 1024;

std::string record_name(const std::string &catalogue) {
    return "installed-" + md5_hex_of(catalogue);
}

// The next field of `rest` up to a space, taken off it.
std::string_view field(std::string_view &rest) {
    const size_t space = rest.find(' ');
    if (space == std::string_view::npos) return {};
    const std::string_view taken = rest.substr(0, space);
    rest.remove_prefix(space + 1);
    return taken;
}

template <typename Number>
bool read_number(std::string_view text, Number &value) {
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && stop == text.data() + text.size() && !text.empty() && value >= 0;
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

struct Line {
    std::string_view name;
    InstalledDigests::Entry entry;
};

// Writes the record's lines a few kilobytes at a time: a catalogue of
// thousands of files is never held as one text.
SysError write_lines(int fd, const void *content) {
    std::string held;
    for (const Line &line : *static_cast<const std::vector<Line> *>(content)) {
        const InstalledDigests::Entry &entry = line.entry;
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, " %lld %lld.%09ld ",
                      static_cast<long long>(entry.size),
                      static_cast<long long>(entry.modified.tv_sec), entry.modified.tv_nsec);
        held.append(manifest_hex(entry.digest.data(), entry.digest.size()))
            .append(numbers)
            .append(line.name)
            .append("\n");
        if (held.size() < 16384) continue;
        if (const SysError failed = write_all(fd, held.data(), held.size())) return failed;
        held.clear();
    }
    return write_all(fd, held.data(), held.size());
}

}  // namespace

InstalledDigests InstalledDigests::read(int dir, const std::string &catalogue) {
    InstalledDigests record;
    if (dir < 0) return record;
    const Opened fd = private_open_at(dir, record_name(catalogue).c_str(), O_RDONLY);
    std::string text;
    if (fd.error || read_all(fd.fd.fd, kRecordSizeLimit, text) || !record.parse(text))
        record.entries_.clear();
    return record;
}

bool InstalledDigests::parse(std::string_view text) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) return false;
        std::string_view rest = text.substr(0, end);
        text.remove_prefix(end + 1);
        Entry entry;
        const std::string_view digest = field(rest), size = field(rest), time = field(rest);
        const size_t dot = time.find('.');
        if (!read_hex(digest, entry.digest) || !read_number(size, entry.size) ||
            dot == std::string_view::npos || time.size() - dot != 10 ||
            !read_number(time.substr(0, dot), entry.modified.tv_sec) ||
            !read_number(time.substr(dot + 1), entry.modified.tv_nsec) || rest.empty() ||
            !entries_.emplace(rest, entry).second)
            return false;
    }
    return true;
}

const Sha256Value *InstalledDigests::find(const std::string &sitepath,
                                          const struct stat &info) const {
    const auto found = entries_.find(sitepath);
    if (found == entries_.end() || found->second.size != info.st_size ||
        !same_time(found->second.modified, info.st_mtim))
        return nullptr;
    return &found->second.digest;
}

void InstalledDigests::note(int dir, const std::string &catalogue,
                            const std::vector<const FileRecord *> &files,
                            const std::vector<const FileRecord *> &installed) {
    if (dir < 0 || installed.empty()) return;
    // Read, changed and written in one turn: another run's entries are kept.
    const DirectoryTurn turn(dir);
    if (turn.why) return;
    std::vector<Line> lines;
    std::vector<std::string_view> renewed;  // the names installed now, sorted
    for (const FileRecord *file : installed) {
        if (!file->sitepath || file->sitepath->empty()) continue;
        renewed.push_back(*file->sitepath);
        struct stat info;
        if (file->sha256_set && file->size >= kWorthRecording &&
            file->sitepath->find('\n') == std::string::npos && file->localpath &&
            stat(file->localpath->c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_size == file->size)
            lines.push_back({*file->sitepath, {file->sha256, info.st_size, info.st_mtim}});
    }
    std::sort(renewed.begin(), renewed.end());
    // The catalogue's other files keep their entries; when it has none,
    // the old record is not even read.
    InstalledDigests kept;
    if (files.size() > renewed.size()) kept = read(dir, catalogue);
    if (!kept.entries_.empty()) {
        for (const FileRecord *file : files) {
            if (!file->sitepath ||
                std::binary_search(renewed.begin(), renewed.end(), *file->sitepath))
                continue;
            const auto old = kept.entries_.find(*file->sitepath);
            if (old != kept.entries_.end()) lines.push_back({old->first, old->second});
        }
    }
    std::sort(lines.begin(), lines.end(),
              [](const Line &a, const Line &b) { return a.name < b.name; });
    // A name listed twice keeps one entry: the record would not be read.
    lines.erase(std::unique(lines.begin(), lines.end(),
                            [](const Line &a, const Line &b) { return a.name == b.name; }),
                lines.end());
    const std::string name = record_name(catalogue);
    if (lines.empty())
        (void)unlinkat(dir, name.c_str(), 0);
    else
        (void)replace_file({dir, name.c_str(), (name + ".new").c_str(), 0600}, write_lines, &lines);
}
