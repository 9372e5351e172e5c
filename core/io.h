// What the floors below the engine need of a run to wait, tell and fail:
// how long a wait may last, when the watchdog ends the run, whom to tell,
// what breaks waits off, and where the last failure is recorded. The
// engine's record hands it down whole.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/error.h"
#include "core/events.h"

struct Io {
    // Seconds a connect or data wait may last; 0 or less: it never runs out.
    int32_t timeout = 0;
    // When the watchdog ends the run (seconds since 1970); 0 for never.
    int64_t alarm_deadline = 0;
    Events *events = nullptr;  // not owned; null: nobody listens
    // Set by the caller (another thread, a handler) to break off the run's
    // waits at the end of their current slice. Not owned; null: never.
    const std::atomic<bool> *stop = nullptr;
    // Filled where a call fails, before every error event.
    ErrorRecord error{};
};

// The listener of the I/O: its own, or one that stays silent.
Events &events_of(const Io &io);

// Silences the I/O's listener while it lives (or hands its events to
// `instead`) and then puts back the listener and the error record it found:
// for a step whose failure is not the run's (a check tried first, a request
// sent ahead of its turn, a patch).
class Hush {
   public:
    explicit Hush(Io &io, Events *instead = nullptr)
        : io_(io), listener_(io.events), error_(io.error) {
        io.events = instead != nullptr ? instead : &silent_;
    }
    Hush(const Hush &) = delete;
    Hush &operator=(const Hush &) = delete;
    ~Hush() {
        io_.events = listener_;
        io_.error = error_;
    }

   private:
    Io &io_;
    Events *listener_;
    ErrorRecord error_;
    SilentEvents silent_;
};
