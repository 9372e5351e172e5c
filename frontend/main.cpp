// Program entry: configuration, lock, engine context, one engine run, and
// the exit status that tells a calling script what happened.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "core/clock.h"
#include "engine/engine.h"
#include "engine/rollback_serial.h"
#include "frontend/cmdline.h"
#include "frontend/console.h"
#include "frontend/install.h"
#include "frontend/runctl.h"
#include "frontend/status_file.h"
#include "transfer/fetcher.h"

namespace {

// A script may start the updater with standard input, output or error
// closed. The first files the run opens (the configuration, then the lock
// file) would take those numbers, and console lines would be written into
// them: each closed one is pointed at /dev/null before anything is opened.
void keep_standard_streams() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number: this one, since those below are open.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
}

// A fleet started by the same minute of cron does not reach the mirrors at
// once: a run first waits a random time below `randomdelay` seconds.
void spread_start(RunState &state) {
    const int32_t spread = state.settings.randomdelay;
    if (spread <= 0) return;
    std::random_device source;
    const auto wait = std::chrono::milliseconds(
        std::uniform_int_distribution<int64_t>(0, int64_t{spread} * 1000 - 1)(source));
    print_spread(state, static_cast<double>(wait.count()) / 1000.0, spread);
    std::this_thread::sleep_for(wait);
}

// The network side of the run, apart from the updater unless the sandbox
// is off; a run from file:// mirrors alone has none. False when it could
// not start, which was said.
bool start_network_side(RunState &state, EngineContext &context,
                        std::unique_ptr<FetcherLink> &fetcher) {
    const std::vector<std::string> &urls = context.settings.mirror_urls;
    if (std::all_of(urls.begin(), urls.end(),
                    [](const std::string &url) { return url.starts_with("file://"); }))
        return true;
    if (!state.settings.sandbox) {
        print_sandbox_off();
        return true;
    }
    // The fetcher's process looks the user up before it starts afresh, so
    // that neither the updater nor the fetcher keeps the modules of the
    // user database.
    const std::string &user = state.settings.fetchuser;
    FetcherStart start = fetcher_start(&context, user);
    if (start.link == nullptr) {
        printf("Error: the network side could not start (%s)\n", start.error.c_str());
        return false;
    }
    if (start.fell_back) print_fetch_user_missing(state, user);
    if (!start.landlock) print_no_landlock(state, start.landlock_why);
    fetcher = std::move(start.link);
    context.fetcher = fetcher.get();
    return true;
}

// One run, up to its exit status; `outcome` gets what the status file says
// of it, `restarted` whether a new copy of the program ran in its place.
int run(RunState &state, char **argv, RunOutcome &outcome, bool &restarted) {
    if (!state.settings.temppath) {
        printf("Can't find configuration for temporary path\n");
        return 4;
    }
    const char *temp_dir = state.settings.temppath->c_str();
    struct stat st;
    if (stat(temp_dir, &st) != 0) {
        printf("Can't stat temporary path '%s' (%s)\n", temp_dir, strerror(errno));
        return 4;
    }

    spread_start(state);
    const std::string lock_path = std::string(temp_dir) + "/update.start";
    int holder_pid = -1;
    if (lock_update(lock_path.c_str(), &holder_pid) < 0) {
        printf("Another process is running (pid %d)\n", holder_pid);
        return 3;
    }

    const std::optional<EngineSettings> settings = engine_settings(state.settings);
    if (!settings) return 2;
    EngineContext context(*settings);
    engine_services(state, context);
    // The rollback serial must be kept before a manifest is worth checking. Without
    // a manifest, a state directory that cannot be had only costs the
    // kept catalogue (HTTP only): every poll then downloads it.
    const std::string &first = settings->mirror_urls.front();
    const bool http = first.starts_with("http://") || first.starts_with("https://");
    std::string why;  // why the state directory cannot be had
    Descriptor state_dir;
    if (settings->manifest_required || http)
        why = rollback_serial_prepare(settings->state_dir, state_dir);
    if (settings->manifest_required && !why.empty()) {
        printf("%s\n", why.c_str());
        return 4;
    }
    context.keep_catalogue = http && why.empty();
    context.state_fd = state_dir.fd;
    std::unique_ptr<FetcherLink> fetcher;
    if (!start_network_side(state, context, fetcher)) return 6;

    print_date(stdout);
    printf(": Update started\n");

    const int32_t alarm_seconds = state.settings.alarm;
    signal(SIGALRM, alarm_handler);
    if (alarm_seconds > 0) {
        alarm(static_cast<unsigned>(alarm_seconds));
        context.io.alarm_deadline = wall_seconds() + alarm_seconds;
    }

    const UpdateResult result = engine_update(&context);
    // The network side ends with the run, before any restart.
    context.fetcher = nullptr;
    fetcher.reset();
    install_finish(state);
    outcome.files_updated = result.files_updated;
    outcome.bytes_downloaded = result.bytes_downloaded;
    outcome.files_patched = result.files_patched;
    outcome.bytes_saved = result.bytes_saved;
    outcome.catalogue_serial = result.manifest_serial;

    int status;
    if (result.status != 0) {
        printf(
            " \nAn error occured. Please run %s with '-v' and/or '-S' flags to see what is "
            "wrong\n",
            argv[0]);
        status = 6;
    } else if (state.self_updated) {
        printf(" \nSelf update has been completed.\nNow restarting update procedure\n");
        fflush(stdout);
        status = restart_self(argv);
        restarted = true;
    } else if (result.files_to_update != 0 && !quiet) {
        // Quiet runs report no update by their status, as they always have;
        // the status file still tells what they did.
        printf(
            " \nUpdate has been completed. There were:\n\t- %u files downloaded,\n\t- %u "
            "modules updated,\n\t- %u files updated and\n\t- %" PRId64 " bytes downloaded.\n",
            result.files_to_update, result.modules_installed, result.files_updated,
            result.bytes_downloaded);
        status = 0;
    } else {
        printf(" \nThere are no files to update.\n");
        status = 1;
    }

    print_date(stdout);
    printf(": Update ended\n");
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    // The fetcher ends without the exit handlers: it has nothing to flush,
    // and a leak check would need files its confinement does not allow.
    if (fetcher_mode(argc, argv)) _exit(fetcher_main(argc > 2 ? argv[2] : nullptr));
    keep_standard_streams();
    // A kept connection is tested with a wait of one microsecond before each
    // request; the default timer slack would stretch that to about 50.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_ptr<RunState> state = parse_command_line(argc, argv);
    if (state == nullptr || state->errors != 0) return 2;

    status_file_open(state->settings.statusfile);
    RunOutcome outcome;
    bool restarted = false;
    outcome.exit_status = run(*state, argv, outcome, restarted);
    // The restarted copy wrote its own; a run kept out by the lock leaves
    // the status of the run that holds it.
    if (!restarted && outcome.exit_status != 3) status_file_write(outcome);
    return outcome.exit_status;
}
