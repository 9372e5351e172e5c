// One worker per long transfer, fed through a ring of buffers. The worker
// holds at most two queued and one being digested, so the next buffer of
// the ring, the one filled now, is never one it still reads.
#include "support/digest_aside.h"

DigestAside::DigestAside(RunningDigest &digest)
    : digest_(digest), buffers_(new char[size_t{kBuffer} * kBuffers]) {}

DigestAside::~DigestAside() {
    if (fill_ > 0) hand();
    worker_.drain();
}

char *DigestAside::space(int &room) {
    room = kBuffer - fill_;
    return &buffers_[size_t{kBuffer} * filling_ + fill_];
}

void DigestAside::received(int count) {
    if (count <= 0) return;
    fill_ += count;
    if (fill_ >= kBuffer) hand();
}

void DigestAside::hand() {
    worker_.push({&buffers_[size_t{kBuffer} * filling_], fill_});
    fill_ = 0;
    filling_ = (filling_ + 1) % kBuffers;
}
