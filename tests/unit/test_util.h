// Helpers of the unit tests: an engine context that records its events,
// scratch files, and connected loopback sockets.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/context.h"

using Bytes = std::vector<uint8_t>;

// Every event with the words of spin events and the error of UI_ERROR.
struct Recorder {
    explicit Recorder(int32_t timeout = 1, int32_t tries = 3) {
        context.ui_event = [](RunState *state, UiEvent *event) {
            auto *self = reinterpret_cast<Recorder *>(state);
            std::vector<int32_t> words;
            if (event->code == UI_SPIN_WAIT || event->code == UI_SPIN_IO) {
                const auto *data = static_cast<const int32_t *>(event->data);
                words = {data[0], data[1]};
            }
            if (event->code == UI_ERROR) self->errors.push_back(*self->context.error);
            self->events.push_back({event->code, words});
            return self->answer ? self->answer(event->code) : 0;
        };
        context.run_state = reinterpret_cast<RunState *>(this);
        context.error = &error;
        context.timeout = timeout;
        context.tries = tries;
    }

    // The words of every event with this code.
    std::vector<std::vector<int32_t>> words(int code) const {
        std::vector<std::vector<int32_t>> found;
        for (const auto &event : events)
            if (event.code == code) found.push_back(event.words);
        return found;
    }
    // The one error raised, as "class code call"; "" when none, "many" for more.
    std::string error_text() const {
        if (errors.size() > 1) return "many";
        if (errors.empty()) return "";
        return std::to_string(errors[0].class_) + " " + std::to_string(errors[0].code) + " " +
               (errors[0].call != nullptr ? errors[0].call : "");
    }

    struct Event {
        int code;
        std::vector<int32_t> words;
    };
    EngineContext context{};
    ErrorRecord error{};
    std::vector<Event> events;
    std::vector<ErrorRecord> errors;
    std::function<int(int)> answer;  // the callback's answer by event code
};

inline Bytes random_bytes(size_t size, uint32_t seed) {
    Bytes data(size);
    for (uint8_t &byte : data) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(seed >> 24);
    }
    return data;
}

struct ScratchDir {
    std::string path = (std::filesystem::temp_directory_path() / "qavo-XXXXXX").string();
    ScratchDir() { EXPECT_NE(mkdtemp(path.data()), nullptr); }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string write(const std::string &name, const Bytes &data) const {
        std::ofstream(file(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        return file(name);
    }
};

inline sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening socket on 127.0.0.1 with a port of the system's choice.
inline int loopback_listener(uint16_t *port, int backlog = 16) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback_address(0);
    socklen_t length = sizeof(address);
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    if (fd < 0 || bind(fd, raw, length) < 0 || listen(fd, backlog) < 0 ||
        getsockname(fd, raw, &length) < 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Two connected TCP sockets over loopback: ends[0] is the client's.
inline bool tcp_pair(int ends[2]) {
    uint16_t port = 0;
    const int listener = loopback_listener(&port);
    if (listener < 0) return false;
    sockaddr_in address = loopback_address(port);
    ends[0] = socket(AF_INET, SOCK_STREAM, 0);
    const bool ok = connect(ends[0], reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    ends[1] = ok ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    return ok && ends[1] >= 0;
}
