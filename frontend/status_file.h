// The status file a monitoring system reads (the text format of metrics
// that node_exporter's textfile collector takes): replaced whole at the end
// of every run, also one that the watchdog cuts off.
#pragma once

#include <cstdint>
#include <string>

struct RunOutcome {
    int exit_status = 0;
    uint32_t files_updated = 0;
    int64_t bytes_downloaded = 0;
    uint32_t files_patched = 0;
    int64_t bytes_saved = 0;
    int64_t catalogue_serial = 0;  // of the manifest accepted; 0 without one
};

// Exit status recorded for a run the watchdog ended: what a shell reports
// for the abort that ends it.
constexpr int kWatchdogStatus = 128 + 6;

// Remembers the file (nothing happens for "") and the last success the
// previous file recorded, and prepares what the watchdog writes.
void status_file_open(const std::string &path);
// Replaces the file with this run's outcome; false (with a line printed)
// when it could not be written.
bool status_file_write(const RunOutcome &outcome);
// For the watchdog's signal handler: writes the prepared text with the
// current time, using only calls that are safe there.
void status_file_on_alarm();
