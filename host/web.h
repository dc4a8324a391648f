// The web daemon: channels, HTTP requests, responses and status calls.
#pragma once

#include <string>

namespace host {

struct WebOptions {
    std::string bind = "127.0.0.1";
    int port = 8080;
    std::string trusted_proxy;  // empty: X-Forwarded-For is never used
};

// Opens the listening socket and starts accepting on the loop. Returns the port bound; a
// problem (address in use, bad address) is fatal.
int web_listen(const WebOptions &options);

// Stops accepting and closes every channel (at shutdown).
void web_stop();

}  // namespace host
