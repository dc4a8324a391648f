// The web daemon: accepts connections into channels, reads each request whole, hands it to the
// header and request hooks, and gives the host's own answers (_byeweb, _endwebd, _hdrstg).
#include "host/web.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdarg>
#include <cstring>

#include "host/channels.h"
#include "host/http_answer.h"
#include "host/log.h"
#include "host/loop.h"
#include "host/modules.h"

namespace host {
namespace {

using namespace std::chrono_literals;

// A request must keep arriving: no more than this between two pieces of it, and all of it
// within the second limit. Real time: --time-scale speeds up the module's clock, not the host's
// patience with a shopper's connection.
constexpr auto kReadIdleTimeout = 10s;
constexpr auto kReadTotalTimeout = 60s;

struct Daemon {
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    std::unique_ptr<asio::steady_timer> retry;
    bool accepting = false;
    bool stopped = false;
    bool have_proxy = false;
    in_addr proxy{};
};

// The loop first: the acceptor and timer below must go before it at exit.
[[maybe_unused]] asio::io_context &g_loop_first = loop();

Daemon g_web;
bool g_webd_started = false;

void start_accept();
void start_read(const std::shared_ptr<Connection> &k);

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

void refuse_request(Channel &c, int code) {
    queue_answer(c, code, refusal_text(code));
    settle(c);
}

void arm_read_timer(Channel &c) {
    auto now = std::chrono::steady_clock::now();
    auto wait = c.read_deadline - now;
    if (wait > kReadIdleTimeout) wait = kReadIdleTimeout;
    if (wait < 0s) wait = 0s;
    arm_timer(*c.conn, wait, [](Connection &k) {
        Channel *ch = k.channel;
        if (ch == nullptr || ch->phase != Channel::Phase::reading) return;
        // Nothing at all came: a connection opened and forgotten needs no answer.
        if (ch->reader.started()) refuse_request(*ch, 408);
        else end_gracefully(*ch);
    });
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

void take_request_bytes(Channel &c, const char *data, size_t n) {
    switch (c.reader.feed(data, n)) {
        case ReadResult::refused:
            refuse_request(c, c.reader.refusal);
            return;
        case ReadResult::need_more:
            if (c.reader.request.expects_continue && c.reader.in_body() && !c.continue_sent) {
                c.continue_sent = true;
                c.conn->queued += "HTTP/1.1 100 Continue\r\n\r\n";
                pump(*c.conn);
            }
            arm_read_timer(c);
            return;
        case ReadResult::complete:
            serve_request(c);
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
        if (c != nullptr) peer_gone(*c);
        else close_now(*k);
        return;
    }
    Channel *c = k->channel;
    if (k->state == Connection::State::open && c != nullptr && c->phase == Channel::Phase::reading)
        take_request_bytes(*c, k->input.data(), n);
    start_read(k);
}

void start_read(const std::shared_ptr<Connection> &k) {
    if (k->reading || k->state == Connection::State::closed) return;
    k->reading = true;
    k->socket.async_read_some(asio::buffer(k->input),
                              [k](const asio::error_code &ec, size_t n) { on_read(k, ec, n); });
}

void open_channel(asio::ip::tcp::socket socket) {
    Channel *c = free_channel();
    if (c == nullptr) {
        asio::error_code ec;
        socket.close(ec);
        return;
    }
    auto k = std::make_shared<Connection>(std::move(socket));
    attach_channel(*c, k);
    c->read_deadline = std::chrono::steady_clock::now() + kReadTotalTimeout;
    arm_read_timer(*c);
    start_read(k);
}

// Accepts while a channel is free. With all channels taken, further connections wait in the
// listen backlog until a channel ends (end_channel calls back here).
void start_accept() {
    if (!g_web.acceptor || g_web.accepting || g_web.stopped || free_channel() == nullptr) return;
    g_web.accepting = true;
    g_web.acceptor->async_accept([](const asio::error_code &ec, asio::ip::tcp::socket socket) {
        g_web.accepting = false;
        if (g_web.stopped || ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, say: try again shortly rather than spin on the error.
            trace_line("web daemon: accept failed: " + ec.message());
            g_web.retry->expires_after(250ms);
            g_web.retry->async_wait([](const asio::error_code &e) {
                if (!e) start_accept();
            });
            return;
        }
        open_channel(std::move(socket));
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

int web_listen(const WebOptions &options) {
    init_channels([] { asio::post(loop(), [] { start_accept(); }); });
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
