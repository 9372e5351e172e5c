// What the engine and the layers below it tell the front end while a run
// goes on: one method per event, with typed arguments; only the fate of a
// copy is the listener's to decide.
// The console implements it; tests implement it to record.
#pragma once

#include <cstdint>

#include "core/error.h"

struct FileRecord;

// Whether the temporary copy of a record is deleted at the end of a run.
enum class CopyFate { kDrop, kKeep };
// The outcome a verification event reports.
enum class Verdict : int32_t { kFailed = -1, kOk = 1 };

// One file as an event shows it. The names are absent (null) where the
// record has none; they live only during the call.
struct FileEvent {
    const char *name = nullptr;  // mirror name
    const char *path = nullptr;  // installation path
    const char *temp = nullptr;  // temporary copy
    int32_t size = 0;
    int32_t done = 0;  // bytes of the copy on disk
};
// The event of a file record; a null record gives an empty event.
FileEvent file_event(const FileRecord *file);

// The two ends of a connection; a host is null when it cannot be told.
struct Peers {
    const char *local_host = nullptr;
    uint16_t local_port = 0;
    const char *remote_host = nullptr;
    uint16_t remote_port = 0;
};

class Events {
   public:
    virtual ~Events() = default;
    virtual void verify_signature(const FileEvent &file, Verdict verdict) = 0;
    virtual void verify_md5(const FileEvent &file, Verdict verdict) = 0;
    // A file's transfer starts (name set) or has `done` bytes (name null).
    virtual void progress(const FileEvent &file) = 0;
    virtual void transfer_done() = 0;
    virtual void run_pre_install(const FileEvent &file) = 0;
    virtual void check_file(const FileEvent &file) = 0;
    virtual void update_file(const FileEvent &file) = 0;
    virtual void run_post_install(const FileEvent &file) = 0;
    // An install program ended with this exit status.
    virtual void exec(int32_t status) = 0;
    // The run is over and the file's temporary copy is still there.
    virtual CopyFate remove_file(const FileEvent &file) = 0;
    virtual void install_module(const char *name) = 0;
    // The record was filled where the call failed.
    virtual void error(const ErrorRecord &record) = 0;
    // One slice of a data wait, of a connect, or of another wait ran out.
    virtual void spin(int32_t slice, int32_t slices) = 0;
    virtual void connecting(const Peers &peers) = 0;
    virtual void sent_line(const char *line) = 0;
    virtual void received_line(const char *line) = 0;
    virtual void data_ready() = 0;
    virtual void timeout() = 0;
    virtual void connection_closed(const Peers &peers) = 0;
    // The next attempt at a file begins: `attempt` spent of `attempts`.
    virtual void retry(int32_t attempt, int32_t attempts) = 0;
    // Before a wait of `seconds` that the server asked for (Retry-After).
    virtual void server_wait(int32_t seconds) = 0;
    // Before the pause of `seconds` that spaces two attempts at one mirror.
    virtual void retry_wait(int32_t seconds) = 0;
    // The kept copy of `url` that the server confirmed failed its checks:
    // it was dropped, and the file is asked for afresh.
    virtual void kept_damaged(const char *url) = 0;
    // The next attempt goes to mirror `mirror` (from 1) of `mirrors`, at host:port.
    virtual void next_mirror(const char *host, int32_t port, int32_t mirror, int32_t mirrors) = 0;
    virtual void needs_update(const FileEvent &file) = 0;
    // The patch `patch` was not used for the file `file` (why: a short
    // reason); the whole file is fetched instead.
    virtual void patch_failed(const char *patch, const char *file, const char *why) = 0;
};

// Hands every event on to another listener: the base of a listener that
// looks at a few events on their way.
class ForwardEvents : public Events {
   public:
    explicit ForwardEvents(Events &listener) : listener_(listener) {}

    void verify_signature(const FileEvent &file, Verdict verdict) override {
        listener_.verify_signature(file, verdict);
    }
    void verify_md5(const FileEvent &file, Verdict verdict) override {
        listener_.verify_md5(file, verdict);
    }
    void progress(const FileEvent &file) override { listener_.progress(file); }
    void transfer_done() override { listener_.transfer_done(); }
    void run_pre_install(const FileEvent &file) override { listener_.run_pre_install(file); }
    void check_file(const FileEvent &file) override { listener_.check_file(file); }
    void update_file(const FileEvent &file) override { listener_.update_file(file); }
    void run_post_install(const FileEvent &file) override { listener_.run_post_install(file); }
    void exec(int32_t status) override { listener_.exec(status); }
    CopyFate remove_file(const FileEvent &file) override { return listener_.remove_file(file); }
    void install_module(const char *name) override { listener_.install_module(name); }
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
    void needs_update(const FileEvent &file) override { listener_.needs_update(file); }
    void patch_failed(const char *patch, const char *file, const char *why) override {
        listener_.patch_failed(patch, file, why);
    }

   protected:
    Events &listener_;
};

// A listener that says nothing and lets every copy go: what a
// context without a front end reports to.
class SilentEvents : public Events {
   public:
    void verify_signature(const FileEvent &, Verdict) override {}
    void verify_md5(const FileEvent &, Verdict) override {}
    void progress(const FileEvent &) override {}
    void transfer_done() override {}
    void run_pre_install(const FileEvent &) override {}
    void check_file(const FileEvent &) override {}
    void update_file(const FileEvent &) override {}
    void run_post_install(const FileEvent &) override {}
    void exec(int32_t) override {}
    CopyFate remove_file(const FileEvent &) override { return CopyFate::kDrop; }
    void install_module(const char *) override {}
    void error(const ErrorRecord &) override {}
    void spin(int32_t, int32_t) override {}
    void connecting(const Peers &) override {}
    void sent_line(const char *) override {}
    void received_line(const char *) override {}
    void data_ready() override {}
    void timeout() override {}
    void connection_closed(const Peers &) override {}
    void retry(int32_t, int32_t) override {}
    void server_wait(int32_t) override {}
    void retry_wait(int32_t) override {}
    void kept_damaged(const char *) override {}
    void next_mirror(const char *, int32_t, int32_t, int32_t) override {}
    void needs_update(const FileEvent &) override {}
    void patch_failed(const char *, const char *, const char *) override {}
};
