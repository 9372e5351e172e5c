// Console reporting: the events on the terminal, error texts, the clock,
// and the progress meter.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/error.h"
#include "core/events.h"
#include "frontend/run_state.h"

// Prints the engine's events for a run and keeps the state's meter. In
// quiet mode it prints nothing and lets every copy go.
class Console : public Events {
   public:
    explicit Console(RunState &state) : state_(state) {}

    void verify_signature(const FileEvent &file, Verdict verdict) override;
    void verify_md5(const FileEvent &file, Verdict verdict) override;
    void progress(const FileEvent &file) override;
    void transfer_done() override;
    void run_pre_install(const FileEvent &file) override;
    void check_file(const FileEvent &file) override;
    void update_file(const FileEvent &file) override;
    void run_post_install(const FileEvent &file) override;
    void exec(int32_t status) override;
    CopyFate remove_file(const FileEvent &file) override;
    void install_module(const char *name) override;
    void error(const ErrorRecord &record) override;
    void spin(int32_t slice, int32_t slices) override;
    void connecting(const Peers &peers) override;
    void sent_line(const char *line) override;
    void received_line(const char *line) override;
    void data_ready() override;
    void timeout() override;
    void connection_closed(const Peers &peers) override;
    void retry(int32_t attempt, int32_t attempts) override;
    void server_wait(int32_t seconds) override;
    void retry_wait(int32_t seconds) override;
    void kept_damaged(const char *url) override;
    void next_mirror(const char *host, int32_t port, int32_t mirror, int32_t mirrors) override;
    void needs_update(const FileEvent &file) override;
    void patch_failed(const char *patch, const char *file, const char *why) override;

   private:
    void running(const FileEvent &file);

    RunState &state_;
};

void report_error(const ErrorRecord &record);
// Before the random wait that spreads the start of many runs (with -v).
void print_spread(const RunState &state, double seconds, int32_t bound);
// How the network side of the run is set apart: the warning when it is
// not, and with -v what it could not give up.
void print_sandbox_off();
void print_fetch_user_missing(const RunState &state, const std::string &user);
void print_no_landlock(const RunState &state, const std::string &why);
void print_date(FILE *stream);
void print_clock(FILE *stream);
int32_t clock_ms();
void draw_meter(uint32_t from, uint32_t to, char mark);
void print_rate(uint64_t bytes_x1000, int64_t ms);
void meter_progress(RunState *state, const FileEvent &file);
void meter_end(RunState *state);
// Tests only: clock_ms() returns ms while ms >= 0; -1 restores the real clock.
void clock_set_for_testing(int32_t ms);
