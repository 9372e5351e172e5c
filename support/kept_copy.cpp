// One file per URL, <statepath>/kept-<md5 of the URL>: a short text head
// (a tag line, the URL, both validators, the body's size, an empty line)
// and the body. Only a file of our own is read, and the URL in its head
// must be the one asked for.
#include "support/kept_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "integrity/md5.h"
#include "support/privfile.h"
#include "support/temp_copy.h"
#include "support/whole_write.h"

namespace {

constexpr std::string_view kTag = "qavoupdate kept copy 1\n";

std::string kept_name(const std::string &key) {
    return "kept-" + md5_hex_of(key);
}

// The value of line `name` ("name value\n") at the front of `rest`, which
// then starts after it; false when the line is not there.
bool take_line(std::string_view &rest, std::string_view name, std::string_view &value) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos || !rest.starts_with(name) || end < name.size() ||
        (end > name.size() && rest[name.size()] != ' '))
        return false;
    value = end > name.size() ? rest.substr(name.size() + 1, end - name.size() - 1) : "";
    rest.remove_prefix(end + 1);
    return true;
}

// Reads and checks the head of an open kept copy: its length, or 0.
size_t read_head(int fd, KeptCopy &kept, off_t &size) {
    struct stat info;
    char buffer[kKeptHeadLimit];
    const ssize_t count = pread(fd, buffer, sizeof buffer, 0);
    if (count <= 0 || fstat(fd, &info) < 0) return 0;
    return kept_parse_head(std::string_view(buffer, static_cast<size_t>(count)), info.st_size, kept,
                           size);
}

}  // namespace

size_t kept_parse_head(std::string_view text, off_t file_size, KeptCopy &kept, off_t &size) {
    std::string_view rest = text.substr(0, kKeptHeadLimit);
    const size_t end = rest.find("\n\n");
    if (!rest.starts_with(kTag) || end == std::string_view::npos) return 0;
    const size_t head = end + 2;
    rest = rest.substr(kTag.size(), head - kTag.size());
    std::string_view url, modified, etag, length;
    if (!take_line(rest, "url", url) || url != kept.key ||
        !take_line(rest, "last-modified", modified) || !take_line(rest, "etag", etag) ||
        !take_line(rest, "size", length) || rest != "\n")
        return 0;
    if ((!modified.empty() && !validator_acceptable(modified)) ||
        (!etag.empty() && !validator_acceptable(etag)))
        return 0;
    const auto [stop, error] = std::from_chars(length.data(), length.data() + length.size(), size);
    if (error != std::errc{} || stop != length.data() + length.size() ||
        file_size - static_cast<off_t>(head) != size)
        return 0;
    kept.last_modified = modified;
    kept.etag = etag;
    return head;
}

bool validator_acceptable(std::string_view value) {
    if (value.empty() || value.size() > kValidatorLimit) return false;
    for (const char c : value) {
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

bool kept_find(int dir, KeptCopy &kept) {
    kept.last_modified.clear();
    kept.etag.clear();
    off_t size = 0;
    const Opened opened = private_open_at(dir, kept_name(kept.key).c_str(), O_RDONLY);
    if (opened.error || read_head(opened.fd.fd, kept, size) == 0) {
        kept.last_modified.clear();
        kept.etag.clear();
        return false;
    }
    return !kept.last_modified.empty() || !kept.etag.empty();
}

Descriptor kept_open(int dir, const std::string &key, off_t &size) {
    KeptCopy kept;
    kept.key = key;
    Descriptor fd = private_open_at(dir, kept_name(key).c_str(), O_RDONLY).fd;
    if (fd.fd < 0) return fd;
    const size_t head = read_head(fd.fd, kept, size);
    if (head == 0 || lseek(fd.fd, static_cast<off_t>(head), SEEK_SET) < 0) fd.reset();
    return fd;
}

std::string kept_store(int dir, const KeptCopy &kept, int from) {
    const std::string path = kept_name(kept.key);
    const std::string next = path + ".new";
    struct stat info;
    if (fstat(from, &info) < 0) return sys_failure("Can't stat copy for", path, SysError::last());
    const std::string head = std::string(kTag) + "url " + kept.key + "\nlast-modified " +
                             kept.last_modified + "\netag " + kept.etag + "\nsize " +
                             std::to_string(info.st_size) + "\n\n";
    if (head.size() > kKeptHeadLimit || kept.key.find('\n') != std::string::npos)
        return "Can't keep a copy of " + kept.key;
    // In the run's turn the name written beside is nobody else's; one left
    // there was left by a run that stopped while writing.
    const DirectoryTurn turn(dir);
    if (turn.why) return sys_failure("Can't lock for", path, turn.why);
    struct Content {
        const std::string &head;
        int from;
        off_t size;
    } content{head, from, info.st_size};
    const auto fill = [](int fd, const void *data) {
        const auto &copy = *static_cast<const Content *>(data);
        SysError failed = write_all(fd, copy.head.data(), copy.head.size());
        char chunk[kTransferChunk];
        for (off_t at = 0; !failed && at < copy.size;) {
            const ssize_t count = pread(copy.from, chunk, sizeof chunk, at);
            // A copy that shrank under us is cut short: no whole copy to keep.
            if (count <= 0) return count < 0 ? SysError::last() : SysError{EIO};
            failed = write_all(fd, chunk, static_cast<size_t>(count));
            at += count;
        }
        return failed;
    };
    return replace_failure(replace_file({dir, path.c_str(), next.c_str(), 0600}, fill, &content),
                           next);
}

void kept_remove(int dir, const std::string &key) {
    if (unlinkat(dir, kept_name(key).c_str(), 0) == 0) (void)fsync(dir);
}
