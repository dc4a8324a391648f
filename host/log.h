// The host's operator output: trace.log (debugger lines), audit.log (audit entries) and the
// console activity lines, each also copied to standard error with --verbose.
#pragma once

#include <functional>
#include <string>

namespace host {

void set_verbose(bool on);
bool verbose();

// Each trace line and audit entry is one line of its file, whatever text a request brought:
// control characters are written escaped ("\r", "\n", "\t", "\x01"), every other byte as it is.
std::string escape_controls(const std::string &text);

void trace_line(const std::string &text);
void audit_line(const std::string &summary, const std::string &detail);
void console_line(const std::string &text);

// A log file of the root, kept open for appending: each line is one write, on disk (in the
// page cache) when the call returns. It is opened at its first line, so a log nothing is
// written to is never created, and again at the next line after reopen_logs.
class LogFile {
public:
    explicit LogFile(std::string path);
    ~LogFile();
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    // Appends text as it is (the caller ends the line).
    void write(const std::string &text);
    // Closes the file; the next write opens the path again.
    void close();

private:
    std::string path_;
    int fd_ = -1;
};

// Closes every log file, so that the next line of each opens its path again: after logrotate
// has moved the files away (hostd calls it on SIGHUP), or after the working directory changed.
// Runs every hook given to on_reopen_logs too.
void reopen_logs();
// fn runs at every reopen_logs, for a log kept elsewhere.
void on_reopen_logs(std::function<void()> fn);

// A start-up problem: one line on standard error, exit status 1.
[[noreturn]] void fatal(const std::string &text);

}  // namespace host
