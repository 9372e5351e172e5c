// The connection that requests for one origin go on.
#pragma once

#include "transfer/http.h"
#include "transfer/url.h"

// Opens client.socket to where requests for `origin` go, unless it is already open there
// (straight to the origin, or to the proxy). 0, or -1 after reporting.
// The origin's port (or the proxy's) is one a TCP connection can use.
int http_connect(HttpClient &client, const Url &origin);
