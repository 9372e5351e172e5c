// The console listener: one line (or meter step) per engine event, the
// summary counters, and the error reporter.
#include <netdb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "frontend/cmdline.h"
#include "frontend/console.h"
#include "support/connect.h"

namespace {

constexpr char kSpinner[] = "/|\\-";

// glibc would print "(null)" itself, but relying on that is undefined.
const char *text(const char *s) {
    return s != nullptr ? s : "(null)";
}

const char *verdict_word(Verdict verdict) {
    if (verdict == Verdict::kOk) return "OK";
    return "FAILED";
}

// host:port, an IPv6 address (it holds a ':') in brackets so that its
// last group is not taken for the port.
void print_end(const char *host, int port) {
    printf("%s:%d", host != nullptr ? bracket_host(host).c_str() : text(host), port);
}

const char *temp_or_path(const FileEvent &file) {
    return file.temp != nullptr ? file.temp : file.path;
}

}  // namespace

void Console::verify_signature(const FileEvent &file, Verdict verdict) {
    if (!quiet && state_.settings.verbose)
        printf("Verifying signed file '%s': %s\n", text(file.name), verdict_word(verdict));
}

void Console::verify_md5(const FileEvent &file, Verdict verdict) {
    if (!quiet && state_.settings.verbose) {
        printf("Verifying md5sum for file: %s: %s\n", text(temp_or_path(file)),
               verdict_word(verdict));
    }
}

void Console::progress(const FileEvent &file) {
    if (!quiet) meter_progress(&state_, file);
}

void Console::transfer_done() {
    if (!quiet) meter_end(&state_);
}

// Both install programs, before and after the files, are announced alike.
void Console::running(const FileEvent &file) {
    if (!quiet) printf("Running file %s\n", text(temp_or_path(file)));
}

void Console::run_pre_install(const FileEvent &file) {
    running(file);
}

void Console::run_post_install(const FileEvent &file) {
    running(file);
}

void Console::check_file(const FileEvent &file) {
    if (!quiet) printf("Checking if file '%s' can be updated\n", text(file.path));
}

void Console::update_file(const FileEvent &file) {
    if (!quiet) printf("Updating file '%s'\n", text(file.path));
}

void Console::exec(int32_t) {}

CopyFate Console::remove_file(const FileEvent &file) {
    if (!quiet && state_.settings.verbose) printf("Removing file %s\n", text(file.temp));
    return CopyFate::kDrop;
}

void Console::install_module(const char *name) {
    if (!quiet) printf("Installing module '%s'\n", text(name));
}

void Console::error(const ErrorRecord &record) {
    if (quiet) return;
    // The meter line was cut; the next progress event resynchronises it.
    state_.column = 0;
    report_error(record);
}

// Every kind of wait turns the same spinner.
void Console::spin(int32_t, int32_t) {
    if (quiet || !state_.terminal) return;
    state_.spinner = (state_.spinner + 1) % 4;
    printf("%c\b", kSpinner[state_.spinner]);
    fflush(stdout);
}

void Console::connecting(const Peers &peers) {
    if (quiet) return;
    printf("Connecting to ");
    print_end(peers.remote_host, peers.remote_port);
    printf("\n");
    fflush(stdout);
}

// Each line is shown at once: a server that then never answers leaves the
// dialogue on screen when the watchdog ends the run.
void Console::sent_line(const char *line) {
    if (!quiet && state_.settings.server_response) {
        printf("->>- %s", text(line));
        fflush(stdout);
    }
}

void Console::received_line(const char *line) {
    if (!quiet && state_.settings.server_response) {
        printf("-<<- %s", text(line));
        fflush(stdout);
    }
}

void Console::data_ready() {}

void Console::timeout() {
    if (quiet) return;
    print_clock(stdout);
    printf(" Timeout\n");
}

void Console::connection_closed(const Peers &peers) {
    if (quiet) return;
    state_.column = 0;
    if (state_.settings.verbose) {
        printf("Connection from ");
        print_end(peers.local_host, peers.local_port);
        printf(" to ");
        print_end(peers.remote_host, peers.remote_port);
        printf(" was closed.\n");
    }
}

// Said even with -q: a run that sits still for minutes says why.
void Console::server_wait(int32_t seconds) {
    print_clock(stdout);
    printf(" Waiting %d seconds, as the server asked (Retry-After)\n", seconds);
    fflush(stdout);
}

void Console::retry_wait(int32_t seconds) {
    if (quiet || !state_.settings.verbose) return;
    print_clock(stdout);
    printf(" Waiting %d seconds before the next attempt\n", seconds);
    fflush(stdout);
}

void Console::kept_damaged(const char *url) {
    if (quiet || !state_.settings.verbose) return;
    print_clock(stdout);
    printf(" The kept copy of %s failed its checks: fetching it afresh\n", text(url));
    fflush(stdout);
}

void Console::next_mirror(const char *host, int32_t port, int32_t mirror, int32_t mirrors) {
    if (quiet || !state_.settings.verbose) return;
    print_clock(stdout);
    printf(" Moving to host ");
    print_end(host, port);
    printf(" (mirror %d of %d)\n", mirror, mirrors);
    fflush(stdout);
}

void Console::retry(int32_t attempt, int32_t attempts) {
    if (quiet) return;
    print_clock(stdout);
    printf(" Retrying(%u:%u)\n", static_cast<uint32_t>(attempt), static_cast<uint32_t>(attempts));
}

void print_spread(const RunState &state, double seconds, int32_t bound) {
    if (quiet || !state.settings.verbose) return;
    printf("Waiting %.3f seconds before the update (randomdelay=%d)\n", seconds, bound);
    fflush(stdout);
}

void print_sandbox_off() {
    printf("Warning: sandbox is off: the network side runs with the updater's privileges\n");
}

void print_fetch_user_missing(const RunState &state, const std::string &user) {
    if (quiet || !state.settings.verbose) return;
    printf("User %s does not exist: the network side runs as nobody\n", user.c_str());
}

void print_no_landlock(const RunState &state, const std::string &why) {
    if (quiet || !state.settings.verbose) return;
    printf("Landlock is not available (%s): the network side is confined by its user alone\n",
           why.c_str());
}

void Console::needs_update(const FileEvent &file) {
    if (quiet) return;
    printf("File '%s' with size %d needs update!\n", text(file.path), file.size);
}

void Console::patch_failed(const char *patch, const char *file, const char *why) {
    if (quiet || !state_.settings.verbose) return;
    print_clock(stdout);
    printf(" Patch %s not used (%s): getting %s whole\n", text(patch), text(why), text(file));
    fflush(stdout);
}

void report_error(const ErrorRecord &record) {
    switch (record.class_) {
        case ERR_FILE_SYSCALL:
        case ERR_NET_SYSCALL:
            printf("Error: %s (%s)", text(record.call), strerror(record.code));
            break;
        case ERR_RESOLVE:
            // Worded as the resolver's classic messages, which users and their scripts know.
            printf("Error: gethostbyname (%s)",
                   hstrerror(record.code == EAI_NONAME || record.code == EAI_NODATA ? HOST_NOT_FOUND
                             : record.code == EAI_AGAIN                             ? TRY_AGAIN
                                                                                    : NO_RECOVERY));
            break;
        case ERR_UPDATE:
            switch (record.code) {
                case UPD_BAD_MD5:
                    printf(
                        "Last file retrieved has a bad md5sum.\n\t\t\t  Means bad connection or "
                        "customer update during vendor update");
                    break;
                case UPD_USER_BREAK:
                    printf("User Break");
                    break;
                case UPD_CANT_INSTALL:
                    printf("Can't install last file. Update can't continue");
                    break;
                case UPD_TIME_SCREW:
                    printf(
                        "Time screw detected. That means you have files newer than mirror, which "
                        "is abnormal");
                    break;
                case UPD_CANT_EXECUTE:
                    printf("Can't execute last file. Update can't continue");
                    break;
                case UPD_NO_INFO:
                    printf("Can't find any information about '%s'.Update will fail",
                           text(record.call));
                    break;
                case UPD_CYCLIC:
                    printf("Cyclic dependencies between modules. Please contact tech support.");
                    break;
                case UPD_PARSER:
                    printf(
                        "Parser Error: Can't parse information file. Please contact tech "
                        "support");
                    break;
                default:
                    break;
            }
            break;
        case ERR_FTP:
            if (record.code == 1) {
                printf("FTP ERROR: Bad reply from server");
            } else if (record.code == 2) {
                printf("FTP ERROR: Timeout");
            } else {
                printf("FTP ERROR: ftp server retuns an error code(%d)", record.code);
            }
            break;
        case ERR_HTTP:
            printf("HTTP ERROR: server reply is (%d)", record.code);
            break;
        case ERR_FILE:
            printf("FILE ERROR: error code is (%d). Please contact tech support", record.code);
            break;
        case ERR_TLS:
        case ERR_REDIRECT:
        case ERR_MANIFEST:
        case ERR_WAIT:
        case ERR_KEPT:
        case ERR_SETTING:
        case ERR_FETCHER:
            printf("Error: %s", record.text.c_str());
            break;
        default:
            printf("Unknown error(%d,%d,%s). Please contact tech support", record.class_,
                   record.code, text(record.call));
            break;
    }
    printf("\n");
}
