// Starting the fetcher: the fork, the descriptors it keeps, the user it
// becomes and what Landlock leaves it.
#include "transfer/fetcher.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "support/sandbox.h"
#include "support/tls.h"
#include "transfer/url.h"

namespace {

// What resolution and TLS read: the resolver's files, the dynamic loader's
// cache and the libraries it maps (libssl is loaded by the first TLS
// connection), and the system's certificates; a CA file of the settings
// was read before.
std::vector<std::string> readable_paths(const EngineSettings &settings) {
    std::vector<std::string> paths{"/etc/resolv.conf", "/etc/hosts",      "/etc/nsswitch.conf",
                                   "/etc/gai.conf",    "/etc/host.conf",  "/etc/services",
                                   "/etc/ld.so.cache", "/usr/lib",        "/lib"};
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

// Only the channel stays open, as descriptor 3, with the error output;
// nothing reads or writes the updater's standard streams.
int keep_only_channel(int fd) {
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) return -1;
    if (fd != 3 && dup2(fd, 3) < 0) return -1;
    close_range(4, ~0U, 0);
    return 3;
}

[[noreturn]] void fetcher_child(EngineContext *context, int fd, const std::string &user) {
    fd = keep_only_channel(fd);
    if (fd < 0) _exit(1);
    ChannelPort port(fd);
    tell::Started started;
    // Root's files stay readable only until the drop.
    if (!context->settings.ca_file.empty()) tls_preload_ca_file(context->settings.ca_file);
    const PrivilegeDrop drop = drop_privileges(user);
    if (!drop.ok || !die_with_parent()) {
        started.why = drop.ok ? "the updater is gone" : drop.error;
        port.send(started);
        port.flush();
        _exit(1);
    }
    SandboxRules rules;
    rules.read_paths = readable_paths(context->settings);
    tcp_rules(context->settings, rules);
    const LandlockResult confined = landlock_restrict(rules);
    started.switched = drop.switched ? 1 : 0;
    started.landlock = static_cast<uint8_t>(confined.outcome);
    started.abi = confined.abi;
    started.why = confined.error;
    if (confined.outcome == LandlockOutcome::kFailed) {
        port.send(started);
        port.flush();
        _exit(1);
    }
    started.ok = 1;
    port.send(started);
    _exit(fetcher_serve(*context, port));
}

}  // namespace

FetcherStart fetcher_start(EngineContext *context, const std::string &user) {
    FetcherStart start;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0) {
        start.error = std::string("socketpair (") + strerror(errno) + ")";
        return start;
    }
    // Whatever the updater printed so far must not be printed twice.
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        fetcher_child(context, ends[1], user);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        start.error = std::string("fork (") + strerror(errno) + ")";
        return start;
    }
    auto link = std::make_unique<FetcherLink>(context, pid, ends[0]);
    const std::optional<Message> first = link->port().next(context->io);
    const auto *started = first ? std::get_if<tell::Started>(&*first) : nullptr;
    if (started == nullptr || started->ok == 0) {
        start.error = started != nullptr      ? started->why
                      : first.has_value()     ? "it sent a message the updater did not expect"
                                              : "it ended before it started";
        return start;
    }
    start.switched = started->switched != 0;
    start.landlock = started->landlock == static_cast<uint8_t>(LandlockOutcome::kRestricted);
    start.landlock_why = started->why;
    start.link = std::move(link);
    return start;
}
