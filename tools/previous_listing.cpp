// Reading published catalogues with the updater's own loader (the mirror
// that a build replaces, the one verify checks), and comparing republished
// copies with the old ones.
#include "tools/previous_listing.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/io.h"
#include "infofile/infofile.h"
#include "integrity/lzss.h"
#include "tools/publish_util.h"

namespace {

// Whether two files hold the same bytes, read in blocks.
bool same_bytes(const std::string &a, const std::string &b) {
    FILE *first = fopen(a.c_str(), "rb");
    FILE *second = fopen(b.c_str(), "rb");
    bool same = first != nullptr && second != nullptr;
    static char left[65536], right[65536];
    while (same) {
        const size_t n = fread(left, 1, sizeof left, first);
        same = fread(right, 1, sizeof right, second) == n && memcmp(left, right, n) == 0 &&
               ferror(first) == 0 && ferror(second) == 0;
        if (n == 0) break;
    }
    if (first != nullptr) fclose(first);
    if (second != nullptr) fclose(second);
    return same;
}

}  // namespace

std::unique_ptr<InfoRecord> published_catalogue_read(const std::string &path) {
    std::string signed_text;
    if (!read_whole(path, &signed_text) || signed_text.size() < kRsaSignatureSize) return nullptr;
    // The loader reads a file: the decompressed text goes to a private one.
    char plain[] = "/tmp/qavopublish-catalogue-XXXXXX";
    const int fd = mkstemp(plain);
    if (fd < 0) return nullptr;
    FILE *in = fmemopen(signed_text.data(), signed_text.size() - kRsaSignatureSize, "rb");
    FILE *out = fdopen(fd, "wb");
    bool decoded = in != nullptr && out != nullptr;
    if (decoded) lzss_decode(in, out);
    if (in != nullptr) fclose(in);
    if (out != nullptr) {
        decoded = fclose(out) == 0 && decoded;
    } else {
        close(fd);
    }
    Io io;
    std::unique_ptr<InfoRecord> info = decoded ? update_get_information(io, plain) : nullptr;
    unlink(plain);
    return info;
}

std::vector<const FileRecord *> catalogue_files(const InfoRecord &info) {
    std::vector<const FileRecord *> files;
    const auto add = [&files](const FileRecord *file) {
        if (file != nullptr && file->sitepath && !file->sitepath->empty()) files.push_back(file);
    };
    add(info.update_file.get());
    if (info.kit == nullptr) return files;
    for (const auto &module : info.kit->modules) {
        for (const auto &file : module->files) add(file.get());
    }
    return files;
}

void previous_listing_load(const std::string &root, const std::string &catalogue,
                           const KeyFile *key, PreviousListing *listing) {
    const std::string path = root + "/" + catalogue;
    if (rsa_verify_file(&key->key, path.c_str()) != 0) return;
    const std::unique_ptr<InfoRecord> info = published_catalogue_read(path);
    if (info == nullptr) return;
    listing->root = root;
    for (const FileRecord *file : catalogue_files(*info))
        listing->times[*file->sitepath] = file->time;
}

int32_t previous_listing_time(const PreviousListing &listing, const std::string &sitepath,
                              const std::string &copy, int32_t source_time, int32_t publication) {
    const auto old = listing.times.find(sitepath);
    if (old != listing.times.end() && same_bytes(listing.root + "/" + sitepath, copy))
        return old->second;
    return source_time > publication ? source_time : publication;
}
