// Starting the fetcher: a fresh copy of the program on the channel, which
// learns the few settings it needs from the first message, becomes an
// unprivileged user and confines itself before it says it is ready.
#include "transfer/fetcher.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <vector>

#include "support/sandbox.h"
#include "support/tls.h"
#include "transfer/url.h"

namespace {

// The descriptors the fetcher finds its channel and the body pipe on.
constexpr int kChannelDescriptor = 3;
constexpr int kPipeDescriptor = 4;
// A pipe this large holds a few of the connection's blocks, so that the
// fetcher seldom waits for the updater to make room.
constexpr int kPipeSize = static_cast<int>(kPipedLimit);

// What resolution and TLS read: the resolver's files, the dynamic loader's
// cache and the libraries it maps (libssl is loaded by the first TLS
// connection), OpenSSL's configuration, the time zone, and the system's
// certificates; a CA file of the settings was read before.
std::vector<std::string> readable_paths(const EngineSettings &settings) {
    std::vector<std::string> paths{"/etc/resolv.conf",     "/etc/hosts",     "/etc/nsswitch.conf",
                                   "/etc/gai.conf",        "/etc/host.conf", "/etc/services",
                                   "/etc/ld.so.cache",     "/usr/lib",       "/lib",
                                   "/etc/ssl/openssl.cnf", "/etc/localtime", "/usr/share/zoneinfo"};
    if (settings.ca_file.empty())
        paths.insert(paths.end(), {"/etc/ssl/certs", "/usr/share/ca-certificates"});
    return paths;
}

// TCP goes only to the mirrors' and the proxy's ports, and to those of
// plain and secure HTTP, where a redirection usually leads. FTP's data
// connections go where its server says, so an FTP run keeps TCP.
void tcp_rules(const EngineSettings &settings, SandboxRules &rules) {
    std::vector<std::string> urls = settings.mirror_urls;
    if (settings.use_proxy) urls.push_back(settings.proxy);
    rules.tcp_ports = {80, 443};
    for (const std::string &text : urls) {
        if (!text.starts_with("http://") && !text.starts_with("https://")) return;
        const std::optional<Url> url = url_connectable(text);
        if (!url) return;
        rules.tcp_ports.push_back(static_cast<uint16_t>(url->port));
    }
    rules.restrict_tcp = true;
}

EngineSettings settings_of(const ask::Start &start) {
    EngineSettings settings;
    for (const NameItem &url : start.mirror_urls) settings.mirror_urls.push_back(url.name);
    settings.use_proxy = start.use_proxy != 0;
    settings.proxy = start.proxy;
    settings.proxy_auth = start.proxy_auth == static_cast<uint8_t>(ProxyAuth::kBasic)
                              ? ProxyAuth::kBasic
                              : ProxyAuth::kNone;
    settings.ca_file = start.ca_file;
    settings.ftp_active = start.ftp_active != 0;
    return settings;
}

ask::Start start_of(const EngineContext &context, const std::string &user) {
    const EngineSettings &settings = context.settings;
    ask::Start start;
    start.user = user;
    start.timeout = context.io.timeout;
    for (const std::string &url : settings.mirror_urls) start.mirror_urls.push_back({url});
    start.use_proxy = settings.use_proxy ? 1 : 0;
    start.proxy = settings.proxy;
    start.proxy_auth = static_cast<uint8_t>(settings.proxy_auth);
    start.ca_file = settings.ca_file;
    start.ftp_active = settings.ftp_active ? 1 : 0;
    return start;
}

// In the child: the channel becomes descriptor 3 and the pipe's write end
// (when there is one) 4, every other descriptor but the error output is
// closed, and the program starts afresh, so that nothing of the updater's
// memory comes along. As root, the account to become is looked up first
// and handed on as an argument: the user database's modules, and the
// libraries they load, stay behind with the memory this process leaves.
// The updater starts no thread before the fetcher, so the C library is
// whole in this copy of it.
[[noreturn]] void exec_fetcher(int fd, int body_pipe, const std::string &user) {
    std::string account = geteuid() == 0 ? account_text(choose_account(user)) : "";
    // Both move above the places they go to first, so that neither lands
    // on the other.
    const int above = kPipeDescriptor + 1;
    const int channel = fcntl(fd, F_DUPFD, above);
    const int body = body_pipe >= 0 ? fcntl(body_pipe, F_DUPFD, above) : -1;
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || channel < 0 || (body_pipe >= 0 && body < 0) || dup2(null, 0) < 0 ||
        dup2(null, 1) < 0 || dup2(channel, kChannelDescriptor) != kChannelDescriptor ||
        (body >= 0 && dup2(body, kPipeDescriptor) != kPipeDescriptor))
        _exit(127);
    close_range(body >= 0 ? kPipeDescriptor + 1 : kChannelDescriptor + 1, ~0U, 0);
    char name[] = "qavoupdate";
    char mode[] = "--fetcher";
    char *const argv[] = {name, mode, account.empty() ? nullptr : account.data(), nullptr};
    execv("/proc/self/exe", argv);
    // Without /proc the forked copy serves as it is.
    _exit(fetcher_main(account.empty() ? nullptr : account.c_str()));
}

}  // namespace

FetcherStart fetcher_start(EngineContext *context, const std::string &user) {
    FetcherStart start;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0) {
        start.error = std::string("socketpair (") + strerror(errno) + ")";
        return start;
    }
    // Without the pipe, bodies come over the channel alone.
    Descriptor pipe_ends[2];
    if (int fds[2]; pipe2(fds, O_CLOEXEC) == 0) {
        pipe_ends[0].reset(fds[0]);
        pipe_ends[1].reset(fds[1]);
        (void)fcntl(fds[0], F_SETFL, O_NONBLOCK);
        (void)fcntl(fds[0], F_SETPIPE_SZ, kPipeSize);
    }
    // Whatever the updater printed so far must not be printed twice.
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) exec_fetcher(ends[1], pipe_ends[1].fd, user);
    close(ends[1]);
    pipe_ends[1].reset();
    if (pid < 0) {
        close(ends[0]);
        start.error = std::string("fork (") + strerror(errno) + ")";
        return start;
    }
    auto link = std::make_unique<FetcherLink>(context, pid, ends[0]);
    link->port().set_pipe(pipe_ends[0].release());
    link->port().send(start_of(*context, user));
    const std::optional<Message> first = link->port().next(context->io);
    const auto *started = first ? std::get_if<tell::Started>(&*first) : nullptr;
    if (started == nullptr || started->ok == 0) {
        start.error = started != nullptr  ? started->why
                      : first.has_value() ? "it sent a message the updater did not expect"
                                          : "it ended before it started";
        return start;
    }
    start.switched = started->switched != 0;
    start.fell_back = started->fell_back != 0;
    start.landlock = started->landlock == static_cast<uint8_t>(LandlockOutcome::kRestricted);
    start.landlock_why = started->why;
    start.link = std::move(link);
    return start;
}

bool fetcher_mode(int argc, char **argv) {
    struct stat channel;
    return (argc == 2 || argc == 3) && strcmp(argv[1], "--fetcher") == 0 &&
           fstat(kChannelDescriptor, &channel) == 0 && S_ISSOCK(channel.st_mode);
}

int fetcher_main(const char *account) {
    // Started as /proc/self/exe, it would show as "exe" to top and pidof.
    (void)prctl(PR_SET_NAME, "qavoupdate");
    ChannelPort port(kChannelDescriptor);
    struct stat body_pipe;
    if (fstat(kPipeDescriptor, &body_pipe) == 0 && S_ISFIFO(body_pipe.st_mode))
        port.set_pipe(kPipeDescriptor);
    // An updater that is gone shows as a failed write, not as the end of
    // this process in the middle of one.
    signal(SIGPIPE, SIG_IGN);
    Io quiet;
    const std::optional<Message> first = port.next(quiet);
    const auto *start = first ? std::get_if<ask::Start>(&*first) : nullptr;
    if (start == nullptr) return 1;
    const EngineSettings settings = settings_of(*start);
    EngineContext context(settings);
    context.io.timeout = start->timeout;
    tell::Started started;
    // Root's files stay readable only until the switch.
    if (!settings.ca_file.empty()) tls_preload_ca_file(settings.ca_file);
    const std::optional<Account> chosen =
        account != nullptr ? account_parse(account) : std::nullopt;
    const PrivilegeDrop drop =
        chosen ? drop_privileges(start->user, *chosen) : drop_privileges(start->user);
    if (!drop.ok || !die_with_parent()) {
        started.why = drop.ok ? "the updater is gone" : drop.error;
        port.send(started);
        port.flush();
        return 1;
    }
    SandboxRules rules;
    rules.read_paths = readable_paths(settings);
    tcp_rules(settings, rules);
    const LandlockResult confined = landlock_restrict(rules);
    started.switched = drop.switched ? 1 : 0;
    started.fell_back = drop.fell_back ? 1 : 0;
    started.landlock = static_cast<uint8_t>(confined.outcome);
    started.abi = confined.abi;
    started.why = confined.error;
    if (confined.outcome == LandlockOutcome::kFailed) {
        port.send(started);
        port.flush();
        return 1;
    }
    started.ok = 1;
    port.send(started);
    return fetcher_serve(context, port);
}
