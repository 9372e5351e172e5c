// Temporary copies: the only caller of private_open and private_create for a
// copy's path, and the loop that moves data into a copy within its bound.
#include "support/temp_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "core/error.h"
#include "support/digest_aside.h"
#include "support/privfile.h"

int TempCopy::fail(const char *call, SysError why) {
    error_ = why.code;
    failed_ = call;
    fd_.reset();
    return -1;
}

// Hands the digest of what the copy holds so far to its file record.
void TempCopy::publish_digest() {
    aside_.reset();
    if (digested_ != nullptr) digest_.publish(*digested_);
}

void TempCopy::restart_digest() {
    aside_.reset();
    if (digested_ == nullptr) return;
    digest_.start(*digested_);
    publish_digest();
}

// Digests the bytes a copy just opened for appending already holds, from
// the first byte where the open left it; a copy that cannot be read back is
// still appended to, only without a digest.
int TempCopy::digest_held(FileRecord &file) {
    digest_.start(file);
    if (held_ == 0 || digest_.update_fd(fd_.fd, held_)) {
        digested_ = &file;
        publish_digest();
    }
    if (held_ == 0) return 0;
    return lseek(fd_.fd, 0, SEEK_END) < 0 ? fail("lseek") : 0;
}

// Opens the copy's path for the use and tells whether a copy of ours was
// there, and its size. At the engine's first look one seldom is (every
// installed copy is removed), so that look creates the copy before it looks
// for one.
int TempCopy::open_path(const char *path, CopyUse use, bool &found, off_t &size) {
    found = false;
    size = 0;
    if (use == CopyUse::kPrepare) {
        Opened made = private_create(path, O_RDWR);
        fd_ = std::move(made.fd);
        if (!made.error) return 0;
        if (made.error.code != EEXIST) return fail("open", made.error);
    }
    Opened existing = private_open(path, O_RDWR, &size);
    fd_ = std::move(existing.fd);
    found = !existing.error;
    if (found) return 0;
    // At the engine's first look, whatever stands under the name and is
    // not a copy of ours (a link, somebody else's file, a second name of
    // another file) is removed unread and the copy made anew.
    const bool absent = existing.error.code == ENOENT;
    if (use == CopyUse::kPrepare && !absent && unlink(path) < 0 && errno != ENOENT)
        return fail("unlink");
    if (use != CopyUse::kPrepare && !(use == CopyUse::kResume && absent))
        return fail("open", existing.error);
    Opened made = private_create(path, O_RDWR);
    fd_ = std::move(made.fd);
    return made.error ? fail("open", made.error) : 0;
}

uint32_t copy_bound(int32_t size, uint32_t size_bound) {
    return size > 0         ? static_cast<uint32_t>(size)
           : size_bound > 0 ? size_bound
                            : kUnlistedSizeLimit;
}

int TempCopy::open(Io &io, FileRecord &file, CopyUse use) {
    io_ = &io;
    aside_.reset();
    fd_.reset();
    held_ = written_back_ = 0;
    digested_ = nullptr;
    if (file.tempfile.empty()) return fail("open", {EINVAL});
    if (use != CopyUse::kRead) file.copy_digest_set = false;
    limit_ = copy_bound(file.size, file.size_bound);
    bool found;
    off_t size;
    if (open_path(file.tempfile.c_str(), use, found, size) < 0) return -1;
    // Opened at its first byte, with the size the open found.
    held_ = static_cast<uint32_t>(size);
    if (use == CopyUse::kEmpty) {
        // An empty copy is left alone: ext4 takes a truncated file written
        // again for a replacement and writes it out when it is closed, one
        // file at a time, where the flush before installation writes all
        // copies at once.
        if (size != 0 && ftruncate(fd_.fd, 0) < 0) return fail("truncate");
        held_ = 0;
        digested_ = &file;
        restart_digest();
    } else if (use == CopyUse::kResume || use == CopyUse::kContinue) {
        if (digest_held(file) < 0) return -1;
    }
    return found ? 1 : 0;
}

int TempCopy::report() const {
    return record_error_code(*io_, ERR_FILE_SYSCALL, error_, failed_ != nullptr ? failed_ : "open");
}

int TempCopy::truncate() {
    if (ftruncate(fd_.fd, 0) < 0 || lseek(fd_.fd, 0, SEEK_SET) < 0)
        return record_error(*io_, ERR_FILE_SYSCALL, "truncate");
    held_ = written_back_ = 0;
    restart_digest();
    return 0;
}

int TempCopy::fill_from(int from) {
    if (truncate() < 0) return -1;
    silent_ = true;
    uint32_t remaining = kTransferAll;
    const CopyOutcome result = receive(from, remaining, file_read);
    silent_ = false;
    return result == CopyOutcome::kReceived ? 0 : -1;
}

int TempCopy::append(const char *data, uint32_t size) {
    if (size > limit_ - std::min(held_, limit_)) {
        refuse_oversize();
        return -1;
    }
    if (aside_ && !lends_) aside_.reset();  // what receive() took is in the digest first
    if (digested_ != nullptr && !aside_ && held_ + size >= kDigestAsideFrom) {
        aside_.emplace(digest_);
        lends_ = true;
        if (!aside_->running()) aside_.reset();
    }
    // Lent first: the digest goes on while the bytes are written.
    if (aside_)
        aside_->lend(data, static_cast<int>(size));
    else if (digested_ != nullptr)
        digest_.update(data, size);
    if (file_write(*io_, fd_.fd, data, static_cast<int>(size)) != static_cast<int>(size)) return -1;
    held_ += size;
    if (held_ - written_back_ >= kWritebackStretch) write_back_to(held_);
    return 0;
}

void TempCopy::finish_append() {
    publish_digest();
}

void TempCopy::write_back_to(uint32_t end) {
    (void)sync_file_range(fd_.fd, written_back_, end - written_back_, SYNC_FILE_RANGE_WRITE);
    written_back_ = end;
}

void TempCopy::write_back(CopyFlusher *flusher, bool *durable) {
    // Small copies are left to the flush, which writes them out in one go:
    // started one by one, their writes would each be a request of its own.
    if (fd_.fd < 0 || held_ < kWritebackTail) return;
    if (held_ > written_back_) write_back_to(held_);
    if (flusher != nullptr) flusher->flush(fd_.fd, durable);
}

int TempCopy::rewind() {
    if (lseek(fd_.fd, 0, SEEK_SET) < 0) return -1;
    held_ = written_back_ = 0;
    restart_digest();
    return 0;
}

bool TempCopy::measure() {
    const off_t end = fd_.fd >= 0 ? lseek(fd_.fd, 0, SEEK_END) : -1;
    if (end < 0) return false;
    held_ = static_cast<uint32_t>(end);
    return true;
}

FILE *TempCopy::stream(const char *mode) {
    FILE *stream = fdopen(fd_.fd, mode);
    if (stream == nullptr) return nullptr;
    fd_.release();
    // What the stream writes passes the digest by.
    if (digested_ != nullptr) digested_->copy_digest_set = false;
    digested_ = nullptr;
    return stream;
}

CopyOutcome TempCopy::refuse_oversize() {
    record_error_code(*io_, ERR_FILE_SYSCALL, EFBIG, "write");
    return CopyOutcome::kTooLarge;
}

// Moves `remaining` bytes (kTransferAll: to the end) after what the copy
// holds, in chunks, raising progress after each; `remaining` becomes the
// count moved.
int TempCopy::move(int from, uint32_t &remaining, Reader reader, Received *ahead) {
    if (from == fd_.fd) return 0;
    if (lends_) aside_.reset();  // what append() lent is in the digest first
    char own[kTransferChunk];
    // A copy that proves long is digested on a second core from there on,
    // from buffers of its own, through this receive and the next ones: a
    // body may come in many.
    bool may_aside = digested_ != nullptr && !aside_;
    uint32_t total = 0;
    int result = 0;
    for (;;) {
        if (may_aside && held_ + total >= kDigestAsideFrom &&
            (remaining == kTransferAll || remaining >= kDigestAsideFrom || held_ != 0)) {
            may_aside = false;
            aside_.emplace(digest_);
            lends_ = false;
            if (!aside_->running()) aside_.reset();
        }
        // Up to the next chunk boundary of the copy: after a short read the
        // writes fall on whole pages again.
        int wanted = kTransferChunk - static_cast<int>((held_ + total) % kTransferChunk);
        if (remaining != kTransferAll && remaining < static_cast<uint32_t>(wanted))
            wanted = static_cast<int>(remaining);
        char *chunk = own;
        if (aside_) {
            int room;
            chunk = aside_->space(room);
            if (room < wanted) wanted = room;
        }
        int count = received_read(*io_, from, ahead, reader, chunk, wanted);
        if (count < 0) {
            result = -1;
            break;
        }
        // A reader must not claim more than it was asked for.
        if (count > wanted) count = wanted;
        total += static_cast<uint32_t>(count);
        if (remaining != kTransferAll) remaining -= static_cast<uint32_t>(count);
        if (count == 0) break;
        FileEvent progress;
        progress.done = static_cast<int32_t>(total + held_);
        if (!silent_) events_of(*io_).progress(progress);
        if (file_write(*io_, fd_.fd, chunk, count) != count) {
            result = -1;
            break;
        }
        if (aside_)
            aside_->received(count);
        else if (digested_ != nullptr)
            digest_.update(chunk, static_cast<uint32_t>(count));
        if (held_ + total - written_back_ >= kWritebackStretch) write_back_to(held_ + total);
        if (remaining == 0) break;
    }
    remaining = total;
    return result;
}

CopyOutcome TempCopy::receive(int from, uint32_t &remaining, Reader reader, Received *ahead) {
    if (reader == nullptr) return CopyOutcome::kFailed;
    const uint32_t room = held_ < limit_ ? limit_ - held_ : 0;
    CopyOutcome result = CopyOutcome::kReceived;
    const auto moved_all = [](int moved) {
        return moved == 0 ? CopyOutcome::kReceived : CopyOutcome::kFailed;
    };
    if (remaining != kTransferAll) {
        if (remaining <= room) {
            result = moved_all(move(from, remaining, reader, ahead));
        } else {
            remaining = 0;
            result = refuse_oversize();
        }
    } else {
        uint32_t moved = room;
        if (room != 0) result = moved_all(move(from, moved, reader, ahead));
        remaining = moved;
        if (result == CopyOutcome::kReceived && moved == room) {
            // The room is used up: an honest sender has nothing more to say.
            char probe;
            const int count = received_read(*io_, from, ahead, reader, &probe, 1);
            if (count != 0) result = count < 0 ? CopyOutcome::kFailed : refuse_oversize();
        }
    }
    held_ += remaining;
    if (aside_ && digested_ != nullptr)
        digested_->copy_digest_set = false;  // until settle()
    else
        publish_digest();
    return result;
}

void TempCopy::settle() {
    if (aside_) publish_digest();
}
