// The HTTP/1.1 client: requests with a sorted header table, and replies read
// as status line, header block and a chunked, counted or open-ended body.
#pragma once

#include <cstdint>

#include "support/budget.h"
#include "support/connect.h"
#include "support/received.h"
#include "support/vector.h"
#include "transfer/url.h"

struct EngineContext;

struct HttpHeader {
    char *name;
    char *value;
};

struct HttpMessage {
    char *start_line;  // without its line end when built, with it when read
    Vector *headers;   // HttpHeader, owned; sorted whenever it is searched
};

struct HttpClient {
    Url *target;        // the information file's URL; get lends it a path
    Url *proxy;         // absent: connect to the target itself
    Connection socket;  // -1 when closed
    Received received;  // what came on `socket` beyond what was read
    int32_t status;     // code of the last status line
    char *head;         // status line or header block being read
    uint32_t head_capacity;
    char *line;  // chunk-size lines
    uint32_t line_size;
    TransferBudget budget;   // attempts of the current file; also expired waits of chunk lines
    EngineContext *context;  // not owned
};

// Receives the body, first what `ahead` holds, then from the socket:
// *length holds the bytes expected (-1: until the peer closes) and on
// return the bytes moved. 0 on success.
using HttpSink = int (*)(int socket, Received *ahead, int32_t *length, void *arguments);

constexpr uint32_t kHttpHeadStart = 256;
// A status line or header block beyond this is refused rather than grown:
// no mirror sends one, and a peer must not make us allocate without bound.
constexpr uint32_t kHttpHeadLimit = uint32_t{1} << 16;
// Statuses up to this one are accepted, redirections included.
constexpr int32_t kHttpStatusLimit = 305;

// Slot comparators of the header table (by name, strcmp order).
int message_header_compare(const void *a, const void *b);
int compare_key_with_header(const void *key, const void *slot);

HttpClient *http_client_new();
int http_client_free(HttpClient *client);
HttpMessage *http_message_new();
int http_message_free(HttpMessage *message);
int http_set_start_line(HttpMessage *message, const char *method, const char *target,
                        const char *version);
int http_add_header(HttpMessage *message, const char *name, const char *value);
int http_set_header(HttpMessage *message, const char *name, const char *value);
// The value of the named header of a sorted table, or null.
const char *http_find_header(const HttpMessage *message, const char *name);
int http_send_message(HttpClient *client, const HttpMessage *message);
int http_read_status(HttpClient *client, HttpMessage *reply);
int http_read_headers(HttpClient *client, HttpMessage *reply);
int http_read_body(HttpClient *client, HttpMessage *reply, HttpSink sink, void *arguments);
int http_report_error(HttpClient *client);
