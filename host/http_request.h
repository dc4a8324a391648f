// Reading one HTTP request from the bytes a connection delivers: request line, header lines and
// a Content-Length body, each within a limit. No I/O here; the web daemon feeds what it reads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace host {

// Limits of what one request may hold. Over them the request is refused with the code given.
constexpr size_t kRequestLineLimit = 4096;       // bytes of the request line: 414
constexpr size_t kHeaderBlockLimit = 16 * 1024;  // bytes of all header lines: 431
constexpr size_t kBodyLimit = 1024 * 1024;       // bytes of body: 413

struct HttpRequest {
    std::string method;
    std::string url;       // path and query ("/a/b?x=1"); an absolute form's scheme and host dropped
    int protocol = 0;      // 9 no version given, 100 HTTP/1.0, 101 HTTP/1.1 and later 1.x
    std::vector<std::string> header_lines;  // as sent, without their line ends
    std::string raw;       // the whole request as read: request line, headers, body
    size_t body_offset = 0;  // where the body starts in raw (raw.size() when there is none)
    bool expects_continue = false;  // "Expect: 100-continue" and a body still to come
};

// The value of the request's last header line of that name (ignoring letter case), blanks
// around it dropped; "" when there is none.
std::string header_value(const HttpRequest &rq, const char *name);

enum class ReadResult { need_more, complete, refused };

struct RequestReader {
    HttpRequest request;
    int refusal = 0;  // the status code to answer with when refused

    // Takes the next bytes of the connection. Bytes after a complete request are ignored: one
    // request per connection.
    ReadResult feed(const char *data, size_t size);

    bool started() const { return !request.raw.empty(); }
    // The headers are complete and a body is still being read.
    bool in_body() const { return stage_ == Stage::body; }
    // The body's length as the headers give it (0 before they are complete).
    size_t body_length() const { return body_length_; }

  private:
    enum class Stage { request_line, headers, body, done, refused };
    Stage stage_ = Stage::request_line;
    size_t scan_ = 0;         // where the next line starts in request.raw
    size_t searched_ = 0;     // how far request.raw has been searched for a line end
    size_t header_start_ = 0; // where the header block starts
    size_t body_length_ = 0;

    ReadResult refuse(int code);
    bool refused(int code);  // refuse, for the steps below: false
    bool request_line(const std::string &line);
    bool header_line(const std::string &line);
    bool headers_done();
};

}  // namespace host
