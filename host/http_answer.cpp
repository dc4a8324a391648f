// The host's own answers and the content types of the files it serves.
#include "host/http_answer.h"

#include <cctype>
#include <cstring>

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

std::string answer_page(int code, const std::string &message_html, int protocol, bool head_only,
                        const std::string &extra_headers) {
    std::string title = std::to_string(code) + " " + status_reason(code);
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                       "</title></head>\n<body><h1>" + title + "</h1>\n<p>" + message_html + "</p>\n</body></html>\n";
    if (protocol < 100) return head_only ? "" : page;
    std::string head = status_and_headers(code, protocol, "text/html; charset=utf-8", page.size(), extra_headers);
    return head_only ? head : head + page;
}

std::string file_head(const std::string &content_type, unsigned long long length, int protocol) {
    if (protocol < 100) return "";
    return status_and_headers(200, protocol, content_type, length, "");
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
