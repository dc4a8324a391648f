// The web daemon: accepts connections into channels, reads each request whole, hands it to the
// header and request hooks, and gives the host's own answers (_byeweb, _endwebd, _hdrstg).
#include "host/web.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdarg>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "host/channels.h"
#include "host/http_answer.h"
#include "host/log.h"
#include "host/loop.h"
#include "host/modules.h"

namespace host {
namespace {

using namespace std::chrono_literals;

// A connection costs a socket and a few kilobytes, a channel is for a request being served:
// a connection takes a channel only once its request is read whole. The request line and the
// headers must arrive within kHeaderTime of the connection's start, however the bytes trickle
// in, and a body at kBodyRate bytes a second or faster. Real time: --time-scale speeds up the
// module's clock, not the host's patience with a shopper's connection.
constexpr auto kHeaderTime = 10s;
constexpr size_t kBodyRate = 4096;

struct Daemon {
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> retry;
    asio::ip::tcp::endpoint peer;  // the address of the connection being accepted
    bool accepting = false;
    bool stopped = false;
    bool have_proxy = false;
    in_addr proxy{};
    int max_connections = 0;
    int max_per_address = 0;
    // Open connections, in all and per peer address.
    int open = 0;
    std::unordered_map<uint32_t, int> per_address;
    // Connections over a cap, closed at once since the last console line about them.
    unsigned long turned_away = 0;
    std::chrono::steady_clock::time_point last_report;
    // Complete requests waiting for a channel, oldest first.
    std::deque<std::weak_ptr<Connection>> waiting;
};

// The loop first: the acceptor and timer below must go before it at exit.
[[maybe_unused]] asio::io_context &g_loop_first = loop();

Daemon g_web;
bool g_webd_started = false;

void start_accept();
void start_read(const std::shared_ptr<Connection> &k);
void serve_request(Channel &c);

const char *refusal_text(int code) {
    switch (code) {
        case 400: return "The request could not be understood.";
        case 408: return "The request did not arrive in time.";
        case 413: return "The request body is larger than this server accepts.";
        case 414: return "The request line is longer than this server accepts.";
        case 431: return "The request's header lines are longer than this server accepts.";
        case 501: return "This server does not support what the request asks for.";
        case 505: return "This server speaks HTTP/1.0 and HTTP/1.1.";
        default: return "The request was refused.";
    }
}

// A request refused before it had a channel: the answer goes out on the connection alone.
void refuse_request(Connection &k, int code) {
    disarm_timer(k);
    const HttpRequest &rq = k.reader.request;
    int protocol = rq.protocol != 0 ? rq.protocol : 100;
    answer_without_channel(k, code, answer_page(code, refusal_text(code), protocol, rq.method == "HEAD", ""));
}

void arm_read_deadline(Connection &k, std::chrono::steady_clock::duration after) {
    arm_timer(k, after, [](Connection &conn) {
        if (conn.channel != nullptr || conn.waiting || conn.answered) return;
        // Nothing at all came: a connection opened and forgotten needs no answer.
        if (conn.reader.started()) refuse_request(conn, 408);
        else close_now(conn);
    });
}

// The IPv4 address of a peer in network byte order, as the channel records keep it; an IPv6
// peer is counted under a digest of its address.
uint32_t peer_key(const asio::ip::tcp::endpoint &peer) {
    asio::ip::address a = peer.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped()) a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    if (a.is_v4()) return htonl(a.to_v4().to_uint());
    uint32_t key = 2166136261u;
    for (unsigned char byte : a.to_v6().to_bytes()) key = (key ^ byte) * 16777619u;
    return key;
}

// A complete request takes the lowest free channel, or waits for one.
void hand_over(const std::shared_ptr<Connection> &k) {
    Channel *c = free_channel();
    if (c == nullptr) {
        k->waiting = true;
        g_web.waiting.push_back(k);
        return;
    }
    k->waiting = false;
    attach_channel(*c, k);
    c->reader = std::move(k->reader);
    k->reader = RequestReader{};
    c->continue_sent = k->continue_sent;
    serve_request(*c);
}

// A channel has been freed: the oldest waiting requests take the free channels.
void serve_waiting() {
    while (!g_web.waiting.empty() && free_channel() != nullptr) {
        std::shared_ptr<Connection> k = g_web.waiting.front().lock();
        g_web.waiting.pop_front();
        if (k && k->waiting && k->state == Connection::State::open) hand_over(k);
    }
}

// Behind a trusted proxy, the shopper is the last address the proxy put in X-Forwarded-For.
void apply_forwarded_for(Channel &c) {
    if (!g_web.have_proxy || _tcpipinf[c.number].peer.s_addr != g_web.proxy.s_addr) return;
    const std::string *last = nullptr;
    for (const std::string &line : c.reader.request.header_lines)
        if (strncasecmp(line.c_str(), "X-Forwarded-For:", 16) == 0) last = &line;
    if (last == nullptr) return;
    std::string value = last->substr(16);
    size_t comma = value.rfind(',');
    if (comma != std::string::npos) value = value.substr(comma + 1);
    size_t b = value.find_first_not_of(" \t");
    size_t e = value.find_last_not_of(" \t");
    if (b == std::string::npos) return;
    value = value.substr(b, e - b + 1);
    in_addr addr{};
    if (inet_pton(AF_INET, value.c_str(), &addr) != 1) return;
    _tcpipinf[c.number].peer = addr;
    _tcpipinf[c.number].peer_port = 0;
}

// The request is complete: fill the web record, then every header line goes through the
// header parser and the URL through the request handler.
void serve_request(Channel &c) {
    disarm_timer(*c.conn);
    HttpRequest &rq = c.reader.request;
    c.phase = Channel::Phase::serving;
    c.url = rq.url;
    HostWebRecord &w = c.web;
    std::memset(w.method, 0, sizeof w.method);
    std::memcpy(w.method, rq.method.data(), std::min(rq.method.size(), sizeof w.method - 1));
    w.url = c.url.data();
    w.request = rq.raw.data();
    w.body = rq.raw.data() + rq.body_offset;
    w.protocol = rq.protocol;
    w.last_activity = static_cast<uint16_t>((_hrtval() >> 12) & 0xFFFF);
    w.bytes_sent = 0;
    w.file = nullptr;
    std::memset(w.file_name, 0, sizeof w.file_name);
    apply_forwarded_for(c);

    auto stopped = [&c] { return c.reset_requested || c.phase != Channel::Phase::serving; };
    for (std::string &line : rq.header_lines) {
        {
            CallScope scope(c);
            (_prshdrlin != nullptr ? _prshdrlin : host_header_parser)(line.data());
        }
        if (stopped()) break;
    }
    if (!stopped()) {
        CallScope scope(c);
        (_hdlwebreq != nullptr ? _hdlwebreq : host_request_handler)(c.url.data());
    }
    settle(c);
}

void take_request_bytes(const std::shared_ptr<Connection> &k, const char *data, size_t n) {
    RequestReader &reader = k->reader;
    switch (reader.feed(data, n)) {
        case ReadResult::refused:
            refuse_request(*k, reader.refusal);
            return;
        case ReadResult::need_more:
            if (reader.in_body() && !k->body_deadline_set) {
                // The headers are in: from now on the body, at the least rate.
                k->body_deadline_set = true;
                arm_read_deadline(*k, kHeaderTime + std::chrono::seconds(reader.body_length() / kBodyRate));
            }
            if (reader.request.expects_continue && reader.in_body() && !k->continue_sent) {
                k->continue_sent = true;
                k->queued += "HTTP/1.1 100 Continue\r\n\r\n";
                pump(*k);
            }
            return;
        case ReadResult::complete:
            disarm_timer(*k);
            hand_over(k);
            return;
    }
}

// One read runs on every connection for its whole life: it carries the request, notices the
// peer's end while the answer goes out, and afterwards drops whatever else the peer sends.
void on_read(const std::shared_ptr<Connection> &k, const asio::error_code &ec, size_t n) {
    k->reading = false;
    if (k->state == Connection::State::closed || ec == asio::error::operation_aborted) return;
    if (ec) {
        k->peer_eof = true;
        if (k->state == Connection::State::lingering) {
            close_now(*k);
            return;
        }
        Channel *c = k->channel;
        // A peer that ends its side after the request may still be reading the answer: let a
        // finishing answer drain (a write error or the send time-out ends it otherwise).
        if (c != nullptr && c->phase == Channel::Phase::finishing && ec == asio::error::eof) return;
        // The same for a refusal on its way out.
        if (c == nullptr && k->answered && ec == asio::error::eof) return;
        if (c != nullptr) peer_gone(*c);
        else close_now(*k);
        return;
    }
    if (k->state == Connection::State::open && k->channel == nullptr && !k->waiting && !k->answered)
        take_request_bytes(k, k->input.data(), n);
    start_read(k);
}

void start_read(const std::shared_ptr<Connection> &k) {
    if (k->reading || k->state == Connection::State::closed) return;
    k->reading = true;
    k->socket.async_read_some(asio::buffer(k->input),
                              [k](const asio::error_code &ec, size_t n) { on_read(k, ec, n); });
}

// Over a cap the newest connection is closed at once; the trace says so now and then.
void turn_away(asio::ip::tcp::socket &socket) {
    asio::error_code ec;
    socket.close(ec);
    ++g_web.turned_away;
    auto now = std::chrono::steady_clock::now();
    if (now - g_web.last_report >= 10s) {
        trace_line("web daemon: " + std::to_string(g_web.turned_away) +
                     " connection(s) closed at once: too many open (" + std::to_string(g_web.open) + ")" +
                     " or too many from one address");
        g_web.turned_away = 0;
        g_web.last_report = now;
    }
}

void open_connection(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint &peer) {
    uint32_t key = peer_key(peer);
    bool exempt = g_web.have_proxy && key == g_web.proxy.s_addr;
    auto counted = g_web.per_address.find(key);
    int from_address = counted == g_web.per_address.end() ? 0 : counted->second;
    if (g_web.open >= g_web.max_connections || (!exempt && from_address >= g_web.max_per_address)) {
        turn_away(socket);
        return;
    }
    // Reads and writes are tried at once and never block (pump), from the first read on.
    asio::error_code ec;
    socket.non_blocking(true, ec);
    auto k = std::make_shared<Connection>(std::move(socket));
    k->peer = peer;
    k->address_key = key;
    k->counted = true;
    ++g_web.open;
    ++g_web.per_address[key];
    arm_read_deadline(*k, kHeaderTime);
    start_read(k);
}

// Accepts all the time: a connection waits for nothing but its own request. When the system
// gives no descriptor, accepting pauses briefly rather than spin on the error.
void start_accept() {
    if (!g_web.acceptor || g_web.accepting || g_web.stopped) return;
    g_web.accepting = true;
    // The peer's address comes with the accepted socket, not from a later question.
    g_web.acceptor->async_accept(g_web.peer, [](const asio::error_code &ec, asio::ip::tcp::socket socket) {
        g_web.accepting = false;
        if (g_web.stopped || ec == asio::error::operation_aborted) return;
        if (ec) {
            trace_line("web daemon: accept failed: " + ec.message());
            g_web.retry->expires_after(250ms);
            g_web.retry->async_wait([](const asio::error_code &e) {
                if (!e) start_accept();
            });
            return;
        }
        open_connection(std::move(socket), g_web.peer);
        start_accept();
    });
}

std::string first_module_name() {
    HostModule *m = module_by_number(1);
    std::string name = m != nullptr ? std::string(m->description, strnlen(m->description, sizeof m->description)) : "";
    std::string realm;
    for (char ch : name)
        if (ch != '"' && ch != '\\' && static_cast<unsigned char>(ch) >= 0x20) realm += ch;
    return realm.empty() ? "hostd" : realm;
}

}  // namespace

void connection_released(const Connection &k) {
    --g_web.open;
    auto counted = g_web.per_address.find(k.address_key);
    if (counted != g_web.per_address.end() && --counted->second <= 0) g_web.per_address.erase(counted);
}

int web_listen(const WebOptions &options) {
    init_channels([] {
        if (!g_web.waiting.empty()) asio::post(loop(), [] { serve_waiting(); });
    });
    g_web.max_connections = options.max_connections;
    g_web.max_per_address = options.max_per_address;
    std::string where = options.bind + ":" + std::to_string(options.port);
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(options.bind, ec);
    if (ec) fatal("--bind " + options.bind + ": not an IP address");
    if (!options.trusted_proxy.empty()) {
        if (inet_pton(AF_INET, options.trusted_proxy.c_str(), &g_web.proxy) != 1)
            fatal("--trusted-proxy " + options.trusted_proxy + ": not an IPv4 address");
        g_web.have_proxy = true;
    }
    asio::ip::tcp::endpoint endpoint(address, static_cast<unsigned short>(options.port));
    g_web.acceptor = std::make_unique<asio::ip::tcp::acceptor>(loop());
    g_web.retry = std::make_unique<asio::steady_timer>(loop());
    g_web.acceptor->open(endpoint.protocol(), ec);
    if (!ec) g_web.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) g_web.acceptor->bind(endpoint, ec);
    if (!ec) g_web.acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) fatal("cannot listen on " + where + ": " + ec.message());
    g_web.stopped = false;
    start_accept();
    return g_web.acceptor->local_endpoint().port();
}

void web_stop() {
    g_web.stopped = true;
    g_web.waiting.clear();
    asio::error_code ec;
    if (g_web.acceptor) g_web.acceptor->close(ec);
    if (g_web.retry) g_web.retry->cancel();
    end_all_channels();
}

int host_header_parser(char *) { return 0; }

}  // namespace host

// ------------------------------------------------------------------------------------------
// The web daemon services of the host interface.

using host::Channel;

void (*_hdlwebreq)(char *url) = host::host_request_handler;
int (*_prshdrlin)(char *line) = host::host_header_parser;

// main starts the daemon; a module asking for it only confirms that it is there.
void _init__webd(void) { host::g_webd_started = true; }

HostBool _hdrstg(const char *line, const char *name, char **slot) {
    if (line == nullptr || name == nullptr || slot == nullptr) return 0;
    size_t n = std::strlen(name);
    if (n == 0 || strncasecmp(line, name, n) != 0) return 0;
    const char *p = line + n;
    if (name[n - 1] != ':') {
        // A name given without its colon still names the whole header, not a longer one.
        while (*p == ' ' || *p == '\t') ++p;
        if (*p != ':') return 0;
        ++p;
    }
    // The value lives as long as the request; outside a request there is no such life.
    Channel *c = host::current_channel();
    if (c == nullptr) return 0;
    while (*p == ' ' || *p == '\t') ++p;
    std::string value = p;
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    c->header_values.push_back(std::move(value));
    *slot = c->header_values.back().data();
    return 1;
}

void _endwebd(int) {
    Channel *c = host::current_channel();
    if (c == nullptr) return;
    if (c->web.file != nullptr) {
        std::fclose(c->web.file);
        c->web.file = nullptr;
    }
    if (c->phase == Channel::Phase::serving) c->phase = Channel::Phase::finishing;
}

void _byeweb(int answer, ...) {
    Channel *c = host::current_channel();
    if (c == nullptr || c->reset_requested || c->phase != Channel::Phase::serving) return;
    va_list args;
    va_start(args, answer);
    switch (answer) {
        case 53:
            host::queue_answer(*c, 401, "This page needs your user id and password.",
                               "WWW-Authenticate: Basic realm=\"" + host::first_module_name() + "\"\r\n");
            break;
        case 54: {
            const char *url = va_arg(args, const char *);
            std::string text = std::string("The method ") + host::html_escape(c->web.method) +
                               " is not implemented for " + host::html_escape(url != nullptr ? url : "") + ".";
            host::queue_answer(*c, 501, text);
            break;
        }
        case 56: {
            int seconds = va_arg(args, int);
            // An idle transfer: what is still queued will not be read; close without it.
            c->pending.clear();
            c->conn->queued.clear();
            c->phase = Channel::Phase::finishing;
            c->close_at_once = true;
            host::console_line("channel " + std::to_string(c->number) + ": transfer idle for " +
                               std::to_string(seconds) + " seconds, closed");
            break;
        }
        case 55:
        default:
            host::queue_answer(*c, 500, "The page could not be produced.");
            break;
    }
    va_end(args);
}
