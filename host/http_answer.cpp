// The host's own answers and the content types of the files it serves.
#include "host/http_answer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace host {
namespace {

// Answers always close the connection: the host carries one request per connection.
std::string status_and_headers(int code, int protocol, const std::string &type, unsigned long long length,
                               const std::string &extra) {
    std::string head = protocol >= 101 ? "HTTP/1.1 " : "HTTP/1.0 ";
    head += std::to_string(code) + " " + status_reason(code) + "\r\n";
    head += "Server: hostd\r\n";
    head += "Content-Type: " + type + "\r\n";
    head += "Content-Length: " + std::to_string(length) + "\r\n";
    head += extra;
    head += "Connection: close\r\n\r\n";
    return head;
}

}  // namespace

const char *status_reason(int code) {
    switch (code) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 408: return "Request Timeout";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return "Error";
    }
}

std::string html_escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string answer_body(int code, const std::string &message_html) {
    // The operator's own page for the code, when www/errors/ holds one.
    const std::string name = "www/errors/" + std::to_string(code) + ".html";
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        std::string page;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kAnswerFileLimit) {
            page.resize(static_cast<size_t>(st.st_size));
            size_t got = 0;
            while (got < page.size()) {
                ssize_t n = ::read(fd, page.data() + got, page.size() - got);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            page.resize(got);
        }
        ::close(fd);
        if (!page.empty()) return page;
    }
    std::string title = std::to_string(code) + " " + status_reason(code);
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           title + "</title>\n<link rel=\"stylesheet\" href=\"/shopvera.css\"></head>\n<body class=\"mall\">\n"
           "<main id=\"content\" class=\"host-answer\"><h1>" + title + "</h1>\n<p>" + message_html +
           "</p>\n<p class=\"page-links\"><a class=\"button\" href=\"/\">Back to the mall</a></p></main>\n"
           "</body></html>\n";
}

std::string answer_page(int code, const std::string &message_html, int protocol, bool head_only,
                        const std::string &extra_headers) {
    std::string page = answer_body(code, message_html);
    if (protocol < 100) return head_only ? "" : page;
    std::string head = status_and_headers(code, protocol, "text/html; charset=utf-8", page.size(), extra_headers);
    return head_only ? head : head + page;
}

std::string file_head(const std::string &content_type, unsigned long long length, int protocol,
                      const std::string &extra_headers) {
    if (protocol < 100) return "";
    return status_and_headers(200, protocol, content_type, length, extra_headers);
}

std::string not_modified_head(int protocol, const std::string &extra_headers) {
    if (protocol < 100) return "";
    std::string head = protocol >= 101 ? "HTTP/1.1 " : "HTTP/1.0 ";
    head += "304 Not Modified\r\nServer: hostd\r\n" + extra_headers + "Connection: close\r\n\r\n";
    return head;
}

std::string http_date(std::time_t when) {
    static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    gmtime_r(&when, &tm);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool parse_http_date(const std::string &text, std::time_t *when) {
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char day[4] = {0}, month[4] = {0}, zone[4] = {0};
    std::tm tm{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z]%n", day, &tm.tm_mday, month,
                    &tm.tm_year, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, zone, &consumed) != 8 ||
        std::strcmp(zone, "GMT") != 0)
        return false;
    tm.tm_mon = -1;
    for (int i = 0; i < 12; ++i)
        if (std::strcmp(month, kMonths[i]) == 0) tm.tm_mon = i;
    if (tm.tm_mon < 0 || tm.tm_year < 1970) return false;
    tm.tm_year -= 1900;
    *when = timegm(&tm);
    return true;
}

std::string content_type_for(const std::string &name) {
    static const struct {
        const char *ext;
        const char *type;
    } kTypes[] = {
        {"html", "text/html; charset=utf-8"}, {"htm", "text/html; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},   {"js", "text/javascript; charset=utf-8"},
        {"json", "application/json"},         {"txt", "text/plain; charset=utf-8"},
        {"xml", "application/xml"},           {"png", "image/png"},
        {"gif", "image/gif"},                 {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},               {"svg", "image/svg+xml"},
        {"ico", "image/x-icon"},              {"webp", "image/webp"},
        {"bmp", "image/bmp"},                 {"pdf", "application/pdf"},
        {"zip", "application/zip"},           {"woff", "font/woff"},
        {"woff2", "font/woff2"},              {"mp3", "audio/mpeg"},
        {"wav", "audio/wav"},                 {"mid", "audio/midi"},
        {"midi", "audio/midi"},               {"mp4", "video/mp4"},
    };
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "application/octet-stream";
    std::string ext = name.substr(dot + 1);
    for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto &t : kTypes)
        if (ext == t.ext) return t.type;
    return "application/octet-stream";
}

}  // namespace host
