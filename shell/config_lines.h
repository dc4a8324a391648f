// The line reader of the root's "name: value" files (the message file, mall.cfg), shared by the
// host and the mall library so both read a file the same way: a trailing backslash joins the
// next line with a line end in its place, a CR before the line end is dropped, and blank lines
// and lines whose first non-blank character is '#' are skipped. What a line means is the
// caller's.
#pragma once

#include <istream>
#include <string>

// The next line of in that carries something: its text from its first non-blank character in
// *text, the number of the physical line it starts on in *first. *number counts the physical
// lines read so far (start it at 0). False at the end of the file.
inline bool NextConfigLine(std::istream &in, int *number, std::string *text, int *first) {
    std::string raw;
    while (std::getline(in, raw)) {
        ++*number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        *first = *number;
        while (!raw.empty() && raw.back() == '\\') {
            raw.back() = '\n';
            std::string more;
            if (!std::getline(in, more)) break;
            ++*number;
            if (!more.empty() && more.back() == '\r') more.pop_back();
            raw += more;
        }
        size_t start = raw.find_first_not_of(" \t");
        if (start == std::string::npos || raw[start] == '#') continue;
        *text = raw.substr(start);
        return true;
    }
    return false;
}
