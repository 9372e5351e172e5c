// The state file <statepath>/serials: one "<serial> <infofile>" line per
// catalogue, replaced whole (written beside, synced, renamed) at each raise,
// so that a crash leaves either the old serial or the new one.
#include "engine/rollback_serial.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "support/descriptor.h"
#include "support/privfile.h"
#include "support/whole_write.h"

namespace {

constexpr const char *kStateName = "serials";
constexpr const char *kStateNext = "serials.new";
// A line per catalogue this machine updates from: a few, never megabytes.
constexpr size_t kStateSizeLimit = 1 << 20;

struct Entry {
    int64_t serial = 0;
    std::string infofile;
};

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
// ours is read: anything else under the name could set any serial.
std::string read_entries(int dir, const std::string &state, std::vector<Entry> &entries) {
    const std::string path = state + "/" + kStateName;
    const Opened fd = private_open_at(dir, kStateName, O_RDONLY);
    if (fd.error)
        return fd.error.code == ENOENT ? "" : sys_failure("Can't open state file", path, fd.error);
    std::string text;
    const SysError failed = read_all(fd.fd.fd, kStateSizeLimit, text);
    if (failed.code == EFBIG) return "State file " + path + " is too large";
    if (failed) return sys_failure("Can't read state file", path, failed);
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

// Called in the run's turn at the directory, which is ours alone: the
// name written beside is nobody else's.
std::string write_entries(int dir, const std::string &state, const std::vector<Entry> &entries) {
    std::string text;
    for (const Entry &entry : entries)
        text.append(std::to_string(entry.serial)).append(" ").append(entry.infofile).append("\n");
    // A serials.new left there by a run that stopped while writing is removed.
    return replace_failure(replace_file_with({dir, kStateName, kStateNext, 0600}, text),
                           state + "/" + kStateNext);
}

}  // namespace

std::string rollback_serial_prepare(const std::string &dir, Descriptor &opened) {
    if (dir.empty()) return "State path is empty";
    std::string why;
    opened.reset(private_directory_open(dir, why));
    return opened.fd < 0 ? "State path '" + dir + "'" + why : "";
}

std::string rollback_serial_read(int dir, const std::string &path, const std::string &infofile,
                                 int64_t &serial) {
    serial = 0;
    std::vector<Entry> entries;
    std::string why = read_entries(dir, path, entries);
    for (const Entry &entry : entries) {
        if (entry.infofile == infofile && entry.serial > serial) serial = entry.serial;
    }
    return why;
}

std::string rollback_serial_raise(int dir, const std::string &path, const std::string &infofile,
                                  int64_t serial) {
    if (infofile.empty() || infofile.find('\n') != std::string::npos)
        return "Can't keep a floor for catalogue '" + infofile + "'";
    // Read, raised and written in one turn: another run's entry is never lost.
    const DirectoryTurn turn(dir);
    if (turn.why) return sys_failure("Can't lock", path, turn.why);
    std::vector<Entry> entries;
    std::string why = read_entries(dir, path, entries);
    if (!why.empty()) return why;
    bool found = false;
    for (Entry &entry : entries) {
        if (entry.infofile != infofile) continue;
        if (entry.serial >= serial) return "";
        entry.serial = serial;
        found = true;
    }
    if (!found) entries.push_back({serial, infofile});
    return write_entries(dir, path, entries);
}
