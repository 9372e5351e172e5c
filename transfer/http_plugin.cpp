// The http plugin: every file is one GET, of its path straight to an HTTP(S)
// mirror (an https one through the proxy's tunnel when there is a proxy) or
// of its absolute URL through an HTTP proxy (ftp:// mirrors included), with
// cache control by the file's age and Range requests for the tail on a later
// attempt; redirections are followed with the same request.
#include <libgen.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "support/data_io.h"
#include "support/kept_copy.h"
#include "transfer/http.h"
#include "transfer/http_connect.h"
#include "transfer/http_pipeline.h"
#include "transfer/plugin.h"
#include "transfer/proxy_auth.h"
#include "transfer/redirect.h"
#include "transfer/remote_session.h"

namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr std::string_view kHttpsScheme = "https://";
constexpr const char *kUserAgent = "QAVO Update/snapshot-20021125";

bool begins_with(const char *text, std::string_view prefix) {
    return text != nullptr && std::string_view(text).starts_with(prefix);
}

// The file's URL: the information file's directory plus the sitepath, as a
// URL from the root that redirections resolve against. No user information
// for an http(s):// one: servers refuse it with 400 and senders must not
// generate it. An ftp:// one through the proxy keeps it, since the proxy
// logs in with it.
std::optional<Url> file_url(const Url &base, const std::string &sitepath) {
    Url target = base;
    target.path = sitepath;
    if (target.scheme == "http" || target.scheme == "https") {
        target.user.reset();
        target.password.reset();
    }
    const std::optional<std::string> text = url_compose(target);
    Url url;
    if (!text || !url_parse(*text, url)) return std::nullopt;
    return url;
}

// Each file's URL is the information file's directory plus its sitepath;
// dirname may write into its argument.
void set_base(Url &target) {
    std::string path = target.path.c_str();
    target.directory = dirname(path.data());
    target.path.clear();
}

// The request target of a URL. A proxy needs the absolute URL to know where
// to go; an origin server takes the path alone (RFC 9112 3.2.1), and some
// refuse anything else; so does one at the end of a tunnel.
std::string request_target(const HttpClient &client, const Url &url) {
    const bool https = url.scheme == "https";
    const bool ftp = url.scheme != "http" && !https;
    const std::string text = url_text(url, ftp);
    if (client.proxy && !https) return text;
    return text.substr(text.find('/', text.find("://") + 3));
}

// The headers of every request for the file; the start line and Host go
// with the URL that each request asks for.
void build_request(HttpMessage &request, const FileRecord &file) {
    char cache[32];
    if (file.time == 0) {
        snprintf(cache, sizeof(cache), "no-cache");
    } else {
        long age = static_cast<long>(wall_seconds()) - static_cast<long>(file.time);
        snprintf(cache, sizeof(cache), "max-age=%ld", age < 0 ? 0L : age);
    }
    http_add_header(request, "Accept", "*.*");
    http_add_header(request, "User-Agent", kUserAgent);
    http_add_header(request, "Cache-Control", cache);
    http_sort_headers(request);
}

// The proxy's credentials go with every request the proxy reads, and never
// into a tunnel, where the origin would read them.
void route_credentials(HttpMessage &request, const HttpClient &client, const Url &at) {
    if (client.proxy_authorization && at.scheme != "https") {
        http_set_header(request, kProxyAuthHeader, *client.proxy_authorization);
        return;
    }
    const auto header = http_search_header(request, kProxyAuthHeader);
    if (header != request.headers.end()) request.headers.erase(header);
}

// A copy left from an earlier run is never resumed: only a later attempt
// continues a copy, and only for a file with a listed size. The copy is
// never created here (the engine has made it): a missing one fails the
// attempt when the body arrives, with the open's error.
int prepare_copy(HttpMessage &request, FileRecord &file, bool first, CopyTarget &copy) {
    if (copy.open(file, first ? CopyUse::kEmpty : CopyUse::kContinue) < 0)
        return copy.error().code == ENOENT ? 0 : copy.report();
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
    explicit CopySink(CopyTarget &copy) : copy_(copy) {}
    int take(int socket, Received &ahead, int32_t &length) override {
        if (!copy_.is_open()) return copy_.report();
        // Nothing to move: a read would only wait for data that is not coming.
        if (length == 0) return 0;
        uint32_t remaining = length < 0 ? kTransferAll : static_cast<uint32_t>(length);
        const CopyOutcome result = copy_.receive(socket, remaining, socket_read, &ahead);
        length = static_cast<int32_t>(remaining);
        return result == CopyOutcome::kReceived ? 0 : -1;
    }

   private:
    CopyTarget &copy_;
};

class HttpSession : public PluginSession {
   public:
    HttpSession(EngineContext *context, TransferBudget &budget) : client(context, budget) {}

    // The request is built for the first attempt; later ones ask for the
    // tail the copy lacks. A kept connection that is no longer quiet is
    // closed before the attempt is announced.
    bool prepare(FileRecord &file, int32_t attempt, CopyTarget &copy) override {
        send_confirmed();
        const bool first = attempt == 0;
        reply_ = HttpMessage{};
        // A session opened at another mirror in the middle of a file builds
        // the file's request there, and asks for the tail the copy lacks.
        if (first || !file_url_.host) {
            request_ = HttpMessage{};
            std::optional<Url> url = file_url(client.target, *file.sitepath);
            if (!url) return false;
            file_url_ = std::move(*url);
            build_request(request_, file);
        }
        if (prepare_copy(request_, file, first, copy) < 0) return false;
        ask_if_changed(file, copy);
        client.absence_expected = file.optional;
        // Behind requests sent ahead, data arriving is their replies; a
        // server that said it closes answers none of them.
        pipeline_.settle();
        if (client.socket >= 0 &&
            (pipeline_.empty() ? !connection_quiet(client.socket, client.received)
                               : client.received.peer_closes))
            pipeline_.drop();
        return true;
    }

    void look_ahead(std::span<FileRecord *const> next) override { next_ = next; }

    // A copy that failed its checks after its reply came in a pipeline may
    // have got another file's reply: no more requests ahead in this run.
    void copy_refused() override {
        send_confirmed();
        if (!pipelined_) return;
        client.context->pipeline = 1;
        pipeline_.drop();
    }

    // Each attempt starts from the file's URL and follows redirections
    // with the same request headers, up to kRedirectHops of them. The
    // request may have gone ahead already; the next files' go ahead now.
    AttemptOutcome attempt(FileRecord &file, CopyTarget &copy) override {
        send_confirmed();
        retry_after_ = -1;
        Url at = file_url_;
        bool resent = false;
        for (int hops = 0;;) {
            const std::string target = address(request_, at);
            // A reply to another request would come first.
            if (!pipeline_.empty() && (hops > 0 || !pipeline_.next_is(file, target)))
                pipeline_.drop();
            const ConnectOutcome opened = http_connect(client, at);
            if (opened == ConnectOutcome::kRefused) return AttemptOutcome::kRefused;
            pipeline_.settle();
            if (opened == ConnectOutcome::kOpen) send_requests(file, target, hops == 0);
            pipelined_ = pipeline_.next_was_ahead() || pipeline_.size() > 1;
            pipeline_.settle();  // nothing asked when the connection or a send failed
            if (pipeline_.empty() || http_read_status(client, reply_) < 0 ||
                http_read_headers(client, reply_) < 0) {
                // Asked again on a new connection, once, as if never asked,
                // when not even a status line came.
                if (!resent && reply_.start_line.empty() && pipeline_.lost_ahead()) {
                    resent = true;
                    reply_ = HttpMessage{};
                    continue;
                }
                retry_after_ = http_retry_after(reply_, client.status, wall_seconds());
                // Only the absence of an optional file leaves the connection
                // open: its reply was read whole, and no other can change it.
                if (client.socket >= 0) {
                    pipeline_.answered();
                    return AttemptOutcome::kRefused;
                }
                return AttemptOutcome::kRetry;
            }
            if (client.status == kHttpNotModified) {
                pipeline_.answered();
                return use_kept(file, copy);
            }
            if (!redirect_status(client.status)) {
                // A reply in a pipeline that is not as long as its file
                // may answer another request; it is read (and refused) as
                // any other, and no more requests go ahead.
                const int64_t length = http_announced_length(reply_);
                if (pipelined_ && client.status == 200 && file.size > 0 && length >= 0 &&
                    length != file.size)
                    client.context->pipeline = 1;
                CopySink sink(copy);
                if (http_read_body(client, reply_, sink) < 0) return AttemptOutcome::kRetry;
                pipeline_.answered();
                note_validators(file);
                return AttemptOutcome::kDone;
            }
            const char *location = http_find_header(reply_, "Location");
            if (location == nullptr) {
                http_refuse_reply(client);
                return AttemptOutcome::kRetry;
            }
            Url next;
            std::string refusal = redirect_resolve(at, location, next);
            if (refusal.empty() && hops == kRedirectHops) refusal = redirect_too_many(next);
            if (!refusal.empty()) {
                record_error_text(client.context->io, ERR_REDIRECT, std::move(refusal), "redirect");
                received_close(client.context->io, client.socket, client.received, true);
                return AttemptOutcome::kRefused;
            }
            // The redirection's body is never the file's.
            http_skip_body(client, reply_);
            pipeline_.answered();
            // A mirror that redirects gets no requests ahead: their replies
            // would come before the one to the redirected request.
            redirected_ = true;
            at = std::move(next);
            reply_ = HttpMessage{};
            hops++;
        }
    }

    int64_t retry_after() const override { return retry_after_; }

    // Only a file whose request already went ahead on a connection that
    // stays, on its first attempt, is answered without a word to anyone.
    bool answers_ahead(const FileRecord &next) const override {
        return client.socket >= 0 && !client.received.peer_closes && !next.kept &&
               pipeline_.next_for(next);
    }

    void hold_writes(WriteGate &gate) override {
        send_confirmed();
        if (aheads_.empty()) client.held.clear();
        aheads_.push_back(Ahead{Saved{retry_after_, pipelined_, redirected_, file_url_, request_,
                                      client.context->pipeline},
                                client.held.size(), pipeline_.held()});
        client.gate = &gate;
    }

    void confirm_ahead(bool gather) override {
        if (aheads_.empty()) return;
        aheads_.pop_front();
        const size_t mine = aheads_.empty() ? client.held.size() : aheads_.front().held_from;
        const size_t requests = aheads_.empty() ? pipeline_.held() : aheads_.front().requests_from;
        std::string held = client.held.substr(0, mine);
        client.held.erase(0, mine);
        pipeline_.release(requests);
        for (Ahead &later : aheads_) {
            later.held_from -= mine;
            later.requests_from -= std::min(requests, later.requests_from);
        }
        if (aheads_.empty()) client.gate = nullptr;
        if (!held.empty() && client.socket >= 0 && client.held_on == client.opened)
            confirmed_ += held;
        if (!gather) send_confirmed();
    }

    void send_confirmed() override {
        if (confirmed_.empty()) return;
        const std::string confirmed = std::exchange(confirmed_, {});
        // Kept back for a connection that is still the one they were made for.
        if (client.socket < 0 || client.held_on != client.opened) return;
        Hush hush(client.context->io);
        if (connection_send(client.context->io, client.socket, client.received, confirmed.data(),
                            confirmed.size()) != static_cast<ssize_t>(confirmed.size()))
            client.received.peer_closes = true;
    }

    void abandon_ahead() override {
        // What was confirmed before is the engine's, and goes out.
        send_confirmed();
        client.gate = nullptr;
        client.held.clear();
        if (aheads_.empty()) return;
        Saved &saved = aheads_.front().before;
        retry_after_ = saved.retry_after;
        pipelined_ = saved.pipelined;
        redirected_ = saved.redirected;
        file_url_ = std::move(saved.file_url);
        request_ = std::move(saved.request);
        client.context->pipeline = saved.pipeline;
        aheads_.clear();
        pipeline_.drop();
    }

    HttpClient client;

   private:
    // Points the request at the URL: start line, Host and the proxy's
    // credentials; the request target.
    std::string address(HttpMessage &request, const Url &at) const {
        std::string target = request_target(client, at);
        http_set_start_line(request, "GET", target, "HTTP/1.1");
        http_set_header(request, "Host", url_host_header(at));
        route_credentials(request, client, at);
        return target;
    }

    // The file's request unless it went ahead already, and the next files'
    // first requests while the connection has room for them, in one write.
    // A file that a kept copy may answer asks on its own turn, with its
    // condition; so do the files after it. Nothing goes ahead of a
    // redirected request, or to a mirror that redirects.
    void send_requests(const FileRecord &file, const std::string &target, bool first_hop) {
        const bool own = pipeline_.empty();
        std::vector<HttpMessage> batch;
        std::vector<std::pair<const FileRecord *, std::string>> asked;
        if (own) {
            batch.push_back(request_);
            asked.emplace_back(&file, target);
        }
        // Room for the file's own request too, when it is in the batch.
        const size_t room = first_hop && !redirected_ ? pipeline_.room_ahead() : 0;
        // The outstanding requests after the first are those of next_, in order.
        for (size_t index = pipeline_.size() + asked.size() - 1;
             asked.size() < room && index < next_.size(); index++) {
            const FileRecord &next = *next_[index];
            if (next.kept || !next.sitepath) break;
            const std::optional<Url> url = file_url(client.target, *next.sitepath);
            if (!url) break;
            batch.emplace_back();
            build_request(batch.back(), next);
            asked.emplace_back(&next, address(batch.back(), *url));
        }
        const bool holding = client.gate != nullptr;
        if (batch.empty() || http_send_messages(client, batch, !own) < 0) return;
        for (auto &[which, sent] : asked) pipeline_.sent(*which, std::move(sent), which != &file);
        if (holding) pipeline_.hold(asked.size());
    }

    // A file that a kept copy may answer asks whether it changed since the
    // copy was fetched, with the validators the server gave for it then;
    // the copy is keyed by the file's URL without login.
    void ask_if_changed(FileRecord &file, CopyTarget &copy) {
        client.conditional = false;
        for (const char *name : {"If-None-Match", "If-Modified-Since"}) {
            const auto header = http_search_header(request_, name);
            if (header != request_.headers.end()) request_.headers.erase(header);
        }
        if (!file.kept) return;
        KeptCopy &kept = *file.kept;
        const bool refused = kept.refused;
        kept = KeptCopy{};
        kept.key = url_text(file_url_, false);
        kept.refused = refused;
        if (refused || !copy.find_kept(kept)) return;
        if (!kept.etag.empty()) http_set_header(request_, "If-None-Match", kept.etag);
        if (!kept.last_modified.empty())
            http_set_header(request_, "If-Modified-Since", kept.last_modified);
        client.conditional = true;
    }

    // 304: the kept copy is the file; it fills the copy, to be checked as
    // if it had just come. A 304 has no body, so the connection stays.
    AttemptOutcome use_kept(FileRecord &file, CopyTarget &copy) {
        if (copy.fill_kept(file.kept->key) < 0) {
            record_error_text(client.context->io, ERR_KEPT,
                              "the kept copy of " + file.kept->key + " is gone or damaged",
                              "kept copy");
            // The next attempt asks for the whole file.
            file.kept.reset();
            return AttemptOutcome::kRetry;
        }
        file.kept->reused = true;
        return AttemptOutcome::kDone;
    }

    // The validators of the reply that filled the copy, for keeping it. A
    // Last-Modified less than a second before the reply's Date cannot tell
    // a change made later in that second, and neither can an ETag made of
    // the same time and size: such a copy is not kept (RFC 9110 8.8.2.2).
    void note_validators(FileRecord &file) {
        if (!file.kept) return;
        KeptCopy &kept = *file.kept;
        kept.reused = false;
        kept.etag = http_header_value(reply_, "ETag");
        kept.last_modified = http_header_value(reply_, "Last-Modified");
        const std::optional<int64_t> modified = http_date(kept.last_modified);
        const std::optional<int64_t> date = http_date(http_header_value(reply_, "Date"));
        if (!modified) kept.last_modified.clear();
        const bool settled = !modified || (date && *modified < *date);
        if (!settled || !validator_acceptable(kept.etag)) kept.etag.clear();
        if (!settled || !validator_acceptable(kept.last_modified)) kept.last_modified.clear();
    }

    // What a run ahead may change, as it was before it.
    struct Saved {
        int64_t retry_after;
        bool pipelined;
        bool redirected;
        Url file_url;
        HttpMessage request;
        int32_t pipeline;
    };
    // Each file run ahead and not yet confirmed: the session before it, and
    // where its requests start in client.held and among those held.
    struct Ahead {
        Saved before;
        size_t held_from;
        size_t requests_from;
    };
    std::deque<Ahead> aheads_;
    std::string confirmed_;  // let go by confirmations and not yet sent
    int64_t retry_after_ = -1;
    HttpPipeline pipeline_{client};
    std::span<FileRecord *const> next_;  // the files after the one under way
    bool pipelined_ = false;             // the last reply came behind or ahead of others
    bool redirected_ = false;            // a request of this session was redirected
    Url file_url_;                       // where each attempt starts
    HttpMessage request_;
    HttpMessage reply_;
};

std::unique_ptr<PluginSession> http_open(EngineContext *context, const std::string &mirror,
                                         TransferBudget &budget) {
    if (context == nullptr) return nullptr;
    const char *proxy_text =
        context->settings.use_proxy ? context->settings.proxy.c_str() : nullptr;
    bool direct =
        begins_with(mirror.c_str(), kHttpScheme) || begins_with(mirror.c_str(), kHttpsScheme);
    bool proxied = begins_with(proxy_text, kHttpScheme);
    if (!direct && !proxied && proxy_text == nullptr) return nullptr;
    // A proxy that is set but cannot be used serves nothing: going around
    // it could break the site's rules. The front end refuses such a
    // setting before a run; the record keeps any other caller from failing
    // without a reason.
    const std::string problem = proxy_text != nullptr ? url_proxy_problem(proxy_text) : "";
    if (!problem.empty()) {
        record_error_text(context->io, ERR_SETTING,
                          "proxy '" + url_masked(proxy_text) + "': " + problem, "proxy");
        return nullptr;
    }

    auto session = std::make_unique<HttpSession>(context, budget);
    HttpClient &client = session->client;
    std::optional<Url> target = url_connectable(mirror);
    if (!target) {
        record_unusable_mirror(context, mirror);
        return nullptr;
    }
    client.target = std::move(*target);
    if (proxy_text != nullptr) {
        client.proxy = url_connectable(proxy_text);
        if (!client.proxy) return nullptr;  // not reached: the problem covers it
        client.proxy_authorization =
            proxy_authorization(context->settings.proxy_auth, *client.proxy);
    }
    set_base(client.target);
    // The session was only checked here: the network side makes its own.
    if (context->fetcher != nullptr)
        return remote_session_open(context, kPluginHttp, mirror, budget);
    return session;
}

}  // namespace

std::string http_kept_key(const std::string &mirror, const std::string &sitepath) {
    std::optional<Url> base = url_connectable(mirror);
    if (!base) return {};
    set_base(*base);
    const std::optional<Url> url = file_url(*base, sitepath);
    return url ? url_text(*url, false) : std::string();
}

const Plugin http_plugin{"http", ZeroTries::kWithoutLimit, http_open};
