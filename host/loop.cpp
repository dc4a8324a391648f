// The event loop, the scaled host clock and timers (_rtkick, _hrtval).
#include "host/loop.h"

#include <memory>
#include <vector>

#include "host/datafile.h"
#include "host/durability.h"
#include "host/messages.h"
#include "shell/host.h"

namespace host {
namespace {

int g_scale = 1;
const std::chrono::steady_clock::time_point g_start = std::chrono::steady_clock::now();
bool g_in_initialisers = false;
int g_initial_pending = 0;
bool g_initialisers_done = false;
std::vector<std::function<void()>> g_on_initial_done;

void maybe_initial_done() {
    if (!g_initialisers_done || g_initial_pending != 0) return;
    auto callbacks = std::move(g_on_initial_done);
    g_on_initial_done.clear();
    for (auto &fn : callbacks) fn();
}

}  // namespace

asio::io_context &loop() {
    static asio::io_context context(1);
    return context;
}

void set_time_scale(int scale) { g_scale = scale < 1 ? 1 : scale; }
int time_scale() { return g_scale; }

unsigned long clock_ticks() {
    auto elapsed = std::chrono::steady_clock::now() - g_start;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    // 1/65536 s per tick, whole seconds apart from the fraction so no product can overflow.
    unsigned long scale = static_cast<unsigned long>(g_scale);
    unsigned long secs = static_cast<unsigned long>(ns / 1000000000);
    unsigned long frac = static_cast<unsigned long>(ns % 1000000000);
    return secs * 65536ul * scale + frac * 65536ul * scale / 1000000000ul;
}

std::chrono::steady_clock::duration host_seconds(double seconds) {
    if (seconds < 0) seconds = 0;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds / g_scale));
}

void after(double host_secs, std::function<void()> fn) {
    auto timer = std::make_shared<asio::steady_timer>(loop(), host_seconds(host_secs));
    timer->async_wait([timer, fn = std::move(fn)](const asio::error_code &ec) {
        if (!ec) fn();
    });
}

void begin_module_call() {
    datafile_reset_selection();
    messages_reset_selection();
}

void begin_initialisers() { g_in_initialisers = true; }

void end_initialisers() {
    g_in_initialisers = false;
    g_initialisers_done = true;
    maybe_initial_done();
}

void on_initial_timers_done(std::function<void()> fn) {
    g_on_initial_done.push_back(std::move(fn));
    maybe_initial_done();
}

}  // namespace host

extern "C" unsigned long _hrtval(void) { return host::clock_ticks(); }

extern "C" void _rtkick(int seconds, void (*routine)(void)) {
    if (routine == nullptr) return;
    bool initial = host::g_in_initialisers;
    if (initial) ++host::g_initial_pending;
    host::after(seconds, [routine, initial] {
        host::begin_module_call();
        host::datafile_snapshot_begin();
        routine();
        host::datafile_snapshot_end();
        // Nobody waits for what a timer routine wrote, but it goes to the disk all the same.
        host::durability_after_call();
        if (initial) {
            --host::g_initial_pending;
            host::maybe_initial_done();
        }
    });
}
