// The host's own HTTP answers: small complete HTML pages for errors and refusals, and the
// response head of a static file. Pure text building; the web daemon sends what comes out.
#pragma once

#include <string>

namespace host {

// "Not Found" for 404 and so on; "Error" for a code we do not name.
const char *status_reason(int code);

std::string html_escape(const std::string &text);

// A whole answer: status line and headers (for protocol 100 and up), then the page, unless
// head_only (a HEAD request), which keeps the headers (with the page's Content-Length) only.
// extra_headers are complete lines with their CR LF.
std::string answer_page(int code, const std::string &message_html, int protocol, bool head_only,
                        const std::string &extra_headers = "");

// The head of a 200 answer carrying a file of length bytes; "" below protocol 100.
std::string file_head(const std::string &content_type, unsigned long long length, int protocol);

// The Content-Type for a file name, by its extension.
std::string content_type_for(const std::string &name);

}  // namespace host
