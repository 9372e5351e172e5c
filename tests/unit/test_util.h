// Helpers of the unit tests: an engine context that records its events, and scratch files.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/context.h"

using Bytes = std::vector<uint8_t>;

// The events the unit tests provoke: of connections, waits and attempts; no other ever arises.
enum class Event { kSpin, kDataReady, kTimeout, kError, kConnecting, kClosed, kRetry, kProgress };

// Each of those events with its words (spin, retry, progress), and every error raised.
struct Recorder : SilentEvents {
    explicit Recorder(int32_t timeout = 1, int32_t tries = 3) {
        context.io.events = this;
        context.io.stop = &stop;
        context.io.timeout = timeout;
        settings.tries = tries;
    }

    std::vector<std::vector<int32_t>> words(Event kind) const {
        std::vector<std::vector<int32_t>> found;
        for (const auto &event : events)
            if (event.first == kind) found.push_back(event.second);
        return found;
    }
    // The one error raised, as "class code call"; "" when none, "many" for more.
    std::string error_text() const {
        if (errors.size() > 1) return "many";
        if (errors.empty()) return "";
        return std::to_string(errors[0].class_) + " " + std::to_string(errors[0].code) + " " +
               (errors[0].call != nullptr ? errors[0].call : "");
    }

    EngineSettings settings;
    EngineContext context{settings};
    std::vector<std::pair<Event, std::vector<int32_t>>> events;  // each kind with its words
    std::vector<ErrorRecord> errors;
    std::atomic<bool> stop{false};
    std::function<bool(Event)> stop_at;  // whether an event sets the stop

    void progress(const FileEvent &file) override { note(Event::kProgress, {file.done}); }
    void error(const ErrorRecord &record) override {
        errors.push_back(record);
        note(Event::kError);
    }
    void spin(int32_t at, int32_t of) override { note(Event::kSpin, {at, of}); }
    void connecting(const Peers &) override { note(Event::kConnecting); }
    void data_ready() override { note(Event::kDataReady); }
    void timeout() override { note(Event::kTimeout); }
    void connection_closed(const Peers &) override { note(Event::kClosed); }
    void retry(int32_t at, int32_t of) override { note(Event::kRetry, {at, of}); }

   private:
    void note(Event kind, std::vector<int32_t> words = {}) {
        events.push_back({kind, std::move(words)});
        if (stop_at && stop_at(kind)) stop = true;
    }
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

// A connected pair of local stream sockets; the ends still open (not -1) close with it.
struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    ~SocketPair() {
        for (const int end : ends)
            if (end >= 0) close(end);
    }
};
