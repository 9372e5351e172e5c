// Test helpers for the network and I/O code: an engine context whose event
// callback records every event, and loopback sockets.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"

struct RecordedEvent {
    int code = 0;
    int32_t words[2] = {0, 0};  // spin and retry events
    int32_t done = 0;           // progress
    intptr_t word = 0;          // UI_EXEC
    std::string local_host, remote_host;
    bool local_null = false, remote_null = false;
    int local_port = 0, remote_port = 0;
    ErrorRecord error{};
};

class EventRecorder {
   public:
    explicit EventRecorder(int32_t timeout = 1, int32_t tries = 3) {
        context.ui_event = &EventRecorder::callback;
        context.run_state = reinterpret_cast<RunState *>(this);
        context.error = &error;
        context.timeout = timeout;
        context.tries = tries;
    }
    EventRecorder(const EventRecorder &) = delete;
    EventRecorder &operator=(const EventRecorder &) = delete;

    std::vector<RecordedEvent> of(int code) const {
        std::vector<RecordedEvent> found;
        for (const RecordedEvent &event : events)
            if (event.code == code) found.push_back(event);
        return found;
    }
    size_t count(int code) const { return of(code).size(); }

    EngineContext context{};
    ErrorRecord error{};
    std::vector<RecordedEvent> events;
    // Optional answer to an event, given the event just recorded.
    std::function<int(const RecordedEvent &)> answer;

   private:
    static int callback(RunState *state, UiEvent *event) {
        auto *self = reinterpret_cast<EventRecorder *>(state);
        RecordedEvent recorded;
        recorded.code = event->code;
        switch (event->code) {
            case UI_SPIN_WAIT:
            case UI_SPIN_IO:
            case UI_RETRY: {
                const auto *words = static_cast<const int32_t *>(event->data);
                recorded.words[0] = words[0];
                recorded.words[1] = words[1];
                break;
            }
            case UI_PROGRESS:
                recorded.done = static_cast<const UiFileInfo *>(event->data)->done;
                break;
            case UI_EXEC:
                recorded.word = reinterpret_cast<intptr_t>(event->data);
                break;
            case UI_CONNECTING:
            case UI_CONNECTION_CLOSED: {
                const auto *peers = static_cast<const UiPeers *>(event->data);
                recorded.local_null = peers->local_host == nullptr;
                recorded.remote_null = peers->remote_host == nullptr;
                if (!recorded.local_null) recorded.local_host = peers->local_host;
                if (!recorded.remote_null) recorded.remote_host = peers->remote_host;
                recorded.local_port = peers->local_port;
                recorded.remote_port = peers->remote_port;
                break;
            }
            case UI_ERROR:
                recorded.error = *static_cast<const ErrorRecord *>(event->data);
                break;
            default:
                break;
        }
        self->events.push_back(recorded);
        return self->answer ? self->answer(recorded) : 0;
    }
};

inline sockaddr_in loopback_address(const char *dotted, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_aton(dotted, &address.sin_addr);
    return address;
}

inline uint16_t local_port_of(int descriptor) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) < 0) return 0;
    return ntohs(address.sin_port);
}

// A listening socket on 127.0.0.1 with a port of the system's choice.
inline int loopback_listener(uint16_t *port, int backlog = 16) {
    int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback_address("127.0.0.1", 0);
    if (descriptor < 0 ||
        bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0 ||
        listen(descriptor, backlog) < 0) {
        if (descriptor >= 0) close(descriptor);
        return -1;
    }
    *port = local_port_of(descriptor);
    return descriptor;
}

// Two connected TCP sockets over loopback: ends[0] is the client's.
inline bool tcp_pair(int ends[2]) {
    uint16_t port = 0;
    int listener = loopback_listener(&port);
    if (listener < 0) return false;
    ends[0] = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback_address("127.0.0.1", port);
    bool ok = ends[0] >= 0 &&
              connect(ends[0], reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    ends[1] = ok ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    return ok && ends[1] >= 0;
}
