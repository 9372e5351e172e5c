// The one place where the HTTP client's connections are opened.
#include "transfer/http_connect.h"

#include <string>

#include "core/error.h"
#include "transfer/proxy_auth.h"

namespace {

uint16_t port_of(const Url &url) {
    return static_cast<uint16_t>(url.port);
}

// What a connection serves: one origin, straight, through the proxy or
// through its tunnel. Another origin (a redirection elsewhere) gets a new
// connection, also through the proxy.
std::string destination(const HttpClient &client, const Url &origin) {
    return origin.scheme + "://" + tls_peer_name(origin.host.value_or(""), port_of(origin)) +
           (client.proxy ? " via proxy" : "");
}

template <typename Result>
Result drop(HttpClient &client, Result result) {
    if (client.socket >= 0)
        received_close(client.context->io, client.socket, client.received, true);
    client.tls.reset();
    return result;
}

// Asks the proxy for a tunnel: any 2xx answer opens it; the tunnel starts
// right after the answer's header block.
int open_tunnel(HttpClient &client, const Url &origin) {
    HttpMessage reply;
    if (http_send_message(client, http_tunnel_request(origin, client.proxy_authorization)) < 0 ||
        http_read_status(client, reply) < 0)
        return -1;
    if (client.status < 200 || client.status > 299) {
        record_error_code(client.context->io, ERR_HTTP, client.status, "CONNECT");
        return drop(client, -1);
    }
    if (http_read_headers(client, reply, true) < 0) return -1;
    if (received_empty(client.received)) return 0;
    // TLS would never see these bytes: the proxy spoke out of turn.
    record_error_text(client.context->io, ERR_TLS,
                      "TLS with " + tls_peer_name(origin.host.value_or(""), port_of(origin)) +
                          " (the proxy sent data before the handshake)",
                      "CONNECT");
    return drop(client, -1);
}

ConnectOutcome start_tls(HttpClient &client, const Url &origin) {
    const std::string host = origin.host.value_or("");
    if (!client.trust) {
        client.trust = TlsContext::create(client.context->io, client.context->settings.ca_file,
                                          tls_peer_name(host, port_of(origin)));
        if (!client.trust) return drop(client, ConnectOutcome::kRefused);
    }
    TlsFailure failure = TlsFailure::kNone;
    client.tls = TlsSession::open(client.context->io, *client.trust, client.socket, host,
                                  port_of(origin), failure);
    if (failure != TlsFailure::kNone)
        return drop(client, failure == TlsFailure::kCertificate ? ConnectOutcome::kRefused
                                                                : ConnectOutcome::kFailed);
    client.received.stream = client.tls.get();
    return ConnectOutcome::kOpen;
}

}  // namespace

HttpMessage http_tunnel_request(const Url &origin,
                                const std::optional<std::string> &proxy_authorization) {
    const std::string authority = tls_peer_name(origin.host.value_or(""), port_of(origin));
    HttpMessage request;
    http_set_start_line(request, "CONNECT", authority, "HTTP/1.1");
    http_add_header(request, "Host", authority);
    if (proxy_authorization) http_add_header(request, kProxyAuthHeader, *proxy_authorization);
    http_sort_headers(request);
    return request;
}

ConnectOutcome http_connect(HttpClient &client, const Url &origin) {
    const std::string where = destination(client, origin);
    if (client.socket >= 0 && client.served == where) return ConnectOutcome::kOpen;
    // Ahead of the updater's word nothing new is opened.
    if (client.gate != nullptr && !client.gate->may_connect()) return ConnectOutcome::kFailed;
    drop(client, 0);
    client.served.clear();
    client.opened++;
    received_clear(&client.received);
    const Url &peer = client.proxy ? *client.proxy : origin;
    if (connection_open(client.context->io, client.socket, peer.host.value_or("").c_str(),
                        port_of(peer)) < 0)
        return ConnectOutcome::kFailed;
    if (origin.scheme == "https") {
        if (client.proxy && open_tunnel(client, origin) < 0) return ConnectOutcome::kFailed;
        if (const ConnectOutcome started = start_tls(client, origin);
            started != ConnectOutcome::kOpen)
            return started;
    }
    client.served = where;
    return ConnectOutcome::kOpen;
}
