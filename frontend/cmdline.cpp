// The command line: the run state, the configuration search, the options in
// command-line order, module arguments, and the informational texts.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/clock.h"
#include "frontend/cmdline.h"
#include "frontend/console.h"
#include "frontend/install.h"
#include "frontend/runctl.h"

bool quiet = false;

namespace {

constexpr const char *kConfigName = "qup.conf";
constexpr const char *kConfigDirs[] = {".", "..", "../etc", "/etc/opt/qavo",
                                       "/usr/local/qavo8/etc"};

// The C library's decimal reading: blanks and a sign accepted, stops at the
// first non-digit, no digits give 0; clamped to 32 bits instead of wrapping.
int32_t read_number(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// An unknown word is stored as -1 all the same; false tells the caller to
// report it.
bool set_boolean(RunState &state, CommandOption which, const char *word) {
    int value = parse_boolean(word);
    settings_set_number(*state.config, which, value);
    return value != -1;
}

// -q: the three standard streams go away before anything else is printed.
// They are pointed at /dev/null rather than closed, so that files opened
// later can never take descriptor 1 or 2 and receive console output; without
// /dev/null they are left as they are.
void go_quiet() {
    quiet = true;
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) return;
    for (int fd = 0; fd <= 2; fd++) dup2(null_fd, fd);
    if (null_fd > 2) close(null_fd);
}

// The state goes, with what it holds, before the program ends.
[[noreturn]] void finish(std::unique_ptr<RunState> &state, int status) {
    state.reset();
    exit(status);
}

void print_report_line(FILE *stream) {
    fprintf(stream, "Please send problem reports and suggestions to <" QAVO_REPORT_ADDRESS ">\n");
}

const option kLongOptions[] = {
    {"proxy-auth", required_argument, nullptr, 'a'},
    {"conf", required_argument, nullptr, 'c'},
    {"dump", optional_argument, nullptr, 'd'},
    {"ftp-passive", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"proxy", required_argument, nullptr, 'p'},
    {"tries", required_argument, nullptr, 't'},
    {"timeout", required_argument, nullptr, 'T'},
    {"server-response", no_argument, nullptr, 'S'},
    {"use-proxy", required_argument, nullptr, 'Y'},
    {"usage", no_argument, nullptr, 'u'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

void print_banner(FILE *stream) {
    int year = 2001;
    time_t now = static_cast<time_t>(wall_seconds());
    struct tm local;
    if (now != static_cast<time_t>(-1) && localtime_r(&now, &local) != nullptr &&
        local.tm_year + 1900 > 2001)
        year = local.tm_year + 1900;
    fprintf(stream, "qavoupdate, the Qavo anti-virus updater. Copyright (C) 2001-%d Qavo Labs\n",
            year);
}

void print_usage(FILE *stream) {
    print_banner(stream);
    fprintf(stream,
            "Usage: qavoupdate [-acdfhStTvVY] [--help] [--ftp-passive=on|off]\n"
            "\t[--usage] [--use-proxy=on|off] [--dump] [--server-response]\n"
            "\t[--tries=number] [--proxy=http://[user[:password]@]sever:port]\n"
            "\t[--timeout=secs] [--verbose] [--version] [--conf=file] [--quiet]\n");
    print_report_line(stream);
}

void print_help(FILE *stream) {
    print_banner(stream);
    fprintf(stream,
            "Usage:\n%s\t[OPTION ...] [modules ...]\n"
            "\t-c, --conf=file\t\tUse alternative configuration file\n"
            "\t-d, --dump[=file]\tUse file to dump current configuration and exit.\n"
            "\t\tIf optional argument is missing use stdout to dump configuration\n"
            "\t-v, --verbose\t\tBe more verbose\n"
            "\t-S, --server-response\tPrint communication between client and server\n"
            "\t-t, --tries=number\tNumber of retries\n"
            "\t-T, --timeout=secs\tWait secs before timeout\n"
            "\t-Y, --use-proxy=on|off\tEnable/Disable proxy\n"
            "\t-p, --proxy=http://proxy_server:port\n"
            "\t\t\t\tSet proxy server to this proxy_server:port\n"
            "\t-a, --proxy-auth=none|basic\n"
            "\t\t\t\tSet proxy authentication method\n"
            "\t-f, --ftp-passive=on|off\tUse PORT|PASV to initiate data connection.\n"
            "\t-h, --help\t\tDisplay this help and exit\n"
            "\t    --usage\t\tGive a short usage message\n"
            "\t-V, --version\t\tOutput version information and exit\n"
            "\t-q, --quiet\t\tQuietly update.\n"
            "Mandatory or optional arguments to long options are also mandatory or optional\n"
            "for any corresponding short options\n\n",
            "qavoupdate");
    print_report_line(stream);
}

void print_version(FILE *stream) {
    print_banner(stream);
    fprintf(stream, "qavoupdate for linux-gnu (i686) Version-0.9.10 Snapshot-20021125\n");
}

RunState::RunState()
    : console(std::make_unique<Console>(*this)),
      installer(std::make_unique<FileInstaller>(*this)) {}

RunState::~RunState() {
    // Whatever installed names are not yet durable become so before the
    // record of them goes.
    install_finish(*this);
}

std::unique_ptr<RunState> parse_command_line(int argc, char **argv) {
    auto state = std::make_unique<RunState>();

    // Only the first candidate that exists is read, even when it is broken.
    for (const char *dir : kConfigDirs) {
        char candidate[PATH_MAX];
        snprintf(candidate, sizeof candidate, "%s/%s", dir, kConfigName);
        struct stat st;
        if (stat(candidate, &st) == 0) {
            state->config = config_load(nullptr, candidate);
            break;
        }
    }
    if (state->config == nullptr) state->config = config_load(nullptr, nullptr);

    bool dump = false;
    const char *dump_file = nullptr;
    optind = 0;  // full re-initialisation, so the parser can run again in one process
    int c;
    while ((c = getopt_long(argc, argv, "a:c:d::f:hp:t:T:SY:uqvV", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'a':
                settings_set_text(*state->config, CommandOption::kProxyAuth, optarg);
                break;
            case 'c':
                state->config = config_load(std::move(state->config), optarg);
                if (state->config == nullptr) finish(state, 2);
                break;
            case 'd':
                dump = true;
                dump_file = optarg;
                break;
            case 'f':
                if (!set_boolean(*state, CommandOption::kFtpPassive, optarg)) {
                    printf("Fatal error: Unknown boolean value '%s' for ftp-passive option\n",
                           optarg);
                    state->errors++;
                }
                break;
            case 'h':
                print_help(stdout);
                finish(state, 0);
            case 'p':
                settings_set_text(*state->config, CommandOption::kProxy, optarg);
                break;
            case 't':
                settings_set_number(*state->config, CommandOption::kTries, read_number(optarg));
                break;
            case 'T':
                settings_set_number(*state->config, CommandOption::kTimeout, read_number(optarg));
                break;
            case 'S':
                settings_set_number(*state->config, CommandOption::kServerResponse, 1);
                break;
            case 'Y':
                if (!set_boolean(*state, CommandOption::kUseProxy, optarg)) {
                    printf("Unknown boolean value '%s' for use-proxy\n", optarg);
                    state->errors++;
                }
                break;
            case 'u':
                print_usage(stdout);
                finish(state, 0);
            case 'q':
                go_quiet();
                break;
            case 'v':
                settings_set_number(*state->config, CommandOption::kVerbose, 1);
                break;
            case 'V':
                print_version(stdout);
                finish(state, 0);
            default:
                print_usage(stdout);
                finish(state, 1);
        }
    }

    for (int i = optind; i < argc; i++) {
        if (!settings_select_module(*state->config, argv[i])) {
            printf("Fatal error: unknown module '%s' (argment %d) in command line\n", argv[i], i);
            state->errors++;
        }
    }

    // Checked once every setting is in, and only where it would be used: a
    // run, or a dump of a configuration that could not run, stops here.
    state->settings = settings_read(*state->config);
    if (!proxy_usable(state->settings)) finish(state, 2);

    // Asked once for the run, not at every turn of the spinner: -q, the one
    // option that changes what standard output is, has been applied.
    state->terminal = isatty(STDOUT_FILENO) != 0;

    if (dump) {
        FILE *stream = stdout;
        if (dump_file != nullptr) {
            stream = fopen(dump_file, "w");
            if (stream == nullptr) {
                fprintf(stderr, "Can't open file %s (%s)\n", dump_file, strerror(errno));
                finish(state, 5);
            }
        }
        config_dump(stream, *state->config);
        // A dump cut short (a full disk) is no dump: it fails like one that
        // cannot be opened.
        bool written = fflush(stream) == 0 && ferror(stream) == 0;
        int error = errno;
        if (stream != stdout && fclose(stream) != 0 && written) {
            written = false;
            error = errno;
        }
        if (!written) {
            fprintf(stderr, "Can't write file %s (%s)\n",
                    dump_file != nullptr ? dump_file : "(standard output)", strerror(error));
            finish(state, 5);
        }
        finish(state, 0);
    }
    return state;
}
