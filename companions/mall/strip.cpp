// Tidying the card billing address and postal code a payer typed, in place, before the module
// stores them with the order and hands them to the card processor.
//
// Both: tabs and line ends count as blanks, other control characters are dropped, blanks at
// either end go and a run of blanks becomes one. What is left without a single letter or digit
// carries nothing usable and becomes empty, which the payment page refuses. The text never
// grows, so the rewrite fits the caller's field.
#include <cstring>
#include <type_traits>

#include "shell/companions.h"

#define MALL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kAddressLength = 29;
constexpr size_t kZipLength = 9;

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }
bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Rewrites text keeping what keep() allows (it may also change a character; -1 drops it), with
// blanks collapsed and the ends trimmed, cut to at most limit bytes. wide_is_letter: a byte of
// a multi-byte UTF-8 character counts as a letter in the "anything usable" test.
template <typename Keep>
void Tidy(char *text, size_t limit, bool wide_is_letter, Keep keep) {
    // Every byte written has been read first, so writing into the text being read is safe.
    size_t out = 0;
    bool pending_blank = false;
    for (const char *p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (IsBlank(c)) {
            pending_blank = out > 0;
            continue;
        }
        if (IsControl(c)) continue;
        int kept = keep(c);
        if (kept < 0) continue;
        if (pending_blank) text[out++] = ' ';
        pending_blank = false;
        text[out++] = static_cast<char>(kept);
    }
    if (out > limit) {
        out = limit;
        // Never leave half a UTF-8 character: back up to the start of the one that was cut.
        while (out > 0 && (static_cast<unsigned char>(text[out]) & 0xc0) == 0x80) --out;
        while (out > 0 && text[out - 1] == ' ') --out;
    }
    bool usable = false;
    for (size_t i = 0; i < out && !usable; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        usable = IsAsciiAlnum(c) || (wide_is_letter && c >= 0x80);
    }
    text[usable ? out : 0] = '\0';
}

}  // namespace

// The billing street address, at most 29 bytes; letters of any script are kept as typed.
MALL_EXPORT char *_Strip2Addr(char *address) {
    if (address == nullptr) return nullptr;
    Tidy(address, kAddressLength, true, [](unsigned char c) { return static_cast<int>(c); });
    return address;
}

// The billing postal code, at most 9 characters: letters (in capitals), digits, blanks and
// dashes, as postal codes are written ("SW1A 1AA", "12345-6789"); everything else is dropped.
MALL_EXPORT char *_Strip2Zip(char *zip) {
    if (zip == nullptr) return nullptr;
    Tidy(zip, kZipLength, false, [](unsigned char c) {
        if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 'A');
        if (IsAsciiAlnum(c) || c == '-') return static_cast<int>(c);
        return -1;
    });
    return zip;
}

static_assert(std::is_same_v<decltype(&_Strip2Addr), Strip2AddrFn>);
static_assert(std::is_same_v<decltype(&_Strip2Zip), Strip2ZipFn>);
