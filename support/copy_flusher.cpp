#include "support/copy_flusher.h"

#include <fcntl.h>
#include <unistd.h>

#include "support/worker.h"

CopyFlusher::~CopyFlusher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) worker_.join();
}

void CopyFlusher::flush(int descriptor) {
    if (failed_ || descriptor < 0) return;
    if (!worker_.joinable()) {
        worker_ = start_worker([this] { work(); });
        failed_ = !worker_.joinable();
        if (failed_) return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() >= kWaiting) return;
        Descriptor duplicate{fcntl(descriptor, F_DUPFD_CLOEXEC, 0)};
        if (duplicate.fd < 0) return;
        waiting_.push_back(std::move(duplicate));
    }
    wake_.notify_one();
}

void CopyFlusher::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        Descriptor copy = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();
        (void)fdatasync(copy.fd);
        copy.reset();
        lock.lock();
    }
}
