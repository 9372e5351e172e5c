// The one way work is handed to a thread: a worker thread fed through a
// bounded queue. Helper threads only compute (digests) and read files, and
// leave every signal to the main thread, so a signal's handler runs where it
// would without them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// A thread running `body` with every signal blocked; not joinable when no
// thread could be started (the caller then does the work itself).
std::thread start_worker(std::function<void()> body);

// One thread that handles the items handed to it, in the order handed, and
// a queue of at most `capacity` items waiting for it. The item being handled
// has left the queue: a caller that lends buffers may count on at most
// capacity + 1 of them being in the worker's hands.
template <typename Item>
class Worker {
   public:
    Worker(size_t capacity, std::function<void(Item &)> handle)
        : handle_(std::move(handle)), ring_(capacity) {
        thread_ = start_worker([this] { work(); });
    }
    ~Worker() { drain(); }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // False when no thread could be started, or after drain().
    bool running() const { return thread_.joinable(); }
    // Hands the item over, waiting while the queue is full; false (nothing
    // handed) when the worker is not running.
    bool push(Item item) { return hand(std::move(item), true); }
    // Hands the item over unless the queue is full: false then, and the item
    // is dropped.
    bool try_push(Item item) { return hand(std::move(item), false); }
    // Returns once everything handed over is handled, and ends the thread.
    void drain() {
        if (!running()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        filled_.notify_one();
        thread_.join();
    }

   private:
    bool hand(Item &&item, bool wait) {
        if (!running()) return false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (wait)
                room_.wait(lock, [this] { return count_ < ring_.size(); });
            else if (count_ == ring_.size())
                return false;
            ring_[(first_ + count_) % ring_.size()] = std::move(item);
            count_++;
        }
        filled_.notify_one();
        return true;
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            filled_.wait(lock, [this] { return ending_ || count_ != 0; });
            if (count_ == 0) return;
            Item item = std::move(ring_[first_]);
            first_ = (first_ + 1) % ring_.size();
            count_--;
            lock.unlock();
            room_.notify_one();
            handle_(item);
            item = Item{};  // released outside the lock
            lock.lock();
        }
    }

    std::function<void(Item &)> handle_;
    std::mutex mutex_;
    std::condition_variable filled_;  // an item waits, or the end
    std::condition_variable room_;    // the queue has room
    std::vector<Item> ring_;          // guarded by mutex_, as are the next three
    size_t first_ = 0;
    size_t count_ = 0;
    bool ending_ = false;
    std::thread thread_;  // last: started once everything it uses is there
};
