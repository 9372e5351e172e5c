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

    void needs_update(const FileEvent &file) override {
        files_to_update++;
        listener_.needs_update(file);
    }
    void update_file(const FileEvent &file) override {
        files_updated++;
        listener_.update_file(file);
    }
    void install_module(const char *name) override {
        modules_installed++;
        listener_.install_module(name);
    }
    // A transfer starts with the event that names its file, or with one
    // at its first byte.
    void progress(const FileEvent &file) override {
        if (file.name != nullptr || file.done == 0) size_ = file.size;
        listener_.progress(file);
    }
    void transfer_done() override {
        bytes_downloaded += size_;
        listener_.transfer_done();
    }

    void verify_signature(const FileEvent &file, Verdict verdict) override {
        listener_.verify_signature(file, verdict);
    }
    void verify_md5(const FileEvent &file, Verdict verdict) override {
        listener_.verify_md5(file, verdict);
    }
    void run_pre_install(const FileEvent &file) override { listener_.run_pre_install(file); }
    void check_file(const FileEvent &file) override { listener_.check_file(file); }
    void run_post_install(const FileEvent &file) override { listener_.run_post_install(file); }
    void exec(int32_t status) override { listener_.exec(status); }
    CopyFate remove_file(const FileEvent &file) override { return listener_.remove_file(file); }
    void error(const ErrorRecord &record) override { listener_.error(record); }
    void spin(int32_t slice, int32_t slices) override { listener_.spin(slice, slices); }
    void connecting(const Peers &peers) override { listener_.connecting(peers); }
    void sent_line(const char *line) override { listener_.sent_line(line); }
    void received_line(const char *line) override { listener_.received_line(line); }
    void data_ready() override { listener_.data_ready(); }
    void timeout() override { listener_.timeout(); }
    void connection_closed(const Peers &peers) override { listener_.connection_closed(peers); }
    void retry(int32_t attempt, int32_t attempts) override { listener_.retry(attempt, attempts); }
    void server_wait(int32_t seconds) override { listener_.server_wait(seconds); }
    void retry_wait(int32_t seconds) override { listener_.retry_wait(seconds); }
    void kept_damaged(const char *url) override { listener_.kept_damaged(url); }
    void next_mirror(const char *host, int32_t port, int32_t mirror, int32_t mirrors) override {
        listener_.next_mirror(host, port, mirror, mirrors);
    }

   private:
    Events &listener_;
    int32_t size_ = 0;  // of the transfer under way
};
