// trace.log, audit.log and the operator console; each line carries a time stamp.
#include "host/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

#include "shell/host.h"

namespace host {
namespace {

bool g_verbose = false;

std::string stamp() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &tm);
    return buf;
}

// Logs are opened per line: the operator may rotate them while the host runs, and a line is
// on disk before the call returns.
void append(const char *file, const std::string &line) {
    if (FILE *f = std::fopen(file, "a")) {
        std::string out = stamp() + line + "\n";
        std::fwrite(out.data(), 1, out.size(), f);
        std::fclose(f);
    }
}

}  // namespace

void set_verbose(bool on) { g_verbose = on; }
bool verbose() { return g_verbose; }

void trace_line(const std::string &text) {
    append("trace.log", text);
    if (g_verbose) std::fprintf(stderr, "trace: %s\n", text.c_str());
}

void audit_line(const std::string &summary, const std::string &detail) {
    append("audit.log", summary + "\t" + detail);
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
    std::string line = text ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    host::trace_line(line);
}
