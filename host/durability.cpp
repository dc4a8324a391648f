#include "host/durability.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/datafile/store.h"
#include "host/log.h"
#include "host/loop.h"

namespace host {
namespace {

// Shared with the sync thread, under g_mutex: the logs to sync, and the ticket the last of
// their commits was given.
std::mutex g_mutex;
std::condition_variable g_wake;
std::set<std::string> g_to_sync;
uint64_t g_requested = 0;
bool g_stopping = false;
std::thread g_thread;
bool g_started = false;

// The loop's own: the highest ticket whose sync is done, and who waits for a later one.
uint64_t g_synced = 0;
std::multimap<uint64_t, std::function<void()>> g_waiting;

// A test's stand-in for a slow disk: SHOPVERA_SYNC_DELAY_MS before each sync.
int sync_delay_ms() {
    const char *text = std::getenv("SHOPVERA_SYNC_DELAY_MS");
    return text != nullptr ? std::atoi(text) : 0;
}

void synced(uint64_t ticket) {
    if (ticket > g_synced) g_synced = ticket;
    while (!g_waiting.empty() && g_waiting.begin()->first <= g_synced) {
        std::function<void()> fn = std::move(g_waiting.begin()->second);
        g_waiting.erase(g_waiting.begin());
        fn();
    }
}

void sync_thread() {
    const int delay = sync_delay_ms();
    std::map<std::string, int> open_logs;
    std::unique_lock<std::mutex> lock(g_mutex);
    for (;;) {
        g_wake.wait(lock, [] { return g_stopping || !g_to_sync.empty(); });
        if (g_to_sync.empty()) break;  // stopping, with nothing left to sync
        std::set<std::string> logs;
        logs.swap(g_to_sync);
        const uint64_t ticket = g_requested;
        lock.unlock();
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        for (const std::string &log : logs) {
            auto [at, added] = open_logs.try_emplace(log, -1);
            if (added) at->second = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
            // A log that is not there holds nothing to sync: its commits were checkpointed
            // into the database file, which the checkpoint synced.
            if (at->second < 0) {
                open_logs.erase(at);
                continue;
            }
            if (::fdatasync(at->second) != 0) {
                std::string why = std::strerror(errno);
                asio::post(loop(), [log, why] { trace_line("durability: cannot sync " + log + ": " + why); });
            }
        }
        asio::post(loop(), [ticket] { synced(ticket); });
        lock.lock();
    }
    for (auto &[log, fd] : open_logs) ::close(fd);
}

}  // namespace

void durability_start() {
    if (g_started) return;
    datafile::store_defer_sync();
    g_started = true;
    g_thread = std::thread(sync_thread);
}

void durability_stop() {
    if (!g_started) return;
    durability_after_call();  // what the shutdown routines wrote
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stopping = true;
    }
    g_wake.notify_one();
    g_thread.join();
    g_started = false;
}

uint64_t durability_after_call() {
    if (!g_started) return 0;
    std::vector<std::string> logs = datafile::store_take_unsynced();
    if (logs.empty()) return 0;
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_to_sync.insert(logs.begin(), logs.end());
        ticket = ++g_requested;
    }
    g_wake.notify_one();
    return ticket;
}

bool durable(uint64_t ticket) { return ticket <= g_synced; }

void when_durable(uint64_t ticket, std::function<void()> fn) {
    if (durable(ticket)) fn();
    else g_waiting.emplace(ticket, std::move(fn));
}

}  // namespace host
