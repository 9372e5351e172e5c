// Opening the connection that requests for an origin go over: straight to
// it, to the HTTP proxy, or through the proxy's CONNECT tunnel, with TLS on
// top for https.
#pragma once

#include "transfer/http.h"
#include "transfer/url.h"

// How http_connect ended; both failures are reported.
enum class ConnectOutcome {
    kOpen,
    kFailed,   // another attempt may do better
    kRefused,  // no attempt can change it (a certificate that is not trusted): the file fails
};

// The request that asks the proxy for a tunnel to the origin, with the
// proxy's credentials when it asks for them.
HttpMessage http_tunnel_request(const Url &origin,
                                const std::optional<std::string> &proxy_authorization);

// Opens client.socket to where requests for `origin` go, unless it is already open there:
// straight to the origin, or to the proxy (plain http), or through the proxy's CONNECT tunnel
// (https); TLS on top for https.
ConnectOutcome http_connect(HttpClient &client, const Url &origin);
