// The request reader: splits the bytes of a connection into request line, header lines and
// body, refusing what is malformed or over a limit with the status code the shopper will see.
#include "host/http_request.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <strings.h>

namespace host {
namespace {

// The characters of a token (a method, a header name), by table.
struct TokenChars {
    bool in[256];
    constexpr TokenChars() : in() {
        for (int c = 0; c < 256; ++c)
            in[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        for (const char *p = "!#$%&'*+-.^_`|~"; *p != '\0'; ++p) in[static_cast<unsigned char>(*p)] = true;
    }
};
constexpr TokenChars kToken;

bool is_token(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!kToken.in[c]) return false;
    return true;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Words of the request line, separated by runs of blanks: the first four go to out, and the
// count says how many there were.
size_t words(std::string_view line, std::string_view (&out)[4]) {
    size_t count = 0, i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) {
            if (count < 4) out[count] = line.substr(start, i - start);
            ++count;
        }
    }
    return count;
}

// "HTTP/1.1" -> 101, "HTTP/1.0" -> 100, "HTTP/0.9" -> 9; 0 malformed, -1 a version we do not speak.
int protocol_number(std::string_view version) {
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || !std::isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !std::isdigit(static_cast<unsigned char>(version[7])))
        return 0;
    int major = version[5] - '0';
    int minor = version[7] - '0';
    if (major == 0 && minor == 9) return 9;
    if (major == 1) return minor == 0 ? 100 : 101;
    return -1;
}

}  // namespace

ReadResult RequestReader::refuse(int code) {
    refusal = code;
    stage_ = Stage::refused;
    return ReadResult::refused;
}

bool RequestReader::refused(int code) {
    refuse(code);
    return false;
}

ReadResult RequestReader::feed(const char *data, size_t size) {
    if (stage_ == Stage::done) return ReadResult::complete;
    if (stage_ == Stage::refused) return ReadResult::refused;
    std::string &raw = request.raw;
    raw.append(data, size);
    while (stage_ == Stage::request_line || stage_ == Stage::headers) {
        // Bytes already searched hold no line end: a line sent a byte at a time costs no more
        // than one sent whole.
        size_t nl = raw.find('\n', std::max(scan_, searched_));
        if (nl == std::string::npos) {
            searched_ = raw.size();
            // A flood of bytes without a line end is refused as soon as it passes a limit.
            if (stage_ == Stage::request_line && raw.size() - scan_ > kRequestLineLimit + 1) return refuse(414);
            if (stage_ == Stage::headers && raw.size() - header_start_ > kHeaderBlockLimit) return refuse(431);
            return ReadResult::need_more;
        }
        std::string line = raw.substr(scan_, nl - scan_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        scan_ = nl + 1;
        if (stage_ == Stage::request_line) {
            if (line.size() > kRequestLineLimit) return refuse(414);
            if (!request_line(line)) return ReadResult::refused;
        } else {
            if (scan_ - header_start_ > kHeaderBlockLimit) return refuse(431);
            if (!header_line(line)) return ReadResult::refused;
        }
    }
    // Bytes past the end of the request are dropped: one request per connection.
    size_t end = request.body_offset + body_length_;
    if (raw.size() < end) return ReadResult::need_more;
    raw.resize(end);
    stage_ = Stage::done;
    request.expects_continue = false;
    return ReadResult::complete;
}

bool RequestReader::request_line(const std::string &line) {
    // A blank line or two before a request line is tolerated, as old clients send them.
    if (line.empty()) return scan_ <= 4 || refused(400);
    std::string_view w[4];
    size_t count = words(line, w);
    if (count != 2 && count != 3) return refused(400);
    if (!is_token(w[0])) return refused(400);
    if (w[0].size() >= 16) return refused(501);  // longer than any method we know
    std::string_view url = w[1];
    for (unsigned char c : url)
        if (c < 0x21 || c == 0x7f) return refused(400);
    // An absolute form ("http://host/path") names this server; keep the path.
    if (url.size() > 7 && (url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0)) {
        size_t slash = url.find('/', url.find("//") + 2);
        url = slash == std::string_view::npos ? std::string_view("/") : url.substr(slash);
    }
    if (url[0] != '/' && url != "*") return refused(400);
    request.method = w[0];
    request.url = url;
    // No version: the oldest form of the protocol, a request line and nothing else.
    int protocol = count == 2 ? 9 : protocol_number(w[2]);
    if (protocol == 0) return refused(400);
    if (protocol < 0) return refused(505);
    request.protocol = protocol;
    if (protocol < 100) {
        request.body_offset = scan_;
        stage_ = Stage::done;
        return true;
    }
    header_start_ = scan_;
    stage_ = Stage::headers;
    return true;
}

bool RequestReader::header_line(const std::string &line) {
    if (line.empty()) return headers_done();
    // A folded continuation line is obsolete and ambiguous; refuse rather than guess.
    if (line[0] == ' ' || line[0] == '\t') return refused(400);
    size_t colon = line.find(':');
    if (colon == std::string::npos || !is_token(std::string_view(line).substr(0, colon))) return refused(400);
    request.header_lines.push_back(line);
    return true;
}

bool RequestReader::headers_done() {
    bool have_length = false;
    size_t length = 0;
    for (const std::string &line : request.header_lines) {
        size_t colon = line.find(':');
        std::string_view name = std::string_view(line).substr(0, colon);
        std::string_view value = trim(std::string_view(line).substr(colon + 1));
        if (same_name(name, "Content-Length")) {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return refused(400);
            // Anything of more digits than the limit has is over it; no overflow to worry about.
            size_t v = value.size() > 9 ? kBodyLimit + 1 : std::stoul(std::string(value));
            if (have_length && v != length) return refused(400);
            have_length = true;
            length = v;
        } else if (same_name(name, "Transfer-Encoding")) {
            return refused(501);  // chunked bodies are not read; never mistake one for a request
        } else if (same_name(name, "Expect")) {
            if (same_name(value, "100-continue")) request.expects_continue = true;
        }
    }
    if (length > kBodyLimit) return refused(413);
    request.body_offset = scan_;
    body_length_ = length;
    if (length == 0 || request.protocol < 101) request.expects_continue = false;
    stage_ = Stage::body;
    return true;
}

// The value of the last header line of the name, blanks around it dropped; "" when absent.
std::string header_value(const HttpRequest &rq, const char *name) {
    const size_t len = std::strlen(name);
    std::string value;
    for (const std::string &line : rq.header_lines) {
        if (line.size() > len && line[len] == ':' && strncasecmp(line.c_str(), name, len) == 0) {
            size_t b = line.find_first_not_of(" \t", len + 1);
            size_t e = line.find_last_not_of(" \t");
            value = b == std::string::npos ? "" : line.substr(b, e - b + 1);
        }
    }
    return value;
}

}  // namespace host
