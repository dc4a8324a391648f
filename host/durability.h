// What a request writes reaches the disk before its answer leaves, without the request loop
// waiting for the disk: the data files commit into their logs at once, and a thread of its own
// syncs the logs written, many commits with one fdatasync, while the loop serves everybody else.
// Only the answers of the requests that wrote wait, each for the sync that covers its writes.
#pragma once

#include <cstdint>
#include <functional>

namespace host {

// Before the data files open: commits stop waiting for the disk and the sync thread starts.
void durability_start();
// At shutdown: every commit made durable, the thread gone.
void durability_stop();

// After a call into a module: 0 when the call left nothing to sync, else a ticket for the sync
// that covers what it wrote.
uint64_t durability_after_call();
bool durable(uint64_t ticket);
// Runs fn on the loop once the ticket's sync is done (at once when it is).
void when_durable(uint64_t ticket, std::function<void()> fn);

}  // namespace host
