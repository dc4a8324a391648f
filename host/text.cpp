// The host's text and date helpers. Returned texts live in static buffers that a later call of
// the same routine overwrites.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "shell/host.h"

extern "C" char *_stzcpy(char *dst, const char *src, int size) {
    if (dst == nullptr || size <= 0) return dst;
    if (src == nullptr) src = "";
    size_t n = strnlen(src, static_cast<size_t>(size - 1));
    std::memmove(dst, src, n);
    dst[n] = '\0';
    return dst;
}

extern "C" char *_stlcpy(char *dst, const char *src, int size) {
    if (dst == nullptr || size <= 0) return dst;
    if (src == nullptr) src = "";
    size_t n = strnlen(src, static_cast<size_t>(size - 1));
    std::memmove(dst, src, n);
    std::memset(dst + n, 0, static_cast<size_t>(size) - n);
    return dst;
}

extern "C" char *_stzcat(char *dst, const char *src, int size) {
    if (dst == nullptr || size <= 0) return dst;
    size_t have = strnlen(dst, static_cast<size_t>(size));
    if (have >= static_cast<size_t>(size)) {
        dst[size - 1] = '\0';
        return dst;
    }
    _stzcpy(dst + have, src, size - static_cast<int>(have));
    return dst;
}

namespace {

// ASCII letters in capitals, as toupper does in the C locale the host runs in, without a call
// per character (the template tables compare every token name this way).
inline unsigned char Upper(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 'a' && u <= 'z' ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

}  // namespace

extern "C" HostBool _sameas(const char *a, const char *b) {
    if (a == nullptr) a = "";
    if (b == nullptr) b = "";
    while (*a && *b) {
        if (Upper(*a) != Upper(*b)) return 0;
        ++a;
        ++b;
    }
    return *a == '\0' && *b == '\0';
}

extern "C" HostBool _sameto(const char *prefix, const char *text) {
    if (prefix == nullptr) prefix = "";
    if (text == nullptr) text = "";
    while (*prefix) {
        if (Upper(*prefix) != Upper(*text)) return 0;
        ++prefix;
        ++text;
    }
    return 1;
}

extern "C" char *_strrpl(char *text, char from, char to) {
    if (text == nullptr) return text;
    for (char *p = text; *p; ++p)
        if (*p == from) *p = to;
    return text;
}

extern "C" char *_depad(char *text) {
    if (text == nullptr) return text;
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
    return text;
}

extern "C" char *_spr(const char *format, ...) {
    // A few buffers in turn, so that one call's result survives the next two (callers often
    // format several values into one line).
    static char buffers[4][1024];
    static int next = 0;
    char *out = buffers[next];
    next = (next + 1) % 4;
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(out, sizeof buffers[0], format ? format : "", ap);
    va_end(ap);
    return out;
}

extern "C" char *_l2as(long value) {
    static char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%ld", value);
    return buffer;
}

extern "C" char *_itemidxd(const char *list, int index, const char *separators) {
    static char item[1024];
    item[0] = '\0';
    if (list == nullptr || index < 0) return item;
    if (separators == nullptr) separators = "";
    const char *p = list;
    for (int i = 0; i < index; ++i) {
        p = std::strpbrk(p, separators);
        if (p == nullptr || *separators == '\0') return item;
        ++p;
    }
    size_t n = std::strcspn(p, separators);
    if (n >= sizeof item) n = sizeof item - 1;
    std::memcpy(item, p, n);
    item[n] = '\0';
    return item;
}

// ---- dates: days since 1 January 1980, packed dates and times --------------------------------

namespace {

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
long days_from_civil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void civil_from_days(long z, int *y, unsigned *m, unsigned *d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long yy = static_cast<long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(yy + (*m <= 2));
}

const long kEpoch1980 = days_from_civil(1980, 1, 1);

std::tm local_now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace

extern "C" uint16_t _today(void) {
    std::tm tm = local_now();
    int year = tm.tm_year + 1900 - 1980;
    if (year < 0) year = 0;
    return static_cast<uint16_t>((year & 0x7f) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
}

extern "C" uint16_t _now(void) {
    std::tm tm = local_now();
    return static_cast<uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
}

extern "C" int _cofdat(uint16_t date) {
    int year = 1980 + (date >> 9);
    unsigned month = (date >> 5) & 0x0f;
    unsigned day = date & 0x1f;
    if (month < 1 || month > 12 || day < 1) return 0;
    return static_cast<int>(days_from_civil(year, month, day) - kEpoch1980);
}

extern "C" uint16_t _datofc(int count) {
    if (count < 0) count = 0;
    int y;
    unsigned m, d;
    civil_from_days(kEpoch1980 + count, &y, &m, &d);
    if (y > 1980 + 127) return static_cast<uint16_t>(127 << 9 | 12 << 5 | 31);
    return static_cast<uint16_t>((y - 1980) << 9 | m << 5 | d);
}

extern "C" char *_ncdate(uint16_t date) {
    static char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02u/%02u/%02u", (date >> 5) & 0x0fu, date & 0x1fu,
                  (1980u + (date >> 9)) % 100u);
    return buffer;
}

extern "C" char *_nctime(uint16_t time) {
    static char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u", (time >> 11) & 0x1fu, (time >> 5) & 0x3fu,
                  (time & 0x1fu) * 2u);
    return buffer;
}
