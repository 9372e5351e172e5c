// The choice between the catalogue's MD5 and the manifest's SHA-256, made
// here for every comparison a run makes.
#include "support/file_digest.h"

#include <algorithm>
#include <cstring>

bool file_digest_listed(const FileRecord &file) {
    return file.sha256_set || std::any_of(std::begin(file.md5), std::end(file.md5),
                                          [](uint8_t byte) { return byte != 0; });
}

bool file_digest_fd_matches(const FileRecord &file, int descriptor, int64_t length,
                            std::optional<Sha256Value> *taken) {
    if (file.sha256_set) {
        Sha256Value digest;
        if (length != file.size || !sha256_fd(descriptor, length, digest)) return false;
        if (taken != nullptr) *taken = digest;
        return digest == file.sha256;
    }
    uint8_t digest[kMd5DigestSize];
    return md5_fd(descriptor, digest, length) == 0 && memcmp(digest, file.md5, kMd5DigestSize) == 0;
}

void RunningDigest::start(const FileRecord &file) {
    failed_ = false;
    if (file.sha256_set) {
        sha256_.emplace();
        failed_ = !sha256_->ok();
    } else {
        sha256_.reset();
        md5_init(&md5_);
    }
}

void RunningDigest::update(const void *data, uint32_t size) {
    if (sha256_) {
        failed_ = failed_ || !sha256_->update(data, size);
    } else {
        md5_update(&md5_, data, size);
    }
}

bool RunningDigest::update_fd(int descriptor, int64_t length) {
    if (!sha256_) return md5_update_fd(&md5_, descriptor, length) == 0;
    failed_ = failed_ || !sha256_->update_fd(descriptor, length);
    return !failed_;
}

bool RunningDigest::publish(FileRecord &file) const {
    file.copy_digest_set = false;
    if (failed_) return false;
    if (sha256_) {
        Sha256Value digest;
        if (!sha256_->peek(digest)) return false;
        std::copy(digest.begin(), digest.end(), file.copy_digest.begin());
        file.copy_digest_bytes = static_cast<uint32_t>(sha256_->length());
    } else {
        Md5Context finished = md5_;
        md5_final(file.copy_digest.data(), &finished);
        file.copy_digest_bytes = static_cast<uint32_t>(md5_length(&md5_));
    }
    file.copy_digest_set = true;
    return true;
}
