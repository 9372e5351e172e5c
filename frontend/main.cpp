// Program entry: configuration, lock, engine context, one engine run, and
// the exit status that tells a calling script what happened.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "frontend/cmdline.h"
#include "frontend/console.h"
#include "frontend/install.h"
#include "frontend/runctl.h"

int main(int argc, char **argv) {
    // A kept connection is tested with a wait of one microsecond before each
    // request; the default timer slack would stretch that to about 50.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    RunStateGuard owned{parse_command_line(argc, argv)};
    RunState *state = owned.held;
    if (state == nullptr || state->errors != 0) return 2;
    Config *config = state->config;

    ConfigOption *temppath = config_find_option(config, "global", "temppath");
    if (temppath == nullptr || temppath->value.string == nullptr) {
        printf("Can't find configuration for temporary path\n");
        return 4;
    }
    struct stat st;
    if (stat(temppath->value.string, &st) != 0) {
        printf("Can't stat temporary path '%s' (%s)\n", temppath->value.string, strerror(errno));
        return 4;
    }

    char *lock_path = nullptr;
    if (asprintf(&lock_path, "%s/update.start", temppath->value.string) < 0) {
        printf("Insufficient memory\n");
        return 5;
    }
    int holder_pid = -1;
    int locked = lock_update(lock_path, &holder_pid);
    free(lock_path);
    if (locked < 0) {
        printf("Another process is running (pid %d)\n", holder_pid);
        return 3;
    }

    EngineContext context{};
    EngineContextGuard released{&context};
    int filled = fill_engine_context(state, &context);
    if (filled != 0) {
        if (filled == -2) printf("Insufficient memory\n");
        return filled == -2 ? 5 : 2;
    }

    print_date(stdout);
    printf(": Update started\n");

    ConfigOption *alarm_option = config_find_option(config, "global", "alarm");
    int32_t alarm_seconds = alarm_option != nullptr ? alarm_option->value.number : 0;
    signal(SIGALRM, alarm_handler);
    if (alarm_seconds > 0) alarm(static_cast<unsigned>(alarm_seconds));

    int result = engine_update(&context);
    install_finish(state);

    int status;
    if (result != 0) {
        printf(
            " \nAn error occured. Please run %s with '-v' and/or '-S' flags to see what is "
            "wrong\n",
            argv[0]);
        status = 6;
    } else if (state->self_updated) {
        printf(" \nSelf update has been completed.\nNow restarting update procedure\n");
        fflush(stdout);
        status = restart_self(argv);
    } else if (state->files_to_update != 0) {
        printf(
            " \nUpdate has been completed. There were:\n\t- %u files downloaded,\n\t- %u "
            "modules updated,\n\t- %u files updated and\n\t- %d bytes downloaded.\n",
            state->files_to_update, state->modules_installed, state->files_updated,
            state->bytes_downloaded);
        status = 0;
    } else {
        printf(" \nThere are no files to update.\n");
        status = 1;
    }

    print_date(stdout);
    printf(": Update ended\n");
    return status;
}
