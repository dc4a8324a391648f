// The host's own HTTP answers: small complete HTML pages for errors and refusals, and the
// response head of a static file. Pure text building; the web daemon sends what comes out.
#pragma once

#include <ctime>
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

// The page of one of the host's answers: www/errors/CODE.html of the root when the operator
// keeps one there (at most kAnswerFileLimit bytes), else a small page with the message.
constexpr long kAnswerFileLimit = 64 * 1024;
std::string answer_body(int code, const std::string &message_html);

// The head of a 200 answer carrying a file of length bytes; "" below protocol 100.
// extra_headers are complete lines with their CR LF.
std::string file_head(const std::string &content_type, unsigned long long length, int protocol,
                      const std::string &extra_headers = "");

// The head of a 304 answer with its validator lines; "" below protocol 100.
std::string not_modified_head(int protocol, const std::string &extra_headers);

// "Tue, 08 Dec 2026 17:40:47 GMT", and back (the fixed form only: false for anything else).
std::string http_date(std::time_t when);
bool parse_http_date(const std::string &text, std::time_t *when);

// The Content-Type for a file name, by its extension.
std::string content_type_for(const std::string &name);

}  // namespace host
