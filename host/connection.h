// A shopper's TCP connection: its socket, the output queued for it and sent, its one timer, and
// the ways it closes. A connection takes a channel (channels.h) once its request is read whole;
// it outlives the channel by the graceful close.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/http_request.h"

namespace host {

using namespace std::chrono_literals;

// A finishing answer whose peer takes nothing for this long is cut off.
constexpr auto kSendTimeout = 60s;

struct Channel;

struct Connection : std::enable_shared_from_this<Connection> {
    explicit Connection(asio::ip::tcp::socket s);
    ~Connection();

    asio::ip::tcp::socket socket;
    asio::ip::tcp::endpoint peer;  // as accepted
    // One timer for the phase the connection is in: the request's read time-out, the send
    // time-out of a finishing answer, the wait for the peer's end after our own.
    asio::steady_timer timer;
    unsigned timer_seq = 0;  // a wait whose number is no longer current is void

    Channel *channel = nullptr;  // null once the channel has ended
    enum class State { open, lingering, closed } state = State::open;
    bool peer_eof = false;  // the peer has sent its end

    std::vector<char> input;
    bool reading = false;

    // Output: queued has not been offered to the socket yet; sending is what the write in
    // flight offered, of which sending_done bytes are taken. Both count against the room.
    std::string queued;
    std::string sending;
    size_t sending_done = 0;
    bool writing = false;
    bool flush_due = false;  // in the list of connections whose output goes at the turn's end
    bool drain_due = false;  // its output ran out during a flush; the end follows the writes
    // What the request wrote must be on the disk before output leaves: the sync it waits for.
    uint64_t durable_ticket = 0;
    bool awaiting_disk = false;

    int file_fd = -1;  // a file the host itself sends (www/), read as the socket takes output
    unsigned long long file_left = 0;

    // For the access log: what the socket took, the start of it up to the end of the response
    // head, and the status of an answer the host gave itself (0: read it from the head).
    unsigned long long bytes_out = 0;
    std::string head;
    int status = 0;

    // A connection takes a channel only once its request is read whole: until then the request
    // is read here, within its deadline, and a complete request may wait for a free channel.
    RequestReader reader;
    bool continue_sent = false;
    bool body_deadline_set = false;
    bool waiting = false;   // read whole, waiting for a free channel
    bool answered = false;  // refused before it had a channel; closes once the answer is out
    // What the caps on open connections count: the connection's share until it is destroyed.
    uint32_t address_key = 0;
    bool counted = false;
};

// Called as a counted connection goes (its socket is closed by then).
void connection_released(const Connection &k);
// The host's own answer on a connection that has no channel: sent, then the connection ends.
void answer_without_channel(Connection &k, int code, const std::string &page);


// Our end: output given up, the socket shut for sending, closed once the peer ends too (at
// once when nothing unread could turn the close into a reset).
void begin_linger(Connection &k);
void close_now(Connection &k);
// Offers the queued output (then the file being sent) to the socket until it takes no more,
// at the next flush_output, together with every other answer made meanwhile.
void pump(Connection &k);
// Writes what pump has gathered (and what those writes make due in turn); run_loop calls it
// whenever the loop has run the work it had ready. The answers go out first, one after another,
// then what follows from their ends (logs, spool files), then the closes, so that a shopper's
// side busy reading one answer is not woken anew for each of the others.
void flush_output();
// Writes what pump has gathered for this connection now: before a module looks at how much of
// its output the socket has taken.
void flush_now(Connection &k);
// The connection's one timer: a new wait replaces the one before.
void arm_timer(Connection &k, std::chrono::steady_clock::duration after, std::function<void(Connection &)> fn);
void disarm_timer(Connection &k);

// What a connection tells the channel table (channels.cpp): all output is out; the socket took
// some output; a write failed, the peer is gone.
void connection_drained(Connection &k);
void connection_output_moved(Connection &k);
void connection_failed(Connection &k);

}  // namespace host
