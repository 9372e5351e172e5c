// The state file <statepath>/serials: one "<serial> <infofile>" line per
// catalogue, replaced whole (written beside, synced, renamed) at each raise,
// so that a crash leaves either the old floor or the new one.
#include "engine/floor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "support/data_io.h"
#include "support/descriptor.h"
#include "support/path.h"
#include "support/privfile.h"

namespace {

constexpr const char *kStateName = "/serials";
constexpr const char *kStateNext = "/serials.new";
// A line per catalogue this machine updates from: a few, never megabytes.
constexpr size_t kStateSizeLimit = 1 << 20;

struct Entry {
    int64_t serial = 0;
    std::string infofile;
};

std::string failure(const char *what, const std::string &path) {
    return std::string(what) + " " + path + " (" + strerror(errno) + ")";
}

// One line: a decimal serial, one space, the catalogue's name.
bool parse_entry(std::string_view row, Entry &entry) {
    const size_t space = row.find(' ');
    if (space == std::string_view::npos || space == 0 || space + 1 == row.size()) return false;
    const char *end = row.data() + space;
    const auto [stop, error] = std::from_chars(row.data(), end, entry.serial);
    if (error != std::errc{} || stop != end || entry.serial < 0) return false;
    entry.infofile = row.substr(space + 1);
    return true;
}

// Every entry of the state file; a missing file holds none. Only a file of
// ours is read: anything else under the name could set any floor.
std::string read_entries(const std::string &dir, std::vector<Entry> &entries) {
    const std::string path = dir + kStateName;
    Descriptor fd{private_open(path.c_str(), O_RDONLY)};
    if (fd.fd < 0) return errno == ENOENT ? "" : failure("Can't open state file", path);
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t count = read(fd.fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return failure("Can't read state file", path);
        if (count == 0) break;
        text.append(chunk, static_cast<size_t>(count));
        if (text.size() > kStateSizeLimit) return "State file " + path + " is too large";
    }
    std::string_view rest = text;
    for (size_t line = 1; !rest.empty(); line++) {
        const size_t end = rest.find('\n');
        Entry entry;
        if (end == std::string_view::npos || !parse_entry(rest.substr(0, end), entry))
            return "State file " + path + " is damaged (line " + std::to_string(line) + ")";
        entries.push_back(std::move(entry));
        rest.remove_prefix(end + 1);
    }
    return "";
}

std::string write_entries(const std::string &dir, const std::vector<Entry> &entries) {
    std::string text;
    for (const Entry &entry : entries)
        text.append(std::to_string(entry.serial)).append(" ").append(entry.infofile).append("\n");
    const std::string next = dir + kStateNext;
    // Left by a run that stopped while writing; the directory is ours alone.
    if (unlink(next.c_str()) < 0 && errno != ENOENT) return failure("Can't remove", next);
    Descriptor fd{private_create(next.c_str(), O_WRONLY)};
    if (fd.fd < 0) return failure("Can't create", next);
    const int length = static_cast<int>(text.size());
    if (file_write(nullptr, fd.fd, text.data(), length) != length || fsync(fd.fd) < 0)
        return failure("Can't write", next);
    fd.reset();
    const std::string path = dir + kStateName;
    if (rename(next.c_str(), path.c_str()) < 0) return failure("Can't rename", next);
    sync_directory(dir.c_str());
    return "";
}

}  // namespace

std::string floor_prepare(const std::string &dir) {
    if (dir.empty()) return "State path is empty";
    if (mkdir(dir.c_str(), 0700) < 0 && errno != EEXIST)
        return "Can't create state path '" + dir + "' (" + strerror(errno) + ")";
    struct stat info;
    if (stat(dir.c_str(), &info) < 0)
        return "Can't stat state path '" + dir + "' (" + strerror(errno) + ")";
    if (!S_ISDIR(info.st_mode)) return "State path '" + dir + "' is not a directory";
    // Whoever may write there may lower the floor.
    if ((info.st_uid != own_user() && info.st_uid != 0) || (info.st_mode & (S_IWGRP | S_IWOTH)))
        return "State path '" + dir + "' may be written by other users";
    return "";
}

std::string floor_read(const std::string &dir, const std::string &infofile, int64_t &serial) {
    serial = 0;
    std::vector<Entry> entries;
    std::string why = read_entries(dir, entries);
    for (const Entry &entry : entries) {
        if (entry.infofile == infofile && entry.serial > serial) serial = entry.serial;
    }
    return why;
}

std::string floor_raise(const std::string &dir, const std::string &infofile, int64_t serial) {
    if (infofile.empty() || infofile.find('\n') != std::string::npos)
        return "Can't keep a floor for catalogue '" + infofile + "'";
    std::vector<Entry> entries;
    std::string why = read_entries(dir, entries);
    if (!why.empty()) return why;
    bool found = false;
    for (Entry &entry : entries) {
        if (entry.infofile != infofile) continue;
        if (entry.serial >= serial) return "";
        entry.serial = serial;
        found = true;
    }
    if (!found) entries.push_back({serial, infofile});
    return write_entries(dir, entries);
}
