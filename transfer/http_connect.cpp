// Connections of the HTTP client: a kept connection serves one origin, so
// a request for another one (a redirection elsewhere) closes it and opens
// a new one, to the origin itself or to the proxy.
#include "transfer/http_connect.h"

namespace {

bool same_origin(const Url &a, const Url &b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

}  // namespace

int http_connect(HttpClient &client, const Url &origin) {
    if (client.socket >= 0 && client.origin && same_origin(*client.origin, origin)) return 0;
    if (client.socket >= 0) connection_close(client.context, client.socket, true);
    client.origin.reset();
    received_clear(&client.received);
    const Url &peer = client.proxy ? *client.proxy : origin;
    if (connection_open(client.context, client.socket, peer.host.value_or("").c_str(),
                        static_cast<uint16_t>(peer.port)) < 0)
        return -1;
    client.origin = origin;
    return 0;
}
