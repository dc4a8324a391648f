// The host's operator output: trace.log (debugger lines), audit.log (audit entries) and the
// console activity lines, each also copied to standard error with --verbose.
#pragma once

#include <string>

namespace host {

void set_verbose(bool on);
bool verbose();

void trace_line(const std::string &text);
void audit_line(const std::string &summary, const std::string &detail);
void console_line(const std::string &text);

// A start-up problem: one line on standard error, exit status 1.
[[noreturn]] void fatal(const std::string &text);

}  // namespace host
