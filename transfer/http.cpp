// The HTTP/1.1 client: builds and sends requests, reads the status line and
// header block from what the connection received, and hands the body to a
// caller's sink.
#include "transfer/http.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/error.h"
#include "core/notify.h"
#include "support/data_io.h"
#include "support/line_reader.h"

namespace {

const HttpHeader *header_of(const void *slot) {
    return *static_cast<const HttpHeader *const *>(slot);
}

void header_free(HttpHeader *header) {
    if (header == nullptr) return;
    free(header->name);
    free(header->value);
    free(header);
}

HttpHeader *header_new(std::string_view name, std::string_view value) {
    auto *header = static_cast<HttpHeader *>(calloc(1, sizeof(HttpHeader)));
    if (header == nullptr) return nullptr;
    header->name = strndup(name.data(), name.size());
    header->value = strndup(value.data(), value.size());
    if (header->name == nullptr || header->value == nullptr) {
        header_free(header);
        return nullptr;
    }
    return header;
}

int append_header(HttpMessage *message, std::string_view name, std::string_view value) {
    HttpHeader *header = header_new(name, value);
    if (header == nullptr) return -1;
    if (vector_add(message->headers, header) < 0) {
        header_free(header);
        return -1;
    }
    return 0;
}

// Every failing read leaves the connection closed, so that the next attempt
// connects anew instead of reading the rest of a broken reply.
int fail_closing(HttpClient *client) {
    connection_close(client->context, &client->socket, 1);
    return -1;
}

// Doubles `head`; the recorded capacity only changes when the new block is
// had, and never beyond the limit.
int grow_head(HttpClient *client) {
    if (client->head_capacity >= kHttpHeadLimit) return -1;
    uint32_t grown = client->head_capacity * 2;
    char *head = static_cast<char *>(realloc(client->head, grown));
    if (head == nullptr) return -1;
    client->head = head;
    client->head_capacity = grown;
    return 0;
}

// Takes the byte at `position` of `head` from what was received, receiving
// the next block when nothing is left, and grows `head` when only the
// terminator's slot would be left. 0 or -1 (nothing closed here).
int read_head_byte(HttpClient *client, uint32_t position) {
    if (position + 1 >= client->head_capacity && grow_head(client) < 0) return -1;
    Received *received = &client->received;
    if (received_empty(*received)) {
        EngineContext *context = client->context;
        notify_counts(context, UI_SPIN_IO, client->budget.used, budget_limit(client->budget));
        if (received_refill(context, client->socket, received) <= 0) return -1;
    }
    client->head[position] = received->bytes[received->start++];
    return 0;
}

// Header lines of a block that ends with a complete line: the name runs to
// the first ':', the value from after it to the byte before the line feed
// (dropping the carriage return, keeping the blank after the colon).
int parse_header_lines(HttpMessage *reply, std::string_view text) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) break;  // only complete lines count
        std::string_view line = text.substr(0, end);
        size_t colon = line.find_first_of(":\r");
        if (colon == std::string_view::npos || line[colon] != ':') break;
        size_t value_end = end > 0 ? end - 1 : 0;
        std::string_view value =
            value_end > colon + 1 ? line.substr(colon + 1, value_end - colon - 1) : "";
        if (append_header(reply, line.substr(0, colon), value) < 0) return -1;
        text.remove_prefix(end + 1);
    }
    return 0;
}

}  // namespace

int message_header_compare(const void *a, const void *b) {
    return strcmp(header_of(a)->name, header_of(b)->name);
}

int compare_key_with_header(const void *key, const void *slot) {
    return strcmp(static_cast<const char *>(key), header_of(slot)->name);
}

HttpClient *http_client_new() {
    return static_cast<HttpClient *>(calloc(1, sizeof(HttpClient)));
}

int http_client_free(HttpClient *client) {
    if (client == nullptr) return -1;
    if (client->target != nullptr) url_free(client->target);
    if (client->proxy != nullptr) url_free(client->proxy);
    free(client->head);
    free(client->line);
    if (client->socket >= 0) connection_close(client->context, &client->socket, 1);
    free(client);
    return 0;
}

HttpMessage *http_message_new() {
    auto *message = static_cast<HttpMessage *>(calloc(1, sizeof(HttpMessage)));
    if (message == nullptr) return nullptr;
    message->headers = vector_new();
    if (message->headers == nullptr) {
        free(message);
        return nullptr;
    }
    return message;
}

int http_message_free(HttpMessage *message) {
    if (message == nullptr) return -1;
    free(message->start_line);
    if (message->headers != nullptr) {
        for (int32_t i = 0; i < message->headers->count; i++)
            header_free(vector_at<HttpHeader>(message->headers, i));
        vector_free(message->headers, 0);
    }
    free(message);
    return 0;
}

int http_set_start_line(HttpMessage *message, const char *method, const char *target,
                        const char *version) {
    if (message == nullptr || method == nullptr || target == nullptr || version == nullptr)
        return -1;
    char *line = nullptr;
    if (asprintf(&line, "%s %s %s", method, target, version) < 0) return -1;
    free(message->start_line);
    message->start_line = line;
    return 0;
}

int http_add_header(HttpMessage *message, const char *name, const char *value) {
    if (message == nullptr || name == nullptr || value == nullptr || message->headers == nullptr)
        return -1;
    return append_header(message, name, value);
}

int http_set_header(HttpMessage *message, const char *name, const char *value) {
    if (message == nullptr || name == nullptr || value == nullptr || message->headers == nullptr)
        return -1;
    void **slot = vector_search(name, message->headers, compare_key_with_header);
    if (slot != nullptr) {
        char *copy = strdup(value);
        if (copy == nullptr) return -1;
        auto *header = static_cast<HttpHeader *>(*slot);
        free(header->value);
        header->value = copy;
        return 0;
    }
    if (append_header(message, name, value) < 0) return -1;
    return vector_sort(message->headers, message_header_compare);
}

const char *http_find_header(const HttpMessage *message, const char *name) {
    if (message == nullptr || name == nullptr || message->headers == nullptr) return nullptr;
    void **slot = vector_search(name, message->headers, compare_key_with_header);
    return slot != nullptr ? static_cast<HttpHeader *>(*slot)->value : nullptr;
}

int http_send_message(HttpClient *client, const HttpMessage *message) {
    if (client == nullptr || message == nullptr || message->start_line == nullptr) return -1;
    EngineContext *context = client->context;
    // Readable now means the server closed the connection or sent something
    // unasked: either way the reply to this request could not be told apart.
    if (!connection_quiet(client->socket, client->received)) return fail_closing(client);

    size_t length = strlen(message->start_line) + 4;
    const Vector *headers = message->headers;
    int32_t count = headers != nullptr ? headers->count : 0;
    for (int32_t i = 0; i < count; i++) {
        const HttpHeader *header = vector_at<HttpHeader>(headers, i);
        if (header->name != nullptr && header->value != nullptr)
            length += strlen(header->name) + strlen(header->value) + 4;
    }
    char *head = static_cast<char *>(malloc(length + 1));
    if (head == nullptr) return -1;
    size_t at = static_cast<size_t>(snprintf(head, length + 1, "%s\r\n", message->start_line));
    for (int32_t i = 0; i < count; i++) {
        const HttpHeader *header = vector_at<HttpHeader>(headers, i);
        if (header->name == nullptr || header->value == nullptr) continue;
        at += static_cast<size_t>(
            snprintf(head + at, length + 1 - at, "%s: %s\r\n", header->name, header->value));
    }
    snprintf(head + at, length + 1 - at, "\r\n");

    if (notify_text(context, UI_SENT_LINE, head) < 0) {
        free(head);
        return -1;
    }
    // No SIGPIPE: a peer that vanished since the idle test must fail this
    // send, not end the process.
    ssize_t sent;
    do {
        sent = send(client->socket, head, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    free(head);
    if (sent < 0) record_error(context, ERR_NET_SYSCALL, "send");
    if (sent != static_cast<ssize_t>(length)) return fail_closing(client);
    return 0;
}

int http_read_status(HttpClient *client, HttpMessage *reply) {
    if (client == nullptr || client->context == nullptr || reply == nullptr) return -1;
    if (client->head == nullptr) {
        client->head = static_cast<char *>(malloc(kHttpHeadStart));
        if (client->head == nullptr) return fail_closing(client);
        client->head_capacity = kHttpHeadStart;
    }
    uint32_t position = 0;
    for (;; position++) {
        if (read_head_byte(client, position) < 0) return fail_closing(client);
        if (client->head[position] == '\n') break;
    }
    client->head[position + 1] = '\0';

    char *line = strndup(client->head, position + 1);
    if (line == nullptr) return fail_closing(client);
    free(reply->start_line);
    reply->start_line = line;
    const char *space = strchr(line, ' ');
    if (space == nullptr) return fail_closing(client);
    long status = strtol(space + 1, nullptr, 10);
    // Out of range counts as above every accepted status.
    client->status =
        status > INT32_MAX || status < INT32_MIN ? INT32_MAX : static_cast<int32_t>(status);

    if (notify_text(client->context, UI_RECEIVED_LINE, line) < 0) return fail_closing(client);
    return http_report_error(client);
}

int http_read_headers(HttpClient *client, HttpMessage *reply) {
    if (client == nullptr || client->context == nullptr || client->head == nullptr ||
        reply == nullptr || reply->headers == nullptr)
        return -1;
    // The block ends at a line feed with a line feed two bytes before it:
    // the blank line after the last header. The status line in `head` is
    // overwritten.
    uint32_t position = 0;
    for (;; position++) {
        if (read_head_byte(client, position) < 0) return fail_closing(client);
        if (client->head[position] == '\n' && position >= 2 && client->head[position - 2] == '\n')
            break;
    }
    client->head[position - 1] = '\0';

    std::string_view block(client->head, position - 1);
    // A NUL from the peer ends the text as every later string use sees it.
    block = block.substr(0, block.find('\0'));
    int32_t before = reply->headers->count;
    if (parse_header_lines(reply, block) < 0) {
        // Keep no part of a block that could not be taken whole.
        for (int32_t i = before; i < reply->headers->count; i++)
            header_free(vector_at<HttpHeader>(reply->headers, i));
        reply->headers->count = before;
        return fail_closing(client);
    }
    vector_sort(reply->headers, message_header_compare);
    return notify_text(client->context, UI_RECEIVED_LINE, client->head);
}

int http_read_body(HttpClient *client, HttpMessage *reply, HttpSink sink, void *arguments) {
    if (client == nullptr || client->context == nullptr || reply == nullptr || sink == nullptr)
        return -1;
    EngineContext *context = client->context;
    bool chunked = false;
    int32_t length = -1;
    // A server that says it closes the connection after this reply gets no
    // further request on it, however soon after the body the request would
    // go, before or after the end of the connection arrived.
    if (const char *connection = http_find_header(reply, "Connection"))
        client->received.peer_closes = strcasestr(connection, "close") != nullptr;
    if (const char *coding = http_find_header(reply, "Transfer-Encoding")) {
        chunked = strstr(coding, "chunked") != nullptr;
    } else if (const char *counted = http_find_header(reply, "Content-Length")) {
        char *end = nullptr;
        errno = 0;
        long value = strtol(counted, &end, 10);
        // A length that no 32-bit count can hold is no length we could check.
        if (errno != 0 || value < 0 || value > INT32_MAX) return fail_closing(client);
        length = static_cast<int32_t>(value);
    }

    if (!chunked) {
        if (notify(context, UI_DATA_READY) < 0) return fail_closing(client);
        int32_t moved = length;
        if (sink(client->socket, &client->received, &moved, arguments) != 0)
            return fail_closing(client);
        if (length >= 0 && moved != length) return fail_closing(client);
        return notify(context, UI_TRANSFER_DONE) < 0 ? fail_closing(client) : 0;
    }

    // A stalled server fails the attempt, as a stalled counted body does,
    // and get makes another attempt.
    TransferBudget own{};
    size_t line_size = client->line_size;
    for (;;) {
        int got = read_line(context, budget_chunk_line(&client->budget, &own), &client->socket,
                            &client->received, &client->line, &line_size);
        client->line_size = static_cast<uint32_t>(line_size);
        if (got < 0) return fail_closing(client);
        errno = 0;
        long size = strtol(client->line, nullptr, 16);
        if (errno != 0 || size < 0 || size > INT32_MAX) return fail_closing(client);
        // Trailer lines are left unread: the idle test before the next
        // request finds them (received or still coming) and the connection
        // is made anew.
        if (size == 0) return notify(context, UI_TRANSFER_DONE) < 0 ? fail_closing(client) : 0;
        if (notify(context, UI_DATA_READY) < 0) return fail_closing(client);
        int32_t moved = static_cast<int32_t>(size);
        if (sink(client->socket, &client->received, &moved, arguments) != 0 || moved != size)
            return fail_closing(client);
        got = read_line(context, budget_chunk_line(&client->budget, &own), &client->socket,
                        &client->received, &client->line, &line_size);
        client->line_size = static_cast<uint32_t>(line_size);
        // Anything before the line end means the chunk was longer than its
        // size said: the framing is lost.
        if (got < 0 || (strcmp(client->line, "\r\n") != 0 && strcmp(client->line, "\n") != 0))
            return fail_closing(client);
    }
}

int http_report_error(HttpClient *client) {
    if (client == nullptr) return -1;
    if (client->status <= kHttpStatusLimit) return 0;
    record_error_code(client->context, ERR_HTTP, client->status, "http_report_error");
    return fail_closing(client);
}
