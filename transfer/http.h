// The HTTP/1.1 client: requests with a sorted header table, and replies read
// as status line, header block and a chunked, counted or open-ended body.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/context.h"
#include "support/budget.h"
#include "support/connect.h"
#include "support/received.h"
#include "support/tls.h"
#include "transfer/url.h"
#include "transfer/write_gate.h"

struct HttpHeader {
    std::string name;
    std::string value;
};

struct HttpMessage {
    std::string start_line;  // without its line end when built, with it when read
    // Sorted by name (strcmp order, equal names in the order added)
    // whenever it is searched.
    std::vector<HttpHeader> headers;
};

struct HttpClient {
    HttpClient(EngineContext *client_context, TransferBudget &file_budget)
        : context(client_context), budget(file_budget) {}
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;
    // Closes a connection still open, with its closed event.
    ~HttpClient();

    Url target;                // the information file's URL; its directory is the base
    std::optional<Url> proxy;  // absent: connect to the target itself
    // The Proxy-Authorization value that requests to the proxy carry.
    std::optional<std::string> proxy_authorization;
    Connection socket = -1;
    uint32_t opened = 0;  // connections opened, which tells a request's own from a later one
    Received received;   // what came on `socket` beyond what was read
    int32_t status = 0;  // code of the last status line
    // The request asks whether a kept copy changed: 304 is an answer too.
    bool conditional = false;
    // The file may be absent: a 404 or 410 is read whole and the connection kept.
    bool absence_expected = false;
    std::string head;        // status line or header block being read
    ReceiveEnd ended = ReceiveEnd::kData;  // why the last read of a head stopped short
    std::string line;        // chunk-size lines
    EngineContext *context;  // not owned
    TransferBudget &budget;  // the engine's, of the file under way; also chunk lines' waits
    // Where the open connection goes (see http_connect); empty when closed.
    std::string served;
    // The trust of https connections, made for the first one; the open
    // connection's session when it is https.
    std::unique_ptr<TlsContext> trust;
    std::unique_ptr<TlsSession> tls;
    // While set, requests are kept in `held` (with the connection they are
    // for) instead of sent, and a new connection asks the gate first.
    WriteGate *gate = nullptr;
    std::string held;
    uint32_t held_on = 0;  // `opened` of that connection
};

// Where a body goes.
class HttpSink {
   public:
    virtual ~HttpSink() = default;
    // Receives the body, first what `ahead` holds, then from the socket:
    // `length` holds the bytes expected (-1: until the peer closes) and on
    // return the bytes moved. 0 on success.
    virtual int take(int socket, Received &ahead, int32_t &length) = 0;
};

// A status line or header block beyond this is refused rather than grown:
// no mirror sends one, and a peer must not make us allocate without bound.
constexpr uint32_t kHttpHeadLimit = uint32_t{1} << 16;
// Statuses up to this one are accepted; of the others only the
// redirections, which the caller follows or refuses.
constexpr int32_t kHttpStatusLimit = 299;
constexpr int32_t kHttpNotModified = 304;
constexpr int32_t kHttpNotFound = 404;
constexpr int32_t kHttpGone = 410;
// A redirection's body up to this length is read and dropped, keeping the
// connection; a longer or uncounted one costs the connection instead.
constexpr int32_t kHttpSkipLimit = 1 << 16;

// The key a file's copy is kept under between runs: its URL at the mirror
// (the information file's URL `mirror`), without login.
std::string http_kept_key(const std::string &mirror, const std::string &sitepath);

// The start line of a request.
void http_set_start_line(HttpMessage &message, const char *method, const std::string &target,
                         const char *version);
void http_add_header(HttpMessage &message, const std::string &name, const std::string &value);
// Sorts the table by name, keeping the order of equal names.
void http_sort_headers(HttpMessage &message);
// Replaces the value of the named header of a sorted table, or adds it
// and sorts the table again.
void http_set_header(HttpMessage &message, const char *name, const std::string &value);
// The named header of a sorted table, or the end.
std::vector<HttpHeader>::iterator http_search_header(HttpMessage &message, const char *name);
// The value of the named header of a sorted table, or null.
const char *http_find_header(HttpMessage &message, const char *name);
int http_send_message(HttpClient &client, const HttpMessage &message);
// Sends requests in one write, so that a server finds them together.
// Requests behind others whose replies are still to come (`pending`) go
// out on a connection that is not quiet, and when they cannot, quietly
// leave the connection to those replies; others only on a quiet one.
int http_send_messages(HttpClient &client, std::span<const HttpMessage> messages, bool pending);
// Reads the status line. A status that refuses the file is reported and
// the connection closed (-1); for 429 and 503 the header block is read
// first, so that the reply's Retry-After can be heeded.
int http_read_status(HttpClient &client, HttpMessage &reply);
// The seconds a 429 or 503 reply asks the client to wait (Retry-After as
// delta-seconds or an HTTP date, counted from `now`), or -1 when the reply
// asks for nothing or says it in no form understood.
int64_t http_retry_after(HttpMessage &reply, int32_t status, int64_t now);
// A header's value without the blanks around it; empty when absent.
std::string_view http_header_value(HttpMessage &message, const char *name);
// The seconds since 1970 of an HTTP date (IMF-fixdate); absent otherwise.
std::optional<int64_t> http_date(std::string_view text);
// A block without any header line (the blank line right after the status
// line) ends there only where `bare` says such a reply is expected (a
// proxy's answer to CONNECT); elsewhere the read runs on as it always did.
int http_read_headers(HttpClient &client, HttpMessage &reply, bool bare = false);
int http_read_body(HttpClient &client, HttpMessage &reply, HttpSink &sink);
// The body's length that the reply announces (Content-Length, not
// chunked), or -1.
int64_t http_announced_length(HttpMessage &reply);
// Whether the server keeps the connection after this reply: HTTP/1.1
// unless it says close, HTTP/1.0 only when it says keep-alive.
bool http_keeps_connection(HttpMessage &reply);
// Reads the body of a reply that is not kept and drops it (see kHttpSkipLimit).
void http_skip_body(HttpClient &client, HttpMessage &reply);
// 0 for an accepted status or a redirection; else http_refuse_reply.
int http_report_error(HttpClient &client);
// Reports the status as an error and closes the connection: -1.
int http_refuse_reply(HttpClient &client);
