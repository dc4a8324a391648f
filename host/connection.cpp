// A shopper's connection: its socket, the output queued for it and sent, its one timer, and the
// ways it closes. What the connection carries is the channel table's business; the connection
// tells it when output moved, ran out or could not be written (channels.cpp).
#include "host/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "host/durability.h"

namespace host {
namespace {

using namespace std::chrono_literals;

// Where flush_output stands: writing the answers, then ending the connections whose output ran
// out, whose sockets are closed last.
enum class FlushPhase { none, writing, ending };
FlushPhase g_flush_phase = FlushPhase::none;
std::vector<std::shared_ptr<Connection>> g_drained;  // output ran out while writing
std::vector<std::shared_ptr<Connection>> g_closing;  // closed during the flush

// After our end of the connection, how long we wait for the peer's end before closing.
constexpr auto kLingerTime = 3s;
// What of the response's start the access log may need: the status line and the headers.
constexpr size_t kHeadKept = 4096;

void refill_from_file(Connection &k) {
    if (k.file_fd < 0) return;
    size_t want = static_cast<size_t>(std::min<unsigned long long>(k.file_left, 64 * 1024));
    ssize_t n = 0;
    if (want > 0) {
        k.sending.resize(want);
        n = ::read(k.file_fd, k.sending.data(), want);
    }
    if (n <= 0) {
        // End of the file, or a file that shrank while being sent: the answer ends here.
        k.sending.clear();
        ::close(k.file_fd);
        k.file_fd = -1;
        k.file_left = 0;
        return;
    }
    k.sending.resize(static_cast<size_t>(n));
    k.file_left -= static_cast<unsigned long long>(n);
}

// A write has ended, n bytes taken: false when nothing more is to be written.
bool wrote(const std::shared_ptr<Connection> &k, const asio::error_code &ec, size_t n) {
    k->writing = false;
    if (k->state == Connection::State::closed) return false;
    if (k->state == Connection::State::lingering) {
        // The output was given up; the write that was in flight has ended, so our end can go.
        asio::error_code ignored;
        k->socket.shutdown(asio::socket_base::shutdown_send, ignored);
        if (ec || k->peer_eof) close_now(*k);
        return false;
    }
    if (ec) {
        connection_failed(*k);
        return false;
    }
    if (k->head.size() < kHeadKept && k->head.find("\r\n\r\n") == std::string::npos)
        k->head.append(k->sending, k->sending_done, std::min(n, kHeadKept - k->head.size()));
    k->bytes_out += n;
    k->sending_done += n;
    connection_output_moved(*k);
    return true;
}

void on_written(const std::shared_ptr<Connection> &k, const asio::error_code &ec, size_t n) {
    if (wrote(k, ec, n)) pump(*k);
}

}  // namespace

// The input buffer is small: every open connection has one, also an idle one, and a request
// arrives in as many reads as it takes.
Connection::Connection(asio::ip::tcp::socket s)
    : socket(std::move(s)), timer(socket.get_executor()), input(4 * 1024) {}

Connection::~Connection() {
    if (counted) connection_released(*this);
}

void answer_without_channel(Connection &k, int code, const std::string &page) {
    if (k.state != Connection::State::open) return;
    k.answered = true;
    k.status = code;
    k.queued = page;
    arm_timer(k, kSendTimeout, [](Connection &conn) { close_now(conn); });
    pump(k);
}

void begin_linger(Connection &k) {
    k.state = Connection::State::lingering;
    k.queued.clear();
    if (k.file_fd >= 0) {
        ::close(k.file_fd);
        k.file_fd = -1;
    }
    asio::error_code ec;
    if (!k.writing && !k.peer_eof) {
        // A peer that sent nothing more than its request has nothing unread here that could
        // turn our close into a reset: the connection closes at once, its answer still going
        // out before the end. Input left unread needs the wait for the peer's end below.
        char next;
        ssize_t unread = ::recv(k.socket.native_handle(), &next, 1, MSG_PEEK | MSG_DONTWAIT);
        if (unread == 0 || (unread < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            close_now(k);
            return;
        }
    }
    if (!k.writing) {
        k.socket.shutdown(asio::socket_base::shutdown_send, ec);
        // The peer has ended already: nothing of its input is left to cause a reset.
        if (k.peer_eof) {
            close_now(k);
            return;
        }
    }
    arm_timer(k, kLingerTime, [](Connection &conn) { close_now(conn); });
}

void close_now(Connection &k) {
    if (k.state == Connection::State::closed) return;
    k.state = Connection::State::closed;
    if (k.file_fd >= 0) {
        ::close(k.file_fd);
        k.file_fd = -1;
    }
    disarm_timer(k);
    k.queued.clear();
    if (g_flush_phase != FlushPhase::none) {
        g_closing.push_back(k.shared_from_this());  // closed together at the end of the flush
        return;
    }
    asio::error_code ec;
    k.socket.close(ec);
}

namespace {

// Connections with output to offer, in the order it was made; written by flush_output.
std::vector<std::shared_ptr<Connection>> g_flush;
bool g_flush_posted = false;

void write_out(Connection &k);

}  // namespace

void flush_output() {
    g_flush_posted = false;
    if (g_flush_phase != FlushPhase::none) return;  // already at work further up
    while (!g_flush.empty() || !g_drained.empty()) {
        g_flush_phase = FlushPhase::writing;
        while (!g_flush.empty()) {
            std::vector<std::shared_ptr<Connection>> due;
            due.swap(g_flush);
            for (const std::shared_ptr<Connection> &k : due) flush_now(*k);
        }
        g_flush_phase = FlushPhase::ending;
        std::vector<std::shared_ptr<Connection>> drained;
        drained.swap(g_drained);
        for (const std::shared_ptr<Connection> &k : drained) {
            k->drain_due = false;
            write_out(*k);  // anything made since goes now; else the end
        }
    }
    g_flush_phase = FlushPhase::none;
    std::vector<std::shared_ptr<Connection>> closing;
    closing.swap(g_closing);
    for (const std::shared_ptr<Connection> &k : closing) {
        asio::error_code ec;
        k->socket.close(ec);
    }
}

void flush_now(Connection &k) {
    if (!k.flush_due) return;  // written already (a connection may be listed twice)
    k.flush_due = false;
    write_out(k);
}

// The answers the loop makes while it has work ready go to their sockets together when it has
// run it (flush_output): the shopper whose answer leaves first is woken once for all of them
// instead of once per answer, which on a busy machine costs more than the writes themselves.
void pump(Connection &k) {
    std::shared_ptr<Connection> self = k.shared_from_this();
    if (k.durable_ticket != 0 && !durable(k.durable_ticket)) {
        if (!k.awaiting_disk) {
            k.awaiting_disk = true;
            when_durable(k.durable_ticket, [self] {
                self->awaiting_disk = false;
                pump(*self);
            });
        }
        return;
    }
    if (k.flush_due || k.state != Connection::State::open || k.writing) return;
    k.flush_due = true;
    g_flush.push_back(std::move(self));
    if (!g_flush_posted) {
        g_flush_posted = true;
        asio::post(k.socket.get_executor(), flush_output);
    }
}

namespace {

// Output goes to the socket as far as the socket takes it (it does not block); only what it
// does not take waits for the socket, with an asynchronous write.
void write_out(Connection &k) {
    std::shared_ptr<Connection> self = k.shared_from_this();
    while (k.state == Connection::State::open && !k.writing) {
        if (k.sending_done >= k.sending.size()) {
            k.sending.clear();
            k.sending_done = 0;
            k.sending.swap(k.queued);
        }
        if (k.sending.empty()) refill_from_file(k);
        if (k.sending.empty()) {
            if (g_flush_phase == FlushPhase::writing) {
                if (!k.drain_due) {
                    k.drain_due = true;
                    g_drained.push_back(std::move(self));
                }
                return;
            }
            connection_drained(k);
            return;
        }
        auto pending = asio::buffer(k.sending.data() + k.sending_done, k.sending.size() - k.sending_done);
        asio::error_code ec = asio::error::would_block;
        size_t n = 0;
        if (k.socket.non_blocking()) n = k.socket.write_some(pending, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            k.writing = true;
            k.socket.async_write_some(pending, [self](const asio::error_code &e, size_t m) { on_written(self, e, m); });
            return;
        }
        if (!wrote(self, ec, n)) return;
    }
}

}  // namespace

void arm_timer(Connection &k, std::chrono::steady_clock::duration after, std::function<void(Connection &)> fn) {
    unsigned seq = ++k.timer_seq;
    k.timer.expires_after(after);
    std::shared_ptr<Connection> self = k.shared_from_this();
    k.timer.async_wait([self, seq, fn = std::move(fn)](const asio::error_code &ec) {
        if (ec || seq != self->timer_seq || self->state == Connection::State::closed) return;
        fn(*self);
    });
}

void disarm_timer(Connection &k) {
    ++k.timer_seq;
    k.timer.cancel();
}

}  // namespace host
