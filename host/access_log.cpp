#include "host/access_log.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/log.h"

namespace host {
namespace {

LogFile &access_file() {
    static LogFile file("access.log");
    return file;
}

// Quotes and backslashes are escaped as \x22 and \x5C, bytes outside printable ASCII as \xHH,
// the way nginx keeps a log line one line; an empty value is "-".
std::string escaped(const std::string &text) {
    if (text.empty()) return "-";
    std::string out;
    for (unsigned char ch : text) {
        if (ch < 0x20 || ch >= 0x7f || ch == '"' || ch == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", ch);
            out += hex;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string access_line(const AccessEntry &e) {
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // Many lines share a second: its text is made once.
    static std::time_t made_for = -1;
    static char when[48];
    if (e.when != made_for) {
        std::tm tm{};
        localtime_r(&e.when, &tm);
        long offset = tm.tm_gmtoff / 60;
        char sign = offset < 0 ? '-' : '+';
        if (offset < 0) offset = -offset;
        std::snprintf(when, sizeof when, "%02d/%s/%04d:%02d:%02d:%02d %c%02ld%02ld", tm.tm_mday, kMonths[tm.tm_mon],
                      tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, sign, offset / 60, offset % 60);
        made_for = e.when;
    }
    std::string line = e.address.empty() ? "-" : e.address;
    line += " - " + escaped(e.user) + " [" + when + "] \"" + (e.request_line.empty() ? "" : escaped(e.request_line)) +
            "\" " + std::to_string(e.status) + " " + std::to_string(e.body_bytes) + " \"" + escaped(e.referer) +
            "\" \"" + escaped(e.user_agent) + "\"";
    return line;
}

void log_access(const AccessEntry &e) { access_file().write(access_line(e) + "\n"); }

std::string basic_user(const std::string &value) {
    size_t b = value.find_first_not_of(" \t");
    if (b == std::string::npos || strncasecmp(value.c_str() + b, "Basic ", 6) != 0) return "";
    std::string decoded;
    unsigned bits = 0;
    int count = 0;
    for (size_t i = b + 6; i < value.size(); ++i) {
        int v = base64_value(value[i]);
        if (v < 0) continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            decoded += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return decoded.substr(0, decoded.find(':'));
}

}  // namespace host
