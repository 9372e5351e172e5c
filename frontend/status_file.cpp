// One gauge per line, each with its help and type; the file is written
// beside its name and renamed over it, so a reader never sees half of it.
// The temporary name does not end in .prom: the collector skips it.
#include "frontend/status_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "core/clock.h"
#include "support/whole_write.h"

namespace {

constexpr const char *kSuccessMetric = "qavoupdate_last_success_timestamp_seconds";

std::string path_;
std::string temp_path_;
int64_t last_success_ = 0;
// What the watchdog writes: the text before and after its timestamp, and
// the names, in buffers that stay put while the handler may run.
char alarm_path_[4096];
char alarm_temp_[4096 + 8];
char alarm_head_[256];
char alarm_tail_[2048];

void gauge(std::string &text, const char *name, const char *help, int64_t value) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + name +
            " " + std::to_string(value) + "\n";
}

// Everything after the run's time, with the given outcome.
std::string tail_text(const RunOutcome &outcome, int64_t last_success) {
    std::string text;
    gauge(text, "qavoupdate_last_run_exit_status", "Exit status of the last run.",
          outcome.exit_status);
    gauge(text, kSuccessMetric,
          "Time the last run that ended with status 0 or 1 ended, seconds since 1970 (0: never).",
          last_success);
    gauge(text, "qavoupdate_files_updated", "Files the last run updated.", outcome.files_updated);
    gauge(text, "qavoupdate_bytes_downloaded", "Bytes the last run downloaded.",
          outcome.bytes_downloaded);
    gauge(text, "qavoupdate_files_patched", "Files the last run built from patches.",
          outcome.files_patched);
    gauge(text, "qavoupdate_bytes_saved",
          "Bytes the last run's patches saved (the files' sizes less the patches').",
          outcome.bytes_saved);
    gauge(text, "qavoupdate_catalogue_serial",
          "Serial of the manifest the last run accepted (0: none).", outcome.catalogue_serial);
    return text;
}

constexpr const char *kRunHead =
    "# HELP qavoupdate_last_run_timestamp_seconds Time the last run ended, seconds since 1970.\n"
    "# TYPE qavoupdate_last_run_timestamp_seconds gauge\n"
    "qavoupdate_last_run_timestamp_seconds ";

// The previous file's last success, carried over by a failed run.
int64_t previous_success(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    const std::string prefix = std::string(kSuccessMetric) + " ";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        int64_t value = 0;
        const char *end = line.data() + line.size();
        const auto [stop, error] = std::from_chars(line.data() + prefix.size(), end, value);
        if (error == std::errc() && stop == end && value >= 0) return value;
    }
    return 0;
}

bool copy_into(char *buffer, size_t size, const std::string &text) {
    if (text.size() >= size) return false;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

// The text in parts, null-terminated, with the calls a signal handler may
// make too. The temporary name is made afresh: whatever stood under it (a
// link planted in a shared directory) is removed, never written through.
SysError write_parts(const char *temp, const char *path, const char *const parts[], size_t count) {
    struct Parts {
        const char *const *texts;
        size_t count;
    } content{parts, count};
    const auto fill = [](int fd, const void *data) {
        const auto &all = *static_cast<const Parts *>(data);
        for (size_t i = 0; i < all.count; i++) {
            if (const SysError failed = write_all(fd, all.texts[i], strlen(all.texts[i])))
                return failed;
        }
        return SysError{};
    };
    return replace_file({AT_FDCWD, path, temp, 0644}, fill, &content).why;
}

}  // namespace

void status_file_open(const std::string &path) {
    path_ = path;
    if (path_.empty()) return;
    temp_path_ = path_ + ".tmp";
    last_success_ = previous_success(path_);
    RunOutcome cut_off;
    cut_off.exit_status = kWatchdogStatus;
    // A name too long for the buffers leaves the watchdog without a file.
    if (!copy_into(alarm_path_, sizeof alarm_path_, path_) ||
        !copy_into(alarm_temp_, sizeof alarm_temp_, temp_path_) ||
        !copy_into(alarm_head_, sizeof alarm_head_, kRunHead) ||
        !copy_into(alarm_tail_, sizeof alarm_tail_, tail_text(cut_off, last_success_)))
        alarm_path_[0] = '\0';
}

bool status_file_write(const RunOutcome &outcome) {
    if (path_.empty()) return true;
    const int64_t now = wall_seconds();
    if (outcome.exit_status == 0 || outcome.exit_status == 1) last_success_ = now;
    const std::string text =
        kRunHead + std::to_string(now) + "\n" + tail_text(outcome, last_success_);
    const char *parts[] = {text.c_str()};
    const SysError failed = write_parts(temp_path_.c_str(), path_.c_str(), parts, 1);
    if (!failed) return true;
    printf("Can't write status file '%s' (%s)\n", path_.c_str(), failed.text());
    return false;
}

void status_file_on_alarm() {
    if (alarm_path_[0] == '\0') return;
    char stamp[24];
    const auto [end, error] = std::to_chars(stamp, stamp + sizeof stamp - 2, wall_seconds());
    if (error != std::errc()) return;
    end[0] = '\n';
    end[1] = '\0';
    const char *parts[] = {alarm_head_, stamp, alarm_tail_};
    (void)write_parts(alarm_temp_, alarm_path_, parts, 3);
}
