// The http plugin: every file is one GET, of its path straight to an HTTP(S)
// mirror (an https one through the proxy's tunnel when there is a proxy) or
// of its absolute URL through an HTTP proxy (ftp:// mirrors included), with
// cache control by the file's age and Range requests for the tail on a later
// attempt.
#include <libgen.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "support/data_io.h"
#include "transfer/http.h"
#include "transfer/http_connect.h"
#include "transfer/plugin.h"

namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr std::string_view kHttpsScheme = "https://";
constexpr const char *kUserAgent = "QAVO Update/snapshot-20021125";

bool begins_with(const char *text, std::string_view prefix) {
    return text != nullptr && std::string_view(text).starts_with(prefix);
}

// A URL with a host and a port that a TCP connection can use: another port
// would be cut to 16 bits and reach some other service.
std::optional<Url> connectable(const std::string &text) {
    Url url;
    if (!url_parse(text, url) || !url.host || url.port <= 0 || url.port > UINT16_MAX)
        return std::nullopt;
    return url;
}

// The request target of the file. A proxy needs the absolute URL to know
// where to go; an origin server takes the path alone (RFC 9112 3.2.1), and
// some refuse anything else; so does one at the end of a tunnel. No user
// information for an http(s):// target: servers refuse it with 400 and
// senders must not generate it. An ftp:// target through the proxy keeps
// it, since the proxy logs in with it.
std::optional<std::string> request_target(const HttpClient &client, const std::string &sitepath) {
    Url target = client.target;
    target.path = sitepath;
    const bool https = target.scheme == "https";
    if (target.scheme == "http" || https) {
        target.user.reset();
        target.password.reset();
    }
    std::optional<std::string> url = url_compose(target);
    if ((client.proxy && !https) || !url) return url;
    // The composed URL holds no user information here, so the path starts
    // at the first slash after the scheme's.
    const size_t authority = url->find("://");
    const size_t path =
        authority != std::string::npos ? url->find('/', authority + 3) : std::string::npos;
    return path != std::string::npos ? url->substr(path) : std::string("/");
}

int build_request(const HttpClient &client, HttpMessage &request, const FileRecord &file) {
    const std::optional<std::string> url = request_target(client, *file.sitepath);
    if (!url) return -1;
    http_set_start_line(request, "GET", *url, "HTTP/1.1");
    char cache[32];
    if (file.time == 0) {
        snprintf(cache, sizeof(cache), "no-cache");
    } else {
        long age = static_cast<long>(time(nullptr)) - static_cast<long>(file.time);
        snprintf(cache, sizeof(cache), "max-age=%ld", age < 0 ? 0L : age);
    }
    http_add_header(request, "Host", *client.target.host);
    http_add_header(request, "Accept", "*.*");
    http_add_header(request, "User-Agent", kUserAgent);
    http_add_header(request, "Cache-Control", cache);
    http_sort_headers(request);
    return 0;
}

// A copy left from an earlier run is never resumed: only a later attempt
// continues a copy, and only for a file with a listed size. The copy is
// never created here (the engine has made it): a missing one fails the
// attempt when the body arrives, with the open's error.
int prepare_copy(EngineContext *context, HttpMessage &request, FileRecord &file, bool first,
                 TempCopy &copy) {
    if (copy.open(context, file, first ? CopyUse::kEmpty : CopyUse::kContinue) < 0)
        return copy.error() == ENOENT ? 0 : copy.report();
    if (first) return 0;
    if (static_cast<int64_t>(copy.held()) >= file.size) {
        // A Range left from an earlier attempt would now ask for a tail that
        // the emptied copy does not precede.
        const auto range = http_search_header(request, "Range");
        if (range != request.headers.end()) request.headers.erase(range);
        return copy.truncate();
    }
    if (copy.held() == 0) return 0;
    char range[40];
    snprintf(range, sizeof(range), "bytes=%ld-", static_cast<long>(copy.held()));
    http_set_header(request, "Range", range);
    return 0;
}

// Appends each body (or chunk) to the temporary copy, within its bound.
class CopySink : public HttpSink {
   public:
    explicit CopySink(TempCopy &copy) : copy_(copy) {}
    int take(int socket, Received &ahead, int32_t &length) override {
        if (copy_.fd() < 0) return copy_.report();
        // Nothing to move: a read would only wait for data that is not coming.
        if (length == 0) return 0;
        uint32_t remaining = length < 0 ? kTransferAll : static_cast<uint32_t>(length);
        const int result = copy_.receive(socket, remaining, socket_read, &ahead);
        length = static_cast<int32_t>(remaining);
        return result;
    }

   private:
    TempCopy &copy_;
};

class HttpSession : public PluginSession {
   public:
    HttpSession(EngineContext *context, TransferBudget &budget) : client(context, budget) {}

    // The request is built for the first attempt; later ones ask for the
    // tail the copy lacks. A kept connection that is no longer quiet is
    // closed before the attempt is announced.
    bool prepare(FileRecord &file, int32_t attempt, TempCopy &copy) override {
        const bool first = attempt == 0;
        reply_ = HttpMessage{};
        if (first) {
            request_ = HttpMessage{};
            if (build_request(client, request_, file) < 0) return false;
        }
        if (prepare_copy(client.context, request_, file, first, copy) < 0) return false;
        if (client.socket >= 0 && !connection_quiet(client.socket, client.received))
            received_close(client.context, client.socket, client.received, true);
        return true;
    }

    AttemptOutcome attempt(FileRecord &, TempCopy &copy) override {
        const int opened = http_connect(client, client.target);
        if (opened == kConnectRefused) return AttemptOutcome::kFailed;
        if (opened < 0) return AttemptOutcome::kRetry;
        CopySink sink(copy);
        if (http_send_message(client, request_) < 0 || http_read_status(client, reply_) < 0 ||
            http_read_headers(client, reply_) < 0 || http_read_body(client, reply_, sink) < 0)
            return AttemptOutcome::kRetry;
        return AttemptOutcome::kDone;
    }

    HttpClient client;

   private:
    HttpMessage request_;
    HttpMessage reply_;
};

std::unique_ptr<PluginSession> http_open(EngineContext *context, TransferBudget &budget) {
    if (context == nullptr) return nullptr;
    const char *proxy_text = context->use_proxy ? context->proxy.c_str() : nullptr;
    bool direct = begins_with(context->info_url.c_str(), kHttpScheme) ||
                  begins_with(context->info_url.c_str(), kHttpsScheme);
    bool proxied = begins_with(proxy_text, kHttpScheme);
    if (!direct && !proxied) return nullptr;
    // A proxy that is set but is no HTTP proxy serves nothing: going
    // around it could break the site's rules.
    if (proxy_text != nullptr && !proxied) return nullptr;

    auto session = std::make_unique<HttpSession>(context, budget);
    HttpClient &client = session->client;
    std::optional<Url> target = connectable(context->info_url);
    if (!target) return nullptr;
    client.target = std::move(*target);
    if (proxy_text != nullptr) {
        client.proxy = connectable(proxy_text);
        if (!client.proxy) return nullptr;
    }
    // Each file's URL is the information file's directory plus its
    // sitepath; dirname may write into its argument.
    std::string path = client.target.path.c_str();
    client.target.directory = dirname(path.data());
    client.target.path.clear();
    return session;
}

}  // namespace

const Plugin http_plugin{"http", ZeroTries::kWithoutLimit, http_open};
