// Reading mall.cfg, the settings of the mall and card libraries. Header-only: each library is
// loaded on its own, so each carries its own copy of the reader.
//
// Lines are "name: value". Blank lines and lines whose first non-blank is '#' are ignored, and
// " #" (or a tab and '#') starts a comment after a value. A line that ends with a backslash
// goes on with the next one; the backslash becomes a line end. A name given twice is an error,
// except bad_card, which lists one card a line and may appear any number of times. An unknown
// name is an error too: a misspelt "accept_orders" must not go unnoticed.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "shell/config_lines.h"

constexpr char kMallConfigFile[] = "mall.cfg";

struct MallConfig {
    bool has_data_version = false;
    int16_t data_version = 0;
    int16_t max_card_years = 10;   // when the file does not say
    bool accept_orders = true;
    std::string option_text[11];
    std::vector<std::string> bad_cards;  // digits only
};

// The digits of a card number as typed: blanks and dashes between groups are dropped, any other
// character makes the number unreadable (false).
inline bool CardDigits(const char *text, std::string *digits) {
    digits->clear();
    if (text == nullptr) return false;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') digits->push_back(*p);
        else if (*p != ' ' && *p != '-') return false;
    }
    return true;
}

namespace mall_config_detail {

inline std::string Trim(const std::string &s) {
    size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

inline bool ReadNumber(const std::string &text, long low, long high, long *value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    for (char c : text)
        if (c == ' ' || c == '\t') return false;
    *value = v;
    return true;
}

inline bool SameText(const std::string &a, const char *b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if ((x >= 'a' && x <= 'z' ? x - 32 : x) != (y >= 'a' && y <= 'z' ? y - 32 : y)) return false;
    }
    return true;
}

// Applies one setting; false with the problem in *why.
inline bool Apply(const std::string &name, const std::string &value, MallConfig *config,
                  std::string *why) {
    long number = 0;
    if (name == "data_version") {
        if (!ReadNumber(value, INT16_MIN, INT16_MAX, &number)) {
            *why = "data_version is not a number: '" + value + "'";
            return false;
        }
        config->has_data_version = true;
        config->data_version = static_cast<int16_t>(number);
        return true;
    }
    if (name == "max_card_years") {
        // Expiry years are two digits, so more than 99 years ahead cannot be written.
        if (!ReadNumber(value, 0, 99, &number)) {
            *why = "max_card_years is not a number from 0 to 99: '" + value + "'";
            return false;
        }
        config->max_card_years = static_cast<int16_t>(number);
        return true;
    }
    if (name == "accept_orders") {
        if (SameText(value, "YES") || SameText(value, "Y")) config->accept_orders = true;
        else if (SameText(value, "NO") || SameText(value, "N")) config->accept_orders = false;
        else {
            *why = "accept_orders is not yes or no: '" + value + "'";
            return false;
        }
        return true;
    }
    if (name == "bad_card") {
        std::string digits;
        if (!CardDigits(value.c_str(), &digits) || digits.size() < 13 || digits.size() > 19) {
            *why = "bad_card is not a card number of 13 to 19 digits: '" + value + "'";
            return false;
        }
        config->bad_cards.push_back(digits);
        return true;
    }
    for (int i = 0; i < 11; ++i) {
        if (name == "option_text_" + std::to_string(i)) {
            config->option_text[i] = value;
            return true;
        }
    }
    *why = "unknown setting '" + name + "'";
    return false;
}

}  // namespace mall_config_detail

// Reads the file at path into *config. false with "FILE:LINE: problem" (or "FILE: cannot be
// read") in *error; *missing tells a file that is not there from one that is wrong.
inline bool ReadMallConfig(const char *path, MallConfig *config, std::string *error,
                           bool *missing = nullptr) {
    using namespace mall_config_detail;
    *config = MallConfig{};
    if (missing) *missing = false;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (missing) *missing = true;
        *error = std::string(path) + ": cannot be read";
        return false;
    }
    std::set<std::string> seen;
    std::string line;
    int number = 0, first = 0;
    while (NextConfigLine(in, &number, &line, &first)) {
        std::string where = std::string(path) + ":" + std::to_string(first) + ": ";
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            *error = where + "expected 'name: value', found '" + line + "'";
            return false;
        }
        std::string name = Trim(line.substr(0, colon));
        std::string value = line.substr(colon + 1);
        size_t comment = std::min(value.find(" #"), value.find("\t#"));
        if (!value.empty() && value[0] == '#') comment = 0;
        if (comment != std::string::npos) value.erase(comment);
        value = Trim(value);
        if (name != "bad_card" && !seen.insert(name).second) {
            *error = where + name + " given twice";
            return false;
        }
        std::string why;
        if (!Apply(name, value, config, &why)) {
            *error = where + why;
            return false;
        }
    }
    return true;
}
