// The web daemon: channels, HTTP requests, responses and status calls.
#pragma once

#include <string>

namespace host {

struct WebOptions {
    std::string bind = "127.0.0.1";
    int port = 8080;
    std::string trusted_proxy;  // empty: X-Forwarded-For is never used
    // Caps on open connections, in all and from one peer address (the trusted proxy is not
    // capped by address); over a cap the newest connection is closed at once.
    int max_connections = 10000;
    int max_per_address = 512;
};

// Opens the listening socket and starts accepting on the loop. Returns the port bound; a
// problem (address in use, bad address) is fatal.
int web_listen(const WebOptions &options);

// How long browsers may keep pictures, the style sheet and fonts of www/ without asking again
// (Cache-Control max-age); 0 makes them ask every time. One day unless hostd is told otherwise.
constexpr long kDefaultStaticMaxAge = 86400;
void set_static_max_age(long seconds);

// Stops accepting and closes every channel (at shutdown).
void web_stop();

}  // namespace host
