// Option and message files (.mcv) and module definition files (.mdf): "KEY: TEXT" lines.
#pragma once

#include <map>
#include <string>

namespace host {

struct KeyedLine {
    std::string text;
    int line = 0;
};

struct KeyedFileRules {
    bool numeric_keys = false;    // .mcv: keys are entry numbers
    bool inline_comments = false; // .mdf: " # ..." after a value is a comment
};

// Reads a file of "KEY: TEXT" lines: '#' comment lines and blank lines are ignored, a line that
// ends with a backslash continues on the next one (the backslash becomes a line end), a key
// given twice is an error. On error returns false with "FILE:LINE: problem" in *error.
bool read_keyed_lines(const std::string &file, const KeyedFileRules &rules,
                      std::map<std::string, KeyedLine> *out, std::string *error);

// Empties the message-block selection stack (at the start of every call into a module).
void messages_reset_selection();

// Start-up is over: option errors found from now on become trace lines instead of fatal errors.
void messages_started();

}  // namespace host
