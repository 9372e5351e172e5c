// One worker per long transfer, fed through a ring of buffers: the two
// semaphores count the buffers each side may take, so neither side ever
// touches a buffer the other holds.
#include "support/digest_aside.h"

#include "support/worker.h"

DigestAside::DigestAside(RunningDigest &digest)
    : digest_(digest), buffers_(new char[size_t{kBuffer} * kBuffers]) {
    // Without a worker the transfer goes on, digested in line.
    worker_ = start_worker([this] { work(); });
}

DigestAside::~DigestAside() {
    if (!running()) return;
    if (fill_ > 0) hand();
    int room;
    space(room);
    hand();  // empty: the end
    worker_.join();
}

char *DigestAside::space(int &room) {
    if (fill_ < 0) {
        free_.acquire();
        fill_ = 0;
    }
    room = kBuffer - fill_;
    return &buffers_[size_t{kBuffer} * filling_ + fill_];
}

void DigestAside::received(int count) {
    if (fill_ < 0 || count <= 0) return;
    fill_ += count;
    if (fill_ >= kBuffer) hand();
}

void DigestAside::hand() {
    sizes_[filling_] = fill_;
    fill_ = -1;
    filling_ = (filling_ + 1) % kBuffers;
    filled_.release();
}

void DigestAside::work() {
    for (int buffer = 0;; buffer = (buffer + 1) % kBuffers) {
        filled_.acquire();
        if (sizes_[buffer] == 0) return;
        digest_.update(&buffers_[size_t{kBuffer} * buffer], static_cast<uint32_t>(sizes_[buffer]));
        free_.release();
    }
}
