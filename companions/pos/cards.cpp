// The card library: the checks a card number goes through before an order is taken (number,
// list of bad cards, card type) and an expiry check. Every check answers 0 when the card
// passes and 1 when it is refused.
//
// A number may be given with blanks or dashes between its groups; they are ignored. Any other
// character makes the number unreadable, and an unreadable number fails every check.
#include <ctime>
#include <string>
#include <type_traits>

#include "companions/mall/config.h"
#include "shell/companions.h"
#include "shell/host.h"

#define POS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr char kAuditSummary[] = "KVZPOS";

// The number's leading digits as a number, prefix_length digits of them.
int Prefix(const std::string &digits, size_t prefix_length) {
    if (digits.size() < prefix_length) return -1;
    int value = 0;
    for (size_t i = 0; i < prefix_length; ++i) value = value * 10 + (digits[i] - '0');
    return value;
}

bool InRange(const std::string &digits, size_t prefix_length, int low, int high) {
    int prefix = Prefix(digits, prefix_length);
    return prefix >= low && prefix <= high;
}

bool LuhnValid(const std::string &digits) {
    int sum = 0;
    bool twice = false;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        int d = *it - '0';
        if (twice) {
            d *= 2;
            if (d > 9) d -= 9;
        }
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

// Whether a number of this length and these leading digits is one of the type's cards.
bool FitsType(const std::string &d, int type) {
    size_t n = d.size();
    switch (type) {
    case kCardTypeVisa:
        return d[0] == '4' && (n == 13 || n == 16 || n == 19);
    case kCardTypeMasterCard:
        return n == 16 && (InRange(d, 2, 51, 55) || InRange(d, 4, 2221, 2720));
    case kCardTypeAmex:
        return n == 15 && (InRange(d, 2, 34, 34) || InRange(d, 2, 37, 37));
    case kCardTypeDiscover:
        return (n == 16 || n == 19) &&
               (InRange(d, 4, 6011, 6011) || InRange(d, 3, 644, 649) || InRange(d, 2, 65, 65));
    case kCardTypeJcb:
        return n >= 16 && n <= 19 && InRange(d, 4, 3528, 3589);
    default:
        // The mall takes no other cards: a type this library does not know is refused.
        return false;
    }
}

}  // namespace

// The card processor is always there: the checks run in this library.
POS_EXPORT int16_t _pos_avl(void) { return 1; }

// 13 to 19 digits whose check digit is right.
POS_EXPORT int16_t _card_num_check(const char *number) {
    std::string digits;
    if (!CardDigits(number, &digits)) return 1;
    if (digits.size() < 13 || digits.size() > 19) return 1;
    return LuhnValid(digits) ? 0 : 1;
}

// Refused when a bad_card line of mall.cfg lists the number. The list is read on every check,
// so a card the operator lists while the mall runs is refused from the next payment on. When
// mall.cfg cannot be read as a whole nobody can tell whether the card is listed, and the card
// is refused; no mall.cfg at all means no list. The list name and mode are accepted for the
// callers' sake; this library keeps one list.
POS_EXPORT int16_t _bad_card_check(const char *number, const char *list, int16_t mode) {
    std::string digits;
    if (!CardDigits(number, &digits) || digits.empty()) return 1;
    try {
        MallConfig config;
        std::string error;
        bool missing = false;
        if (!ReadMallConfig(kMallConfigFile, &config, &error, &missing)) {
            if (missing) return 0;
            _shocst(kAuditSummary, "Card refused: %s", error.c_str());
            return 1;
        }
        for (const std::string &bad : config.bad_cards)
            if (bad == digits) return 1;
        return 0;
    } catch (...) {
        return 1;
    }
}

// Refused unless the number's leading digits and length belong to the type: 1 Visa,
// 2 MasterCard, 4 American Express, 8 Discover, 256 JCB.
POS_EXPORT int16_t _card_type_check(const char *number, int16_t type) {
    std::string digits;
    if (!CardDigits(number, &digits) || digits.empty()) return 1;
    return FitsType(digits, type) ? 0 : 1;
}

// An expiry of "MMYY" or "MM/YY" (year 20YY) is good through the end of its month: refused
// when the month is not 1 to 12 or lies before the current month of the server's local time.
POS_EXPORT int16_t _check_expiration(const char *expiry) {
    if (expiry == nullptr) return 1;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    char mm[2], yy[2];
    if (std::char_traits<char>::length(expiry) == 4 && digit(expiry[0]) && digit(expiry[1]) &&
        digit(expiry[2]) && digit(expiry[3])) {
        mm[0] = expiry[0], mm[1] = expiry[1], yy[0] = expiry[2], yy[1] = expiry[3];
    } else if (std::char_traits<char>::length(expiry) == 5 && digit(expiry[0]) && digit(expiry[1]) &&
               expiry[2] == '/' && digit(expiry[3]) && digit(expiry[4])) {
        mm[0] = expiry[0], mm[1] = expiry[1], yy[0] = expiry[3], yy[1] = expiry[4];
    } else {
        return 1;
    }
    int month = (mm[0] - '0') * 10 + (mm[1] - '0');
    int year = 2000 + (yy[0] - '0') * 10 + (yy[1] - '0');
    if (month < 1 || month > 12) return 1;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    int this_year = local.tm_year + 1900, this_month = local.tm_mon + 1;
    if (year < this_year || (year == this_year && month < this_month)) return 1;
    return 0;
}

static_assert(std::is_same_v<decltype(&_pos_avl), PosAvlFn>);
static_assert(std::is_same_v<decltype(&_card_num_check), CardNumCheckFn>);
static_assert(std::is_same_v<decltype(&_bad_card_check), BadCardCheckFn>);
static_assert(std::is_same_v<decltype(&_card_type_check), CardTypeCheckFn>);
static_assert(std::is_same_v<decltype(&_check_expiration), CheckExpirationFn>);
