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
// the way nginx keeps a log line one line; an empty value is "-". Appended to line.
void append_escaped(std::string &line, const std::string &text) {
    if (text.empty()) {
        line += '-';
        return;
    }
    static const char hex[] = "0123456789ABCDEF";
    const char *at = text.data(), *end = at + text.size();
    while (at < end) {
        const char *run = at;  // a stretch that goes in as it is
        while (at < end) {
            unsigned char ch = static_cast<unsigned char>(*at);
            if (ch < 0x20 || ch >= 0x7f || ch == '"' || ch == '\\') break;
            ++at;
        }
        line.append(run, static_cast<size_t>(at - run));
        if (at == end) break;
        unsigned char ch = static_cast<unsigned char>(*at++);
        const char escape[4] = {'\\', 'x', hex[ch >> 4], hex[ch & 15]};
        line.append(escape, 4);
    }
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
    std::string line;
    line.reserve(96 + e.address.size() + e.user.size() + e.request_line.size() + e.referer.size() +
                 e.user_agent.size());
    line += e.address.empty() ? "-" : e.address;
    line += " - ";
    append_escaped(line, e.user);
    line += " [";
    line += when;
    line += "] \"";
    if (!e.request_line.empty()) append_escaped(line, e.request_line);
    line += "\" ";
    line += std::to_string(e.status);
    line += ' ';
    line += std::to_string(e.body_bytes);
    line += " \"";
    append_escaped(line, e.referer);
    line += "\" \"";
    append_escaped(line, e.user_agent);
    line += '"';
    return line;
}

std::string address_text(const in_addr &address) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&address.s_addr);
    std::string text;
    text.reserve(15);
    for (int i = 0; i < 4; ++i) {
        unsigned value = bytes[i];
        if (i > 0) text += '.';
        if (value >= 100) text += static_cast<char>('0' + value / 100);
        if (value >= 10) text += static_cast<char>('0' + value / 10 % 10);
        text += static_cast<char>('0' + value % 10);
    }
    return text;
}

void log_access(const AccessEntry &e) {
    std::string line = access_line(e);
    line += '\n';
    access_file().write(line);
}

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
