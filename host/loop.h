// The host's single event loop: every request, status call and timer runs on it, one at a time.
// Also the host clock (scaled by --time-scale) and the per-call resets every entry into a module
// starts with.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <functional>

namespace host {

asio::io_context &loop();

// --time-scale: the host clock runs this many times faster than the wall clock.
void set_time_scale(int scale);
int time_scale();

// Host time since start-up in 1/65536 s, scaled.
unsigned long clock_ticks();

// A wall-clock duration for a delay given in host seconds (sub-second precision).
std::chrono::steady_clock::duration host_seconds(double seconds);

// Runs fn after a delay in host seconds, on the loop.
void after(double host_secs, std::function<void()> fn);

// To be called before every call into a module (request hooks, status calls, timer routines):
// the data-file and message-block selection stacks start empty.
void begin_module_call();

// Called once the timers scheduled by the module initialisers have all run (for the ready line).
void on_initial_timers_done(std::function<void()> fn);
// Marks the start and end of module initialisation: timers scheduled in between count as initial.
void begin_initialisers();
void end_initialisers();

}  // namespace host
