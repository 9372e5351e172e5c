#include "support/worker.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>

std::thread start_worker(std::function<void()> body) {
    // A new thread inherits the mask of the one that starts it.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread worker;
    try {
        worker = std::thread(std::move(body));
    } catch (const std::system_error &) {
        // Out of threads: no worker.
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return worker;
}
