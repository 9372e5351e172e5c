// The run's own count of what it did, kept in front of the caller's
// listener: what is counted does not depend on who listens or how much
// the listener prints.
#pragma once

#include <cstdint>

#include "core/events.h"

class Tally : public Events {
   public:
    explicit Tally(Events &listener) : listener_(listener) {}

    uint32_t files_to_update = 0;  // found out of date
    uint32_t files_updated = 0;
    uint32_t modules_installed = 0;
    // The listed size of every transfer that came to its end.
    int64_t bytes_downloaded = 0;

    Answer needs_update(const FileEvent &file) override {
        files_to_update++;
        return listener_.needs_update(file);
    }
    Answer update_file(const FileEvent &file) override {
        files_updated++;
        return listener_.update_file(file);
    }
    Answer install_module(const char *name) override {
        modules_installed++;
        return listener_.install_module(name);
    }
    // A transfer starts with the event that names its file, or with one
    // at its first byte.
    Answer progress(const FileEvent &file) override {
        if (file.name != nullptr || file.done == 0) size_ = file.size;
        return listener_.progress(file);
    }
    Answer transfer_done() override {
        bytes_downloaded += size_;
        return listener_.transfer_done();
    }

    Answer verify_signature(const FileEvent &file, Verdict verdict) override {
        return listener_.verify_signature(file, verdict);
    }
    Answer verify_md5(const FileEvent &file, Verdict verdict) override {
        return listener_.verify_md5(file, verdict);
    }
    Answer run_pre_install(const FileEvent &file) override {
        return listener_.run_pre_install(file);
    }
    Answer check_file(const FileEvent &file) override { return listener_.check_file(file); }
    Answer run_post_install(const FileEvent &file) override {
        return listener_.run_post_install(file);
    }
    Answer exec(int32_t status) override { return listener_.exec(status); }
    CopyFate remove_file(const FileEvent &file) override { return listener_.remove_file(file); }
    void error(const ErrorRecord &record) override { listener_.error(record); }
    Answer spin_wait(int32_t slice, int32_t slices) override {
        return listener_.spin_wait(slice, slices);
    }
    Answer spin_io(int32_t slice, int32_t slices) override {
        return listener_.spin_io(slice, slices);
    }
    Answer spin(int32_t slice, int32_t slices) override { return listener_.spin(slice, slices); }
    Answer connecting(const Peers &peers) override { return listener_.connecting(peers); }
    Answer sent_line(const char *line) override { return listener_.sent_line(line); }
    Answer received_line(const char *line) override { return listener_.received_line(line); }
    Answer data_ready() override { return listener_.data_ready(); }
    Answer timeout() override { return listener_.timeout(); }
    Answer connection_closed(const Peers &peers) override {
        return listener_.connection_closed(peers);
    }
    Answer retry(int32_t attempt, int32_t attempts) override {
        return listener_.retry(attempt, attempts);
    }
    Answer server_wait(int32_t seconds) override { return listener_.server_wait(seconds); }
    Answer retry_wait(int32_t seconds) override { return listener_.retry_wait(seconds); }
    void kept_damaged(const char *url) override { listener_.kept_damaged(url); }
    Answer next_mirror(const char *host, int32_t port, int32_t mirror, int32_t mirrors) override {
        return listener_.next_mirror(host, port, mirror, mirrors);
    }

   private:
    Events &listener_;
    int32_t size_ = 0;  // of the transfer under way
};
