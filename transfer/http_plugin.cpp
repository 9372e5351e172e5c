// The http plugin: every file is one GET, of its path straight to an HTTP
// mirror or of its absolute URL through an HTTP proxy (ftp:// mirrors
// included), with cache control by the file's age and Range requests for the
// tail on a later attempt.
#include "transfer/http_plugin.h"

#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "core/error.h"
#include "core/notify.h"
#include "core/records.h"
#include "support/copy_loop.h"
#include "support/data_io.h"
#include "support/temp_copy.h"
#include "transfer/http.h"
#include "transfer/plugin.h"

namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr const char *kUserAgent = "QAVO Update/snapshot-20021125";

bool begins_with(const char *text, std::string_view prefix) {
    return text != nullptr && std::string_view(text).starts_with(prefix);
}

Url *parsed(const char *text) {
    Url *url = url_new();
    if (url == nullptr) return nullptr;
    if (url_parse(text, url) < 0) {
        url_free(url);
        return nullptr;
    }
    return url;
}

// A port that a TCP connection cannot use would otherwise be cut to 16 bits
// and reach some other service.
bool valid_port(const Url *url) {
    return url->port > 0 && url->port <= UINT16_MAX;
}

void *http_open(EngineContext *context) {
    if (context == nullptr || context->ui_event == nullptr || context->info_url == nullptr)
        return nullptr;
    const char *proxy_text =
        context->use_proxy != 0 ? static_cast<const char *>(context->proxy_or_passive) : nullptr;
    bool direct = begins_with(context->info_url, kHttpScheme);
    bool proxied = begins_with(proxy_text, kHttpScheme);
    if (!direct && !proxied) return nullptr;
    // A proxy that is set but is no HTTP proxy serves nothing: going
    // around it could break the site's rules.
    if (proxy_text != nullptr && !proxied) return nullptr;

    HttpClient *client = http_client_new();
    if (client == nullptr) return nullptr;
    client->socket = -1;
    client->context = context;
    client->target = parsed(context->info_url);
    if (client->target == nullptr || !valid_port(client->target)) {
        http_client_free(client);
        return nullptr;
    }
    if (proxy_text != nullptr) {
        client->proxy = parsed(proxy_text);
        if (client->proxy == nullptr || !valid_port(client->proxy)) {
            http_client_free(client);
            return nullptr;
        }
    }
    // Each file's URL is the information file's directory plus its sitepath;
    // dirname may write into its argument, so the path itself is handed over.
    Url *target = client->target;
    target->directory = strdup(dirname(target->path));
    free(target->path);
    target->path = nullptr;
    if (target->directory == nullptr) {
        http_client_free(client);
        return nullptr;
    }
    return client;
}

int http_close(void *handle) {
    return http_client_free(static_cast<HttpClient *>(handle));
}

// The request target of the file. A proxy needs the absolute URL to know
// where to go; an origin server takes the path alone (RFC 9112 3.2.1), and
// some refuse anything else. No user information for an http:// target:
// servers refuse it with 400 and senders must not generate it. An ftp://
// target through the proxy keeps it, since the proxy logs in with it.
char *request_target(const HttpClient *client, const char *sitepath) {
    Url *target = client->target;
    target->path = const_cast<char *>(sitepath);
    char *user = target->user;
    char *password = target->password;
    if (target->scheme != nullptr && strcmp(target->scheme, "http") == 0) {
        target->user = nullptr;
        target->password = nullptr;
    }
    char *url = url_compose(target);
    target->user = user;
    target->password = password;
    target->path = nullptr;
    if (client->proxy != nullptr || url == nullptr) return url;
    // The composed URL holds no user information here, so the path starts
    // at the first slash after the scheme's.
    const char *authority = strstr(url, "://");
    const char *path = authority != nullptr ? strchr(authority + 3, '/') : nullptr;
    char *origin = strdup(path != nullptr ? path : "/");
    free(url);
    return origin;
}

int build_request(HttpClient *client, HttpMessage *request, const FileRecord *file) {
    char *url = request_target(client, file->sitepath);
    if (url == nullptr) return -1;
    int result = http_set_start_line(request, "GET", url, "HTTP/1.1");
    free(url);
    if (result < 0) return -1;

    char cache[32];
    if (file->time == 0) {
        snprintf(cache, sizeof(cache), "no-cache");
    } else {
        long age = static_cast<long>(time(nullptr)) - static_cast<long>(file->time);
        snprintf(cache, sizeof(cache), "max-age=%ld", age < 0 ? 0L : age);
    }
    if (http_add_header(request, "Host", client->target->host) < 0 ||
        http_add_header(request, "Accept", "*.*") < 0 ||
        http_add_header(request, "User-Agent", kUserAgent) < 0 ||
        http_add_header(request, "Cache-Control", cache) < 0)
        return -1;
    return vector_sort(request->headers, message_header_compare);
}

// Removes a header from a sorted table (no-op when absent).
void drop_header(HttpMessage *message, const char *name) {
    Vector *headers = message->headers;
    void **slot = vector_search(name, headers, compare_key_with_header);
    if (slot == nullptr) return;
    auto *header = static_cast<HttpHeader *>(*slot);
    free(header->name);
    free(header->value);
    free(header);
    void **end = headers->items + headers->count;
    memmove(slot, slot + 1, static_cast<size_t>(end - slot - 1) * sizeof(void *));
    headers->count--;
}

// A copy left from an earlier run is never resumed: only a retry within
// this get continues a copy, and only for a file with a listed size.
// The copy is never created here (the engine has made it): a missing one
// fails the attempt when the body arrives, with the open's error.
int prepare_copy(HttpMessage *request, FileRecord *file, bool first, EngineContext *context,
                 TempCopy *copy) {
    if (copy_open(context, file, first ? CopyUse::kEmpty : CopyUse::kContinue, copy) < 0)
        return copy->error == ENOENT ? 0 : copy_report(context, copy);
    if (first) return 0;
    if (static_cast<int64_t>(copy->held) >= file->size) {
        // A Range left from an earlier attempt would now ask for a tail that
        // the emptied copy does not precede.
        drop_header(request, "Range");
        return copy_truncate(context, copy);
    }
    if (copy->held == 0) return 0;
    char range[40];
    snprintf(range, sizeof(range), "bytes=%ld-", static_cast<long>(copy->held));
    return http_set_header(request, "Range", range);
}

int one_attempt(HttpClient *client, HttpMessage *request, HttpMessage *reply, TempCopy *copy) {
    const Url *peer = client->proxy != nullptr ? client->proxy : client->target;
    if (client->socket < 0) {
        received_clear(&client->received);
        if (connection_open(client->context, &client->socket, peer->host,
                            static_cast<uint16_t>(peer->port), 0, nullptr) < 0)
            return -1;
    }
    HttpSinkArguments arguments{copy, client};
    if (http_send_message(client, request) < 0 || http_read_status(client, reply) < 0 ||
        http_read_headers(client, reply) < 0 ||
        http_read_body(client, reply, http_file_sink, &arguments) < 0)
        return -1;
    return 0;
}

int http_get(FileRecord *file, void *handle, TempCopy *copy) {
    auto *client = static_cast<HttpClient *>(handle);
    if (file == nullptr || file->sitepath == nullptr || file->tempfile == nullptr ||
        client == nullptr || client->target == nullptr || client->target->host == nullptr)
        return -1;
    EngineContext *context = client->context;
    client->budget = budget_http_start(context);
    if (notify_file(context, UI_PROGRESS, file) < 0) return -1;

    HttpMessage *request = nullptr;
    HttpMessage *reply = nullptr;
    int result = -1;
    bool first = true;
    // The budget also counts the expired waits of chunk-size lines, so a
    // stalled chunked reply spends it faster.
    while (budget_http_next(&client->budget)) {
        if (request == nullptr && (request = http_message_new()) == nullptr) break;
        http_message_free(reply);
        if ((reply = http_message_new()) == nullptr) break;
        if (first && build_request(client, request, file) < 0) break;
        if (prepare_copy(request, file, first, context, copy) < 0) break;
        if (client->socket >= 0 && !connection_quiet(client->socket, client->received))
            connection_close(context, &client->socket, 1);
        if (!first &&
            notify_counts(context, UI_RETRY, client->budget.used, budget_limit(client->budget)) < 0)
            break;
        first = false;
        if (one_attempt(client, request, reply, copy) == 0) {
            result = 0;
            break;
        }
    }
    http_message_free(request);
    http_message_free(reply);
    return result;
}

}  // namespace

int http_file_sink(int socket, Received *ahead, int32_t *length, void *arguments) {
    auto *target = static_cast<HttpSinkArguments *>(arguments);
    if (length == nullptr || target == nullptr || target->client == nullptr ||
        target->copy == nullptr)
        return -1;
    EngineContext *context = target->client->context;
    if (target->copy->fd < 0) return copy_report(context, target->copy);
    // Nothing to move: a read would only wait for data that is not coming.
    if (*length == 0) return 0;
    uint32_t remaining = *length < 0 ? kTransferAll : static_cast<uint32_t>(*length);
    int result = copy_receive(context, target->copy, socket, &remaining, socket_read, ahead);
    *length = static_cast<int32_t>(remaining);
    return result;
}

const Plugin http_plugin{"http", http_open, http_close, http_get};
