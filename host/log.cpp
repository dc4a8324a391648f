// trace.log, audit.log and the operator console; each line carries a time stamp.
#include "host/log.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include <unistd.h>

#include "shell/host.h"

namespace host {
namespace {

bool g_verbose = false;

// Lines come many to a second: the stamp is made once a second.
const char *stamp() {
    static std::time_t made_for = -1;
    static char buf[32];
    std::time_t t = std::time(nullptr);
    if (t != made_for) {
        std::tm tm{};
        localtime_r(&t, &tm);
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &tm);
        made_for = t;
    }
    return buf;
}

void append_escaped_controls(std::string &out, const char *text, size_t length) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) {
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            const char escape[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
            out.append(escape, 4);
        }
    }
}

std::vector<LogFile *> &log_files() {
    static std::vector<LogFile *> files;
    return files;
}

std::vector<std::function<void()>> &reopen_hooks() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

LogFile &trace_file() {
    static LogFile file("trace.log");
    return file;
}

LogFile &audit_file() {
    static LogFile file("audit.log");
    return file;
}

// One trace line: the stamp, the text with its controls escaped, the line end, in one write.
void trace_text(const char *text, size_t length) {
    static std::string line;  // the loop's one thread writes trace lines
    line.clear();
    line += stamp();
    size_t start = line.size();
    append_escaped_controls(line, text, length);
    line += '\n';
    trace_file().write(line);
    if (g_verbose) std::fprintf(stderr, "trace: %.*s\n", static_cast<int>(line.size() - start - 1), line.c_str() + start);
}

}  // namespace

LogFile::LogFile(std::string path) : path_(std::move(path)) { log_files().push_back(this); }

LogFile::~LogFile() {
    close();
    auto &files = log_files();
    files.erase(std::remove(files.begin(), files.end(), this), files.end());
}

void LogFile::write(const std::string &text) {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    const char *at = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        at += n;
        left -= static_cast<size_t>(n);
    }
}

void LogFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void reopen_logs() {
    for (LogFile *file : log_files()) file->close();
    for (auto &hook : reopen_hooks()) hook();
}

void on_reopen_logs(std::function<void()> fn) { reopen_hooks().push_back(std::move(fn)); }

std::string escape_controls(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    append_escaped_controls(out, text.data(), text.size());
    return out;
}

void set_verbose(bool on) { g_verbose = on; }
bool verbose() { return g_verbose; }

void trace_line(const std::string &raw) { trace_text(raw.data(), raw.size()); }

void audit_line(const std::string &raw_summary, const std::string &raw_detail) {
    const std::string summary = escape_controls(raw_summary), detail = escape_controls(raw_detail);
    audit_file().write(std::string(stamp()) + summary + "\t" + detail + "\n");
    if (g_verbose) std::fprintf(stderr, "audit: %s\t%s\n", summary.c_str(), detail.c_str());
}

void console_line(const std::string &text) {
    if (g_verbose) std::fprintf(stderr, "console: %s\n", text.c_str());
}

void fatal(const std::string &text) {
    std::fprintf(stderr, "hostd: %s\n", text.c_str());
    // Nothing has been served yet, and nothing half-done needs finishing: leave at once, without
    // running the destructors of whatever start-up had opened so far.
    std::fflush(nullptr);
    _exit(1);
}

}  // namespace host

extern "C" void _shocst(const char *summary, const char *format, ...) {
    char detail[2048];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(detail, sizeof detail, format ? format : "", ap);
    va_end(ap);
    host::audit_line(summary ? summary : "", detail);
}

extern "C" void OutputDebugStringA(const char *text) {
    if (text == nullptr) text = "";
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    host::trace_text(text, length);
}
