// The HTTP/1.1 client: builds and sends requests, reads the status line and
// header block from what the connection received, and hands the body to a
// caller's sink.
#include "transfer/http.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/error.h"
#include "support/data_io.h"
#include "support/line_reader.h"
#include "transfer/proxy_auth.h"
#include "transfer/redirect.h"

namespace {

// The replies that may say when to come back: too many requests, and a
// server unavailable for now.
bool asks_patience(int32_t status) {
    return status == 429 || status == 503;
}

// Every failing read leaves the connection closed, so that the next attempt
// connects anew instead of reading the rest of a broken reply.
int fail_closing(HttpClient &client) {
    received_close(client.context->io, client.socket, client.received, true);
    return -1;
}

// Appends the next byte of what was received to `head`, receiving the next
// block when nothing is left. 0, or -1 when the head would outgrow its
// bound (nothing closed here).
int read_head_byte(HttpClient &client) {
    if (client.head.size() + 1 >= kHttpHeadLimit) return -1;
    Received &received = client.received;
    if (received_empty(received)) {
        events_of(client.context->io).spin(client.budget.used, client.budget.limit);
        client.ended = received_refill(client.context->io, client.socket, &received).end;
        if (client.ended != ReceiveEnd::kData) return -1;
    }
    client.head += received.bytes[received.start++];
    return 0;
}

// Header lines of a block that ends with a complete line: the name runs to
// the first ':', the value from after it to the byte before the line feed
// (dropping the carriage return, keeping the blank after the colon).
void parse_header_lines(HttpMessage &reply, std::string_view text) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) break;  // only complete lines count
        std::string_view line = text.substr(0, end);
        size_t colon = line.find_first_of(":\r");
        if (colon == std::string_view::npos || line[colon] != ':') break;
        size_t value_end = end > 0 ? end - 1 : 0;
        std::string_view value =
            value_end > colon + 1 ? line.substr(colon + 1, value_end - colon - 1) : "";
        reply.headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
        text.remove_prefix(end + 1);
    }
}

// How a reply's body is framed, by its headers.
struct Framing {
    bool chunked = false;
    int32_t length = -1;  // Content-Length; -1: unknown (until the peer closes)
    bool valid = true;    // false: a length no 32-bit count holds
};

// A Content-Length value: digits alone between optional blanks; -1 for
// anything else or a count past 32 bits.
int64_t length_of(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    if (first == std::string_view::npos) return -1;
    text = text.substr(first, last - first + 1);
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return -1;
    }
    return value;
}

Framing framing_of(HttpMessage &reply) {
    Framing framing;
    if (const char *coding = http_find_header(reply, "Transfer-Encoding")) {
        framing.chunked = strstr(coding, "chunked") != nullptr;
        return framing;
    }
    // A sign, a second number, or two different lengths leave the body's
    // end unknown: such a reply is refused rather than guessed at.
    for (const HttpHeader &header : reply.headers) {
        if (header.name != "Content-Length") continue;
        const int64_t value = length_of(header.value);
        framing.valid =
            framing.valid && value >= 0 && (framing.length < 0 || framing.length == value);
        if (!framing.valid) break;
        framing.length = static_cast<int32_t>(value);
    }
    if (!framing.valid) framing.length = -1;
    return framing;
}

}  // namespace

HttpClient::~HttpClient() {
    if (socket >= 0) received_close(context->io, socket, received, true);
}

void http_set_start_line(HttpMessage &message, const char *method, const std::string &target,
                         const char *version) {
    message.start_line = std::string(method) + " " + target + " " + version;
}

void http_add_header(HttpMessage &message, const std::string &name, const std::string &value) {
    message.headers.push_back({name, value});
}

void http_sort_headers(HttpMessage &message) {
    std::stable_sort(message.headers.begin(), message.headers.end(),
                     [](const HttpHeader &a, const HttpHeader &b) {
                         return strcmp(a.name.c_str(), b.name.c_str()) < 0;
                     });
}

// A search by halves that probes the middle first and stops at the first
// equal name it meets: with a header given twice, the same one answers for
// every search of the same table.
std::vector<HttpHeader>::iterator http_search_header(HttpMessage &message, const char *name) {
    size_t low = 0;
    size_t high = message.headers.size();
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const int order = strcmp(name, message.headers[middle].name.c_str());
        if (order < 0) {
            high = middle;
        } else if (order > 0) {
            low = middle + 1;
        } else {
            return message.headers.begin() + static_cast<std::ptrdiff_t>(middle);
        }
    }
    return message.headers.end();
}

void http_set_header(HttpMessage &message, const char *name, const std::string &value) {
    const auto header = http_search_header(message, name);
    if (header != message.headers.end()) {
        header->value = value;
        return;
    }
    http_add_header(message, name, value);
    http_sort_headers(message);
}

const char *http_find_header(HttpMessage &message, const char *name) {
    const auto header = http_search_header(message, name);
    return header != message.headers.end() ? header->value.c_str() : nullptr;
}

int http_send_message(HttpClient &client, const HttpMessage &message) {
    return http_send_messages(client, std::span<const HttpMessage>(&message, 1), false);
}

int http_send_messages(HttpClient &client, std::span<const HttpMessage> messages, bool pending) {
    EngineContext *context = client.context;
    // Readable now means the server closed the connection or sent something
    // unasked: either way the reply to this request could not be told apart.
    // Behind other requests, it is their replies arriving.
    if (!pending && !connection_quiet(client.socket, client.received)) return fail_closing(client);

    // What the listener is shown never holds the proxy's credentials.
    std::string heads;
    for (const HttpMessage &message : messages) {
        std::string shown = message.start_line + "\r\n";
        heads += shown;
        for (const HttpHeader &header : message.headers) {
            heads += header.name + ": " + header.value + "\r\n";
            shown +=
                header.name + ": " +
                (header.name == kProxyAuthHeader ? proxy_auth_masked(header.value) : header.value) +
                "\r\n";
        }
        heads += "\r\n";
        shown += "\r\n";
        events_of(context->io).sent_line(shown.c_str());
    }
    if (client.gate != nullptr) {
        if (client.held.empty()) client.held_on = client.opened;
        if (client.held_on == client.opened) client.held += heads;
        return 0;
    }
    if (pending) {
        // A server that stopped reading may still be sending the replies
        // before: they are read, and this connection takes no more requests.
        Hush hush(context->io);
        if (connection_send(context->io, client.socket, client.received, heads.data(),
                            heads.size()) == static_cast<ssize_t>(heads.size()))
            return 0;
        client.received.peer_closes = true;
        return -1;
    }
    if (connection_send(context->io, client.socket, client.received, heads.data(), heads.size()) !=
        static_cast<ssize_t>(heads.size()))
        return fail_closing(client);
    return 0;
}

int http_read_status(HttpClient &client, HttpMessage &reply) {
    if (client.context == nullptr) return -1;
    client.head.clear();
    do {
        if (read_head_byte(client) < 0) return fail_closing(client);
    } while (client.head.back() != '\n');

    // A NUL from the peer ends the text as every later string use sees it.
    reply.start_line = client.head.substr(0, client.head.find('\0'));
    const size_t space = reply.start_line.find(' ');
    if (space == std::string::npos) return fail_closing(client);
    long status = strtol(reply.start_line.c_str() + space + 1, nullptr, 10);
    // Out of range counts as above every accepted status.
    client.status =
        status > INT32_MAX || status < INT32_MIN ? INT32_MAX : static_cast<int32_t>(status);

    events_of(client.context->io).received_line(reply.start_line.c_str());
    const bool absent =
        client.absence_expected && (client.status == kHttpNotFound || client.status == kHttpGone);
    if ((asks_patience(client.status) || absent) && http_read_headers(client, reply) < 0) return -1;
    if (absent) {
        // Told, without the cost of a new connection for what comes next.
        record_error_code(client.context->io, ERR_HTTP, client.status, "http_report_error");
        http_skip_body(client, reply);
        return -1;
    }
    return http_report_error(client);
}

std::string_view http_header_value(HttpMessage &message, const char *name) {
    const char *value = http_find_header(message, name);
    // Values are kept as received, with the blanks around them.
    std::string_view text(value != nullptr ? value : "");
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string_view::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<int64_t> http_date(std::string_view text) {
    // IMF-fixdate, the form servers are to send.
    struct tm parts {};
    const std::string date(text);
    const char *stop = strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    if (stop == nullptr || *stop != '\0') return std::nullopt;
    return static_cast<int64_t>(timegm(&parts));
}

int64_t http_retry_after(HttpMessage &reply, int32_t status, int64_t now) {
    if (!asks_patience(status)) return -1;
    // Absent, the value is empty, which is neither a count nor a date.
    const std::string_view text = http_header_value(reply, "Retry-After");
    int64_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error == std::errc() && end == text.data() + text.size())
        return seconds >= 0 ? seconds : -1;
    if (error == std::errc::result_out_of_range) return INT64_MAX;  // digits, too many of them
    const std::optional<int64_t> when = http_date(text);
    if (!when) return -1;
    return *when > now ? *when - now : 0;
}

int http_read_headers(HttpClient &client, HttpMessage &reply, bool bare) {
    if (client.context == nullptr) return -1;
    // The block ends at a line feed with a line feed two bytes before it:
    // the blank line after the last header.
    client.head.clear();
    for (;;) {
        if (read_head_byte(client) < 0) return fail_closing(client);
        const size_t last = client.head.size() - 1;
        if (client.head[last] == '\n' && last >= 2 && client.head[last - 2] == '\n') break;
        if (bare && client.head == "\r\n") break;
    }
    client.head.resize(client.head.size() - 2);
    if (client.head.empty()) return 0;
    // A NUL from the peer ends the text as every later string use sees it.
    client.head.resize(std::min(client.head.size(), client.head.find('\0')));
    parse_header_lines(reply, client.head);
    http_sort_headers(reply);
    // A server that says it closes the connection after this reply gets no
    // further request on it, however soon after the body the request would
    // go, before or after the end of the connection arrived. A proxy's
    // answer to CONNECT is the tunnel's start, not such a reply.
    if (!bare)
        client.received.peer_closes = client.received.peer_closes || !http_keeps_connection(reply);
    events_of(client.context->io).received_line(client.head.c_str());
    return 0;
}

int http_read_body(HttpClient &client, HttpMessage &reply, HttpSink &sink) {
    EngineContext *context = client.context;
    if (context == nullptr) return -1;
    Events &events = events_of(context->io);
    const Framing framing = framing_of(reply);
    // A length that no 32-bit count can hold is no length we could check.
    if (!framing.valid) return fail_closing(client);
    const bool chunked = framing.chunked;
    const int32_t length = framing.length;

    if (!chunked) {
        events.data_ready();
        int32_t moved = length;
        if (sink.take(client.socket, client.received, moved) != 0) return fail_closing(client);
        if (length >= 0 && moved != length) return fail_closing(client);
        events.transfer_done();
        return 0;
    }

    // A stalled server fails the attempt, as a stalled counted body does,
    // and the engine makes another attempt.
    TransferBudget own{};
    for (;;) {
        LineOutcome got = read_line(context->io, budget_chunk_line(client.budget, own),
                                    client.socket, client.received, client.line);
        if (got != LineOutcome::kWhole) return fail_closing(client);
        errno = 0;
        long size = strtol(client.line.c_str(), nullptr, 16);
        if (errno != 0 || size < 0 || size > INT32_MAX) return fail_closing(client);
        if (size == 0) {
            // The trailer runs to an empty line, which may come well after
            // the last chunk: read, it leaves the kept connection clean.
            size_t trailer = 0;
            do {
                got = read_line(context->io, budget_chunk_line(client.budget, own), client.socket,
                                client.received, client.line);
                trailer += client.line.size();
                if (got != LineOutcome::kWhole || trailer > kHttpHeadLimit)
                    return fail_closing(client);
            } while (client.line != "\r\n" && client.line != "\n");
            events.transfer_done();
            return 0;
        }
        events.data_ready();
        int32_t moved = static_cast<int32_t>(size);
        if (sink.take(client.socket, client.received, moved) != 0 || moved != size)
            return fail_closing(client);
        got = read_line(context->io, budget_chunk_line(client.budget, own), client.socket,
                        client.received, client.line);
        // Anything before the line end means the chunk was longer than its
        // size said: the framing is lost.
        if (got != LineOutcome::kWhole || (client.line != "\r\n" && client.line != "\n"))
            return fail_closing(client);
    }
}

int64_t http_announced_length(HttpMessage &reply) {
    const Framing framing = framing_of(reply);
    return framing.chunked || !framing.valid ? -1 : framing.length;
}

bool http_keeps_connection(HttpMessage &reply) {
    const char *connection = http_find_header(reply, "Connection");
    if (connection != nullptr && strcasestr(connection, "close") != nullptr) return false;
    if (reply.start_line.starts_with("HTTP/1.1 ")) return true;
    return connection != nullptr && strcasestr(connection, "keep-alive") != nullptr;
}

void http_skip_body(HttpClient &client, HttpMessage &reply) {
    const Framing framing = framing_of(reply);
    int32_t length = framing.length;
    // The header block told whether the server closes after this reply.
    if (client.received.peer_closes || !framing.valid || framing.chunked || length < 0 ||
        length > kHttpSkipLimit) {
        received_close(client.context->io, client.socket, client.received, true);
        return;
    }
    Received &received = client.received;
    while (length > 0) {
        if (received_empty(received)) {
            events_of(client.context->io).spin(client.budget.used, client.budget.limit);
            // A body that does not come only costs the connection.
            if (received_refill(client.context->io, client.socket, &received).end !=
                ReceiveEnd::kData) {
                received_close(client.context->io, client.socket, client.received, true);
                return;
            }
        }
        const uint32_t taken =
            std::min(static_cast<uint32_t>(length), received.end - received.start);
        received.start += taken;
        length -= taken;
    }
}

int http_report_error(HttpClient &client) {
    if (client.status <= kHttpStatusLimit || redirect_status(client.status)) return 0;
    if (client.status == kHttpNotModified && client.conditional) return 0;
    return http_refuse_reply(client);
}

int http_refuse_reply(HttpClient &client) {
    record_error_code(client.context->io, ERR_HTTP, client.status, "http_report_error");
    return fail_closing(client);
}
