// Option and message files (.mcv) and module definition files (.mdf): "KEY: TEXT" lines.
#pragma once

#include <map>
#include <string>

namespace host {

struct KeyedLine {
    std::string text;
    int line = 0;
};

// Reads a file of "KEY: TEXT" lines: '#' comments and blank lines are ignored, a line that ends
// with a backslash continues on the next one (the backslash becomes a line end), a key given
// twice is an error. On error returns false with "FILE:LINE: problem" in *error.
bool read_keyed_lines(const std::string &file, std::map<std::string, KeyedLine> *out,
                      std::string *error);

// Empties the message-block selection stack (at the start of every call into a module).
void messages_reset_selection();

// Start-up is over: option errors found from now on become trace lines instead of fatal errors.
void messages_started();

}  // namespace host
