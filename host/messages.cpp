// Option and message blocks (.mcv files), the module definition reader (_gmdnam), and the
// "KEY: TEXT" line format they share.
#include "host/messages.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "host/log.h"
#include "shell/config_lines.h"
#include "shell/host.h"

struct HostMessageBlock {
    std::string file;
    std::map<int, host::KeyedLine> entries;
    std::map<int, std::string> missing;  // texts handed out for absent messages, kept stable
};

namespace host {
namespace {

std::vector<HostMessageBlock *> g_selected;
bool g_started = false;

bool valid_key(const std::string &key, bool numeric) {
    if (key.empty()) return false;
    for (unsigned char c : key) {
        if (numeric ? !std::isdigit(c) : !(std::isalnum(c) || c == '_')) return false;
    }
    return !numeric || key.size() <= 9;
}

std::string trim_right(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

HostMessageBlock *selected() { return g_selected.empty() ? nullptr : g_selected.back(); }

// A bad option value is an operator's mistake: at start-up it stops the host with the place
// named; later (options are normally read only at start-up) it becomes a trace line.
void bad_option(const HostMessageBlock *block, int n, const char *what) {
    std::string where = block->file + ":" + std::to_string(block->entries.at(n).line);
    std::string text = where + ": option " + std::to_string(n) + " " + what + ": '" +
                       block->entries.at(n).text + "'";
    if (!g_started) fatal(text);
    trace_line(text);
}

const KeyedLine *find_option(int n) {
    HostMessageBlock *block = selected();
    if (block == nullptr) {
        trace_line("option " + std::to_string(n) + " asked for with no message block selected");
        return nullptr;
    }
    auto it = block->entries.find(n);
    if (it == block->entries.end()) {
        trace_line("option " + std::to_string(n) + " missing from " + block->file);
        return nullptr;
    }
    return &it->second;
}

}  // namespace

bool read_keyed_lines(const std::string &file, const KeyedFileRules &rules,
                      std::map<std::string, KeyedLine> *out, std::string *error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = file + ": cannot be read";
        return false;
    }
    std::string line;
    int number = 0, first = 0;
    while (NextConfigLine(in, &number, &line, &first)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            *error = file + ":" + std::to_string(first) + ": expected 'KEY: TEXT', found '" + line + "'";
            return false;
        }
        std::string key = trim_right(line.substr(0, colon));
        if (!valid_key(key, rules.numeric_keys)) {
            *error = file + ":" + std::to_string(first) + ": '" + key + "' is not " +
                     (rules.numeric_keys ? "an entry number" : "a setting name");
            return false;
        }
        // "012" is entry 12: the same number written another way is still given twice.
        if (rules.numeric_keys) key = std::to_string(std::atoi(key.c_str()));
        std::string text = line.substr(colon + 1);
        if (!text.empty() && text[0] == ' ') text.erase(0, 1);
        if (rules.inline_comments) {
            if (!text.empty() && text[0] == '#') text.clear();
            size_t hash = text.find(" #");
            size_t tab = text.find("\t#");
            size_t cut = std::min(hash, tab);
            if (cut != std::string::npos) text.erase(cut);
            text = trim_right(text);
            size_t lead = text.find_first_not_of(" \t");
            text = lead == std::string::npos ? "" : text.substr(lead);
        }
        if (out->count(key) != 0) {
            *error = file + ":" + std::to_string(first) + ": " + key + " given twice (first on line " +
                     std::to_string(out->at(key).line) + ")";
            return false;
        }
        (*out)[key] = KeyedLine{text, first};
    }
    return true;
}

void messages_reset_selection() { g_selected.clear(); }
void messages_started() { g_started = true; }

}  // namespace host

extern "C" HostMessageBlock *_opnmsg(const char *file) {
    std::map<std::string, host::KeyedLine> lines;
    std::string error;
    host::KeyedFileRules rules;
    rules.numeric_keys = true;
    if (!host::read_keyed_lines(file ? file : "", rules, &lines, &error)) host::fatal(error);
    auto *block = new HostMessageBlock;
    block->file = file;
    for (auto &[key, line] : lines) block->entries[std::atoi(key.c_str())] = line;
    return block;
}

extern "C" void _setmbk(HostMessageBlock *block) { host::g_selected.push_back(block); }

extern "C" void _rstmbk(void) {
    if (!host::g_selected.empty()) host::g_selected.pop_back();
}

extern "C" void _clsmsg(HostMessageBlock *block) {
    if (block == nullptr) return;
    std::erase(host::g_selected, block);
    delete block;
}

extern "C" char *_stgopt(int n) {
    const host::KeyedLine *option = host::find_option(n);
    std::string text = option ? option->text : "";
    char *copy = static_cast<char *>(_alcmem(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

extern "C" int _numopt(int n, int low, int high) {
    const host::KeyedLine *option = host::find_option(n);
    if (option == nullptr) return low;
    const char *text = option->text.c_str();
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (end == text || (end && *end != '\0') || errno == ERANGE) {
        host::bad_option(host::selected(), n, "is not a number");
        return low;
    }
    if (value < low) return low;
    if (value > high) return high;
    return static_cast<int>(value);
}

extern "C" HostBool _ynopt(int n) {
    const host::KeyedLine *option = host::find_option(n);
    if (option == nullptr) return 0;
    std::string text = host::trim_right(option->text);
    if (_sameas(text.c_str(), "YES") || _sameas(text.c_str(), "Y")) return 1;
    if (_sameas(text.c_str(), "NO") || _sameas(text.c_str(), "N")) return 0;
    host::bad_option(host::selected(), n, "is not YES or NO");
    return 0;
}

extern "C" char *_getMsgBlk(int n) {
    HostMessageBlock *block = host::selected();
    if (block == nullptr) {
        host::trace_line("message " + std::to_string(n) + " asked for with no message block selected");
        static char none[64];
        std::snprintf(none, sizeof none, "(message %d missing)", n);
        return none;
    }
    auto it = block->entries.find(n);
    if (it != block->entries.end()) return it->second.text.data();
    auto missing = block->missing.find(n);
    if (missing == block->missing.end()) {
        host::trace_line("message " + std::to_string(n) + " missing from " + block->file);
        missing = block->missing.emplace(n, "(message " + std::to_string(n) + " missing)").first;
    }
    return missing->second.data();
}

extern "C" char *_fndmsg(int n) {
    HostMessageBlock *block = host::selected();
    if (block == nullptr) return nullptr;
    auto it = block->entries.find(n);
    return it != block->entries.end() ? it->second.text.data() : nullptr;
}

extern "C" char *_gmdnam(const char *mdf_file) {
    static char name[256];
    std::map<std::string, host::KeyedLine> lines;
    std::string error;
    host::KeyedFileRules rules;
    rules.inline_comments = true;
    name[0] = '\0';
    if (!host::read_keyed_lines(mdf_file ? mdf_file : "", rules, &lines, &error)) {
        host::trace_line(error);
        return name;
    }
    auto it = lines.find("name");
    if (it != lines.end()) _stzcpy(name, it->second.text.c_str(), sizeof name);
    return name;
}
