// Helper threads of the one-threaded program: they only compute (digests)
// and read files, and leave every signal to the main thread, so a signal's
// handler runs where it would without them.
#pragma once

#include <functional>
#include <thread>

// A thread running `body` with every signal blocked; not joinable when no
// thread could be started (the caller then does the work itself).
std::thread start_worker(std::function<void()> body);
