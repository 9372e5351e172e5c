// Reading the catalogue of the mirror that a build replaces, with the
// updater's own loader, and comparing republished copies with the old ones.
#include "tools/previous_listing.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/context.h"
#include "infofile/infofile.h"
#include "integrity/lzss.h"

namespace {

// The whole of a file, or false.
bool read_whole(const std::string &path, std::string *data) {
    FILE *stream = fopen(path.c_str(), "rb");
    if (stream == nullptr) return false;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, stream)) > 0) data->append(buffer, n);
    const bool good = ferror(stream) == 0;
    fclose(stream);
    return good;
}

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

void note(PreviousListing *listing, const FileRecord *file) {
    if (file != nullptr && file->sitepath && !file->sitepath->empty())
        listing->times[*file->sitepath] = file->time;
}

}  // namespace

void previous_listing_load(const std::string &root, const std::string &catalogue,
                           const KeyFile *key, PreviousListing *listing) {
    const std::string path = root + "/" + catalogue;
    std::string signed_text;
    if (rsa_verify_file(&key->key, path.c_str()) != 0 || !read_whole(path, &signed_text)) return;
    // The loader reads a file: the decompressed text goes to a private one.
    char plain[] = "/tmp/qavopublish-previous-XXXXXX";
    const int fd = mkstemp(plain);
    if (fd < 0) return;
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
    EngineContext context{};
    const std::unique_ptr<InfoRecord> info =
        decoded ? update_get_information(&context, plain) : nullptr;
    unlink(plain);
    if (info == nullptr) return;
    listing->root = root;
    note(listing, info->update_file.get());
    if (info->kit == nullptr) return;
    for (const auto &module : info->kit->modules) {
        for (const auto &file : module->files) note(listing, file.get());
    }
}

int32_t previous_listing_time(const PreviousListing &listing, const std::string &sitepath,
                              const std::string &copy, int32_t source_time, int32_t publication) {
    const auto old = listing.times.find(sitepath);
    if (old != listing.times.end() && same_bytes(listing.root + "/" + sitepath, copy))
        return old->second;
    return source_time > publication ? source_time : publication;
}
