// One worker per long transfer, fed through a ring of buffers or with bytes
// the caller lends. The worker holds at most two queued and one being
// digested, so the next buffer of the ring, the one filled now, is never
// one it still reads.
#include "support/digest_aside.h"

DigestAside::DigestAside(RunningDigest &digest) : digest_(digest) {}

DigestAside::~DigestAside() {
    if (fill_ > 0) hand();
    worker_.drain();
}

char *DigestAside::space(int &room) {
    if (buffers_ == nullptr) buffers_.reset(new char[size_t{kBuffer} * kBuffers]);
    room = kBuffer - fill_;
    return &buffers_[size_t{kBuffer} * filling_ + fill_];
}

void DigestAside::received(int count) {
    if (count <= 0) return;
    fill_ += count;
    if (fill_ >= kBuffer) hand();
}

void DigestAside::lend(const char *data, int count) {
    if (count <= 0) return;
    if (fill_ > 0) hand();  // what was received before comes first
    worker_.push({data, count});
}

void DigestAside::hand() {
    worker_.push({&buffers_[size_t{kBuffer} * filling_], fill_});
    fill_ = 0;
    filling_ = (filling_ + 1) % kBuffers;
}
