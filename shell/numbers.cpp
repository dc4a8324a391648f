// Number and path texts without printf.
#include "shell/numbers.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr double kScales[] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};

// "%1.Nf" of a float exactly: a float has 24 bits of mantissa and 10^6 needs 20, so value
// times 10^decimals is exact in a double's 53, and rounding that to an integer the way printf
// rounds (to nearest, ties to even, in the default rounding mode) gives the decimals. False for
// what this does not cover (not finite, or too large for the integer), which printf then writes.
bool Scaled(float value, int decimals, char *text, size_t size) {
    double scaled = static_cast<double>(value) * kScales[decimals];
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.0e15) return false;
    uint64_t units = static_cast<uint64_t>(std::nearbyint(std::fabs(scaled)));
    char digits[32];
    char *end = digits + sizeof digits;
    char *at = end;
    for (int i = 0; i <= decimals || units != 0; ++i) {
        if (i == decimals && decimals > 0) *--at = '.';
        *--at = static_cast<char>('0' + units % 10);
        units /= 10;
    }
    if (std::signbit(value)) *--at = '-';
    size_t length = static_cast<size_t>(end - at);
    if (length >= size) length = size - 1;
    std::memcpy(text, at, length);
    text[length] = '\0';
    return true;
}

}  // namespace

const char *DecimalText(int64_t value, char *text, size_t size) {
    char *end = text + size - 1;
    *end = '\0';
    char *at = end;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--at = '-';
    return at;
}

void FixedText(float value, int decimals, char *text, size_t size) {
    if (size == 0) return;
    if (decimals < 0) decimals = 0;
    if (decimals > 6) decimals = 6;
    if (!Scaled(value, decimals, text, size))
        std::snprintf(text, size, "%1.*f", decimals, static_cast<double>(value));
}

bool JoinTexts(char *out, size_t size, std::initializer_list<const char *> parts) {
    if (size == 0) return false;
    size_t used = 0;
    bool fits = true;
    for (const char *part : parts) {
        size_t length = std::strlen(part);
        if (used + length >= size) {
            length = size - 1 - used;
            fits = false;
        }
        std::memcpy(out + used, part, length);
        used += length;
        if (!fits) break;
    }
    out[used] = '\0';
    return fits;
}

const char *DottedQuad(in_addr address, char *text) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&address.s_addr);
    char *at = text;
    for (int i = 0; i < 4; ++i) {
        unsigned value = bytes[i];
        if (value >= 100) *at++ = static_cast<char>('0' + value / 100);
        if (value >= 10) *at++ = static_cast<char>('0' + value / 10 % 10);
        *at++ = static_cast<char>('0' + value % 10);
        *at++ = i < 3 ? '.' : '\0';
    }
    return text;
}
