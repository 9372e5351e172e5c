// Fuzzes the HTTP reply readers (status line, header block, and the body by its framing) with input
// arriving on a socket pair. The first byte picks a whole reply or a body read as chunked coding, a
// request that may be answered by 304 or not, and one block or pieces.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/feed.h"
#include "support/data_io.h"
#include "transfer/http.h"
#include "transfer/redirect.h"

namespace {

class Discard : public HttpSink {
   public:
    explicit Discard(EngineContext *context) : context_(context) {}
    int take(int socket, Received &ahead, int32_t &length) override {
        char buffer[4096];
        int32_t moved = 0;
        while (length < 0 || moved < length) {
            int want = sizeof(buffer);
            if (length >= 0 && length - moved < want) want = length - moved;
            int count = received_read(context_->io, socket, &ahead, socket_read, buffer, want);
            if (count <= 0) break;
            moved += count;
        }
        bytes += static_cast<size_t>(moved);
        length = moved;
        return 0;
    }
    size_t bytes = 0;

   private:
    EngineContext *context_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    bool chunked_only = (data[0] & 1) != 0;
    int feed = feed_socket(data + 1, size - 1, data[0] >> 2);
    if (feed < 0) return 0;
    EngineContext context = fuzz_context();
    TransferBudget budget = budget_start(context.settings.tries);
    HttpClient client(&context, budget);
    client.socket = feed;
    client.conditional = (data[0] & 2) != 0;  // a 304 is then an answer
    HttpMessage reply;
    Discard sink(&context);

    int result = 0;
    if (chunked_only) {
        http_add_header(reply, "Transfer-Encoding", " chunked");
    } else {
        result = http_read_status(client, reply);
        if (result == 0) {
            // The copy stops at a NUL from the peer, so only its bound holds.
            if (reply.start_line.size() >= kHttpHeadLimit) abort();
            if (client.status > kHttpStatusLimit && !redirect_status(client.status) &&
                !(client.conditional && client.status == kHttpNotModified))
                abort();
            result = http_read_headers(client, reply);
        }
        if (client.head.size() >= kHttpHeadLimit) abort();
    }
    if (result == 0) {
        for (size_t i = 0; i < reply.headers.size(); i++) {
            const HttpHeader &header = reply.headers[i];
            if (header.name.find_first_of(":\r\n") != std::string::npos) abort();
            if (header.value.find('\n') != std::string::npos) abort();
            if (i > 0 && strcmp(reply.headers[i - 1].name.c_str(), header.name.c_str()) > 0)
                abort();
        }
        if (redirect_status(client.status)) {
            // From https, followed: https with a port, no login; refused: one bounded line.
            Url from, to;
            const char *location = http_find_header(reply, "Location");
            if (!url_parse("https://mirror:8443/pub/qavo/qavoe.info", from)) abort();
            const std::string refusal = redirect_resolve(from, location ? location : "", to);
            bool bad = refusal.size() > kRedirectShownLimit + 80 ||
                       (refusal.empty() && (to.scheme != "https" || to.user || to.port < 1));
            for (const char byte : refusal) bad |= byte < ' ' || byte > '~';
            if (bad) abort();
            http_skip_body(client, reply);
            return 0;
        }
        http_read_body(client, reply, sink);
        if (sink.bytes > size) abort();
    }
    // Every failure closed the connection; success may keep it.
    if (result < 0 && client.socket >= 0) abort();
    return 0;
}
