// access.log in the root: one line per request in the combined format web servers write, so
// that the usual log analysers read it.
#pragma once

#include <netinet/in.h>

#include <ctime>
#include <string>

namespace host {

struct AccessEntry {
    std::string address;       // the shopper as the mall sees it (after a trusted proxy)
    std::string user;          // the user id of a Basic authorization header, or ""
    std::time_t when = 0;
    std::string request_line;  // as the browser sent it
    int status = 0;
    unsigned long long body_bytes = 0;
    std::string referer;       // "" when the header is absent
    std::string user_agent;
};

// The line for one request, without its line end:
// ADDRESS - USER [09/Dec/2026:17:40:47 +0000] "GET / HTTP/1.1" 200 512 "REFERER" "AGENT"
std::string access_line(const AccessEntry &e);

// Appends the line of one request to access.log, a log kept open like the others and opened
// anew after reopen_logs (SIGHUP).
void log_access(const AccessEntry &e);

// An IPv4 address in dotted decimal, the text inet_ntop gives, made without its formatting.
std::string address_text(const in_addr &address);

// The user id of "Authorization: Basic ..." ("" for anything else).
std::string basic_user(const std::string &authorization_value);

}  // namespace host
