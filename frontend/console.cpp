// The console callback: one line (or meter step) per engine event, the
// summary counters, and the error reporter.
#include <netdb.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "frontend/cmdline.h"
#include "frontend/console.h"

namespace {

constexpr char kSpinner[] = "/|\\-";

// glibc would print "(null)" itself, but relying on that is undefined.
const char *text(const char *s) {
    return s != nullptr ? s : "(null)";
}

// Reads a boolean of section global; a missing option or model counts as off.
bool global_flag(const RunState *state, const char *name) {
    if (state->config == nullptr) return false;
    const ConfigOption *option = config_find_option(state->config, "global", name);
    return option != nullptr && option->value.number != 0;
}

const char *verdict(int32_t status) {
    if (status > 0) return "OK";
    if (status == 0) return "MAYBE";
    return "FAILED";
}

const char *temp_or_path(const UiFileInfo *info) {
    return info->temp != nullptr ? info->temp : info->path;
}

void spin(RunState *state) {
    if (!state->terminal) return;
    state->spinner = (state->spinner + 1) % 4;
    printf("%c\b", kSpinner[state->spinner]);
    fflush(stdout);
}

// Events whose data is a UiFileInfo.
void file_event(RunState *state, int32_t code, const UiFileInfo *info) {
    switch (code) {
        case UI_GET_INFO:
            printf("Getting information file '%s'\n", text(info->name));
            break;
        case UI_VERIFY_SIGNATURE:
            if (global_flag(state, "verbose")) {
                printf("Verifying signed file '%s': %s\n", text(info->name), verdict(info->status));
            }
            break;
        case UI_VERIFY_MD5:
            if (global_flag(state, "verbose")) {
                printf("Verifying md5sum for file: %s: %s\n", text(temp_or_path(info)),
                       verdict(info->status));
            }
            break;
        case UI_PROGRESS:
            meter_progress(state, info);
            break;
        case UI_RUN_PRE_INSTALL:
        case UI_RUN_POST_INSTALL:
            printf("Running file %s\n", text(temp_or_path(info)));
            break;
        case UI_CHECK_FILE:
            printf("Checking if file '%s' can be updated\n", text(info->path));
            break;
        case UI_UPDATE_FILE:
            printf("Updating file '%s'\n", text(info->path));
            state->files_updated++;
            break;
        case UI_REMOVE_FILE:
            if (global_flag(state, "verbose")) printf("Removing file %s\n", text(info->temp));
            break;
        case UI_NEEDS_UPDATE:
            printf("File '%s' with size %d needs update!\n", text(info->path), info->size);
            state->files_to_update++;
            break;
        default:
            break;
    }
}

}  // namespace

int ui_event(RunState *state, UiEvent *event) {
    if (quiet) return 0;
    if (state == nullptr || event == nullptr) return -1;

    void *data = event->data;
    if (ui_carries_file_info(event->code)) {
        if (data != nullptr) file_event(state, event->code, static_cast<const UiFileInfo *>(data));
        return 0;
    }
    switch (event->code) {
        case UI_TRANSFER_DONE:
            meter_end(state);
            break;
        case UI_INSTALL_MODULE:
            printf("Installing module '%s'\n", text(static_cast<const char *>(data)));
            state->modules_installed++;
            break;
        case UI_ERROR:
            // The meter line was cut; the next progress event resynchronises it.
            state->column = 0;
            report_error(static_cast<const ErrorRecord *>(data));
            break;
        case UI_SPIN_WAIT:
        case UI_SPIN_IO:
        case UI_SPIN:
            spin(state);
            break;
        case UI_CONNECTING:
            if (data != nullptr) {
                const auto *peers = static_cast<const UiPeers *>(data);
                printf("Connecting to %s:%d\n", text(peers->remote_host), peers->remote_port);
                fflush(stdout);
            }
            break;
        case UI_SENT_LINE:
            if (global_flag(state, "serverresponse")) {
                printf("->>- %s", text(static_cast<const char *>(data)));
            }
            break;
        case UI_RECEIVED_LINE:
            if (global_flag(state, "serverresponse")) {
                printf("-<<- %s", text(static_cast<const char *>(data)));
            }
            break;
        case UI_TIMEOUT:
            print_clock(stdout);
            printf(" Timeout\n");
            break;
        case UI_CONNECTION_CLOSED:
            state->column = 0;
            if (data != nullptr && global_flag(state, "verbose")) {
                const auto *peers = static_cast<const UiPeers *>(data);
                printf("Connection from %s:%d to %s:%d was closed.\n", text(peers->local_host),
                       peers->local_port, text(peers->remote_host), peers->remote_port);
            }
            break;
        case UI_RETRY:
            if (data != nullptr) {
                const auto *words = static_cast<const uint32_t *>(data);
                print_clock(stdout);
                printf(" Retrying(%u:%u)\n", words[0], words[1]);
            }
            break;
        default:  // UI_EXEC, UI_DATA_READY and unknown codes
            break;
    }
    return 0;
}

void report_error(const ErrorRecord *record) {
    if (record == nullptr) return;
    switch (record->class_) {
        case ERR_FILE_SYSCALL:
        case ERR_NET_SYSCALL: {
            const bool resolver =
                record->call != nullptr && strcmp(record->call, "gethostbyname") == 0;
            printf("Error: %s (%s)", text(record->call),
                   resolver ? hstrerror(record->code) : strerror(record->code));
            break;
        }
        case ERR_UPDATE:
            switch (record->code) {
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
                           text(record->call));
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
            if (record->code == 1) {
                printf("FTP ERROR: Bad reply from server");
            } else if (record->code == 2) {
                printf("FTP ERROR: Timeout");
            } else {
                printf("FTP ERROR: ftp server retuns an error code(%d)", record->code);
            }
            break;
        case ERR_HTTP:
            printf("HTTP ERROR: server reply is (%d)", record->code);
            break;
        case ERR_FILE:
            printf("FILE ERROR: error code is (%d). Please contact tech support", record->code);
            break;
        default:
            printf("Unknown error(%d,%d,%s). Please contact tech support", record->class_,
                   record->code, text(record->call));
            break;
    }
    printf("\n");
}
