// Fuzzes the HTTP reply readers (status line, header block, and the body by
// its framing) with input arriving on a socket pair. The first byte picks a
// whole reply or a body read as chunked coding, and one block or pieces.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/context.h"
#include "fuzz/feed.h"
#include "transfer/http.h"

namespace {

size_t body_bytes = 0;

int discard(int socket, Received *ahead, int32_t *length, void *context) {
    char buffer[4096];
    int32_t moved = 0;
    while (*length < 0 || moved < *length) {
        int want = sizeof(buffer);
        if (*length >= 0 && *length - moved < want) want = *length - moved;
        int count = received_read(static_cast<EngineContext *>(context), socket, ahead, socket_read,
                                  buffer, want);
        if (count <= 0) break;
        moved += count;
    }
    body_bytes += static_cast<size_t>(moved);
    *length = moved;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The whole input must fit into the socket buffer before reading.
    if (size < 1) return 0;
    bool chunked_only = (data[0] & 1) != 0;
    int feed = feed_socket(data + 1, size - 1, data[0] >> 2);
    if (feed < 0) return 0;
    ErrorRecord error{};
    EngineContext context = fuzz_context(&error);
    HttpClient *client = http_client_new();
    if (client == nullptr) abort();
    client->socket = feed;
    client->context = &context;
    HttpMessage *reply = http_message_new();
    if (reply == nullptr) abort();
    body_bytes = 0;

    int result = 0;
    if (chunked_only) {
        client->head = static_cast<char *>(malloc(kHttpHeadStart));
        client->head_capacity = kHttpHeadStart;
        http_add_header(reply, "Transfer-Encoding", " chunked");
    } else {
        result = http_read_status(client, reply);
        if (result == 0) {
            // The copy stops at a NUL from the peer, so only its bound holds.
            if (reply->start_line == nullptr || strlen(reply->start_line) >= kHttpHeadLimit)
                abort();
            if (client->status > kHttpStatusLimit) abort();
            result = http_read_headers(client, reply);
        }
        if (client->head_capacity > kHttpHeadLimit) abort();
    }
    if (result == 0) {
        for (int32_t i = 0; i < reply->headers->count; i++) {
            const auto *header = vector_at<HttpHeader>(reply->headers, i);
            if (strpbrk(header->name, ":\r\n") != nullptr) abort();
            if (strchr(header->value, '\n') != nullptr) abort();
            if (i > 0 && message_header_compare(&reply->headers->items[i - 1],
                                                &reply->headers->items[i]) > 0)
                abort();
        }
        http_read_body(client, reply, discard, &context);
        if (body_bytes > size) abort();
    }
    // Every failure closed the connection; success may keep it.
    if (result < 0 && client->socket >= 0) abort();
    http_message_free(reply);
    http_client_free(client);
    return 0;
}
