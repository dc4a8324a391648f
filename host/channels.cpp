// The channel table: per-channel records, output buffers, status calls and the ends of a
// channel, with the channel services of the host interface (_btuinj, _btuoba, _prf, ...).
//
// Everything runs on the one loop thread. A call into a module never ends the channel it runs
// on: whatever it asks for is noted and carried out by settle() once the call has returned, so
// the records a module reads stay valid for the whole call.
#include "host/channels.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/access_log.h"
#include "host/datafile.h"
#include "host/durability.h"
#include "host/http_answer.h"
#include "host/log.h"
#include "host/loop.h"
#include "host/modules.h"

namespace host {
namespace {

using namespace std::chrono_literals;

// A status call held for lack of progress waits at most this long.
constexpr auto kClockTick = 100ms;

// The loop first: what follows holds sockets and timers, which must go before it at exit.
[[maybe_unused]] asio::io_context &g_loop_first = loop();

Channel g_channels[HOST_CHANNELS];
bool g_initialised = false;
std::function<void()> g_on_freed;
Channel *g_current = nullptr;

// Records a module sees between calls, so that a stray access outside a call finds something.
HostUser g_no_user{};
char g_no_text[1] = {0};
HostWebRecord blank_record(char *empty) {
    HostWebRecord w{};
    w.url = empty;
    w.request = empty;
    w.body = empty;
    return w;
}
HostWebRecord g_no_web = blank_record(g_no_text);

std::vector<std::pair<Channel *, unsigned long>> g_held;
std::unique_ptr<asio::steady_timer> g_tick;
bool g_tick_armed = false;

// One entry per channel, and a blank one past them for _usrnum between calls.
HostTcpInfo g_tcpip[HOST_CHANNELS + 1];
char g_scratch[kScratchSize];

void reset_records(Channel &c) {
    c.phase = Channel::Phase::reading;
    c.close_at_once = false;
    c.reset_requested = false;
    c.stall_timer_armed = false;
    c.continue_sent = false;
    c.user = HostUser{};
    c.empty[0] = '\0';
    c.web = blank_record(c.empty);
    c.reader = RequestReader{};
    c.url = std::string();
    c.header_values.clear();
    c.pending = std::string();
    c.injected.clear();
    c.posted = false;
    c.output_deferred = false;
    c.held = false;
    c.no_progress = false;
}

bool spool_name(const char *name) {
    // Only the module's spool directory: a module may keep any file open for a request (a
    // download, say), and that file is not ours to delete.
    if (strncasecmp(name, "KVZSVTMP", 8) != 0 || (name[8] != '/' && name[8] != '\\')) return false;
    return std::strstr(name, "..") == nullptr && name[9] != '\0';
}

// The access log's line for the request the channel carried: its status from the host's own
// answer or from the status line sent, its body the bytes sent behind the response head.
void log_request(const Connection &k, const HttpRequest &rq, const in_addr &peer) {
    AccessEntry e;
    e.address = address_text(peer);
    e.user = basic_user(header_value(rq, "Authorization"));
    e.when = std::time(nullptr);
    e.request_line = rq.raw.substr(0, std::min(rq.raw.find_first_of("\r\n"), kRequestLineLimit));
    size_t head_end = k.head.find("\r\n\r\n");
    const bool has_head = k.head.compare(0, 5, "HTTP/") == 0 && head_end != std::string::npos;
    e.status = k.status;
    if (e.status == 0 && has_head) {
        size_t sp = k.head.find(' ');
        if (sp != std::string::npos) e.status = std::atoi(k.head.c_str() + sp + 1);
    }
    if (e.status == 0) e.status = 200;
    unsigned long long head_size = has_head ? head_end + 4 : 0;
    e.body_bytes = k.bytes_out > head_size ? k.bytes_out - head_size : 0;
    e.referer = header_value(rq, "Referer");
    e.user_agent = header_value(rq, "User-Agent");
    log_access(e);
}

// The end every channel comes to, however it ends: a file the module left open is closed,
// and a spool file left behind deleted; the slot is blank for the next connection.
void end_channel(Channel &c) {
    if (!c.conn) return;
    if (c.reader.started()) log_request(*c.conn, c.reader.request, g_tcpip[c.number].peer);
    if (c.web.file != nullptr) {
        std::fclose(c.web.file);
        c.web.file = nullptr;
        char name[sizeof c.web.file_name + 1] = {0};
        std::memcpy(name, c.web.file_name, sizeof c.web.file_name);
        if (spool_name(name)) ::unlink(name);
    }
    c.conn->channel = nullptr;
    c.conn.reset();
    ++c.generation;
    reset_records(c);
    g_tcpip[c.number] = HostTcpInfo{};
    if (g_on_freed) g_on_freed();
}




void tick();

void hold(Channel &c) {
    if (!c.held) {
        c.held = true;
        g_held.emplace_back(&c, c.generation);
    }
    if (g_tick_armed) return;
    if (!g_tick) g_tick = std::make_unique<asio::steady_timer>(loop());
    g_tick_armed = true;
    g_tick->expires_after(kClockTick);
    g_tick->async_wait([](const asio::error_code &ec) {
        g_tick_armed = false;
        if (!ec) tick();
    });
}

void call_status(Channel &c, int status);
void schedule(Channel &c, bool force);
void run_ready();

// Channels whose next status call is due, in the order they became due.
std::deque<std::pair<Channel *, unsigned long>> g_ready;
bool g_ready_posted = false;

void run_next_status(Channel &c) {
    if (!c.conn || c.phase != Channel::Phase::serving || c.injected.empty()) return;
    int status = c.injected.front();
    c.injected.pop_front();
    // The module sizes what it sends next by the room left: when the output waiting for the
    // flush has filled it, what the socket takes goes first.
    if (output_room(c) <= 0) flush_now(*c.conn);
    call_status(c, status);
    settle(c);
}

// A status call goes through the loop, never straight from _btuinj. One that would find no
// room, or follows a call that made no progress, waits for the output to move or the clock to
// tick, so a slow reader costs nothing while it waits.
void schedule(Channel &c, bool force) {
    if (c.posted || c.injected.empty() || !c.conn || c.phase != Channel::Phase::serving) return;
    if (!force && (c.no_progress || output_room(c) <= 0)) {
        hold(c);
        return;
    }
    c.posted = true;
    g_ready.emplace_back(&c, c.generation);
    if (g_ready_posted) return;
    g_ready_posted = true;
    asio::post(loop(), run_ready);
}

// The status calls due run one after another in one turn of the loop, those they make due
// included, up to a bound that leaves the other connections their turn. Without a look at the
// sockets between two calls, a page goes out in the turn that made it.
void run_ready() {
    constexpr int kCallsPerTurn = 64;
    g_ready_posted = false;
    for (int calls = 0; calls < kCallsPerTurn && !g_ready.empty(); ++calls) {
        auto [c, generation] = g_ready.front();
        g_ready.pop_front();
        if (c->generation != generation) continue;
        c->posted = false;
        run_next_status(*c);
    }
    if (!g_ready.empty() && !g_ready_posted) {
        g_ready_posted = true;
        asio::post(loop(), run_ready);
    }
}

void tick() {
    auto held = std::move(g_held);
    g_held.clear();
    for (auto [c, generation] : held) {
        if (c->generation != generation || !c->held) continue;
        c->held = false;
        c->no_progress = false;
        schedule(*c, true);
    }
}

void call_status(Channel &c, int status) {
    HostModule *module = module_by_number(c.user.module);
    if (module == nullptr || module->status == nullptr) return;
    CallScope scope(c);
    _status = status;
    _actdet = 1;
    module->status();
    c.no_progress = _actdet == 0;
}

// The socket took some output: a held status call may go on.
void output_moved(Channel &c) {
    c.no_progress = false;
    if (c.held) {
        c.held = false;
        schedule(c, false);
    }
    if (c.phase == Channel::Phase::finishing) {
        c.stall_timer_armed = true;
        arm_timer(*c.conn, kSendTimeout, [](Connection &k) {
            if (k.channel != nullptr) end_at_once(*k.channel);
        });
    }
}



Channel *live(Channel *c) { return c != nullptr && c->conn ? c : nullptr; }

// Output from a module is taken while its request is being served; after the answer is
// complete (or the channel is being reset) it goes nowhere.
Channel *output_channel() {
    Channel *c = current_channel();
    if (c == nullptr || c->reset_requested || c->phase != Channel::Phase::serving) return nullptr;
    return c;
}

}  // namespace



// ---- what a connection tells the channel table ----------------------------------------------

// All output is out: a request refused before it had a channel is logged and the connection
// closes; a finished answer ends its channel.
void connection_drained(Connection &k) {
    if (k.answered && k.channel == nullptr) {
        // A request refused before it had a channel is logged like any other.
        in_addr peer{};
        peer.s_addr = k.address_key;
        log_request(k, k.reader.request, peer);
        begin_linger(k);
        return;
    }
    Channel *c = k.channel;
    if (c != nullptr && c->phase == Channel::Phase::finishing && c->in_call == 0) end_gracefully(*c);
}

void connection_output_moved(Connection &k) {
    if (k.channel != nullptr) output_moved(*k.channel);
}

void connection_failed(Connection &k) {
    if (k.channel != nullptr) peer_gone(*k.channel);
    else close_now(k);
}

void init_channels(std::function<void()> on_channel_freed) {
    g_on_freed = std::move(on_channel_freed);
    if (g_initialised) return;
    g_initialised = true;
    for (int i = 0; i < HOST_CHANNELS; ++i) {
        g_channels[i].number = i;
        reset_records(g_channels[i]);
    }
}

Channel *free_channel() {
    for (Channel &c : g_channels)
        if (!c.conn) return &c;
    return nullptr;
}

Channel *channel_at(int number) {
    if (number < 0 || number >= HOST_CHANNELS) return nullptr;
    return live(&g_channels[number]);
}

Channel *current_channel() { return live(g_current); }

void attach_channel(Channel &c, std::shared_ptr<Connection> conn) {
    reset_records(c);
    c.conn = std::move(conn);
    c.conn->channel = &c;
    ++c.generation;
    g_tcpip[c.number] = HostTcpInfo{};
    const asio::ip::tcp::endpoint &peer = c.conn->peer;
    asio::ip::address a = peer.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped()) a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    if (a.is_v4()) g_tcpip[c.number].peer.s_addr = htonl(a.to_v4().to_uint());
    g_tcpip[c.number].peer_port = peer.port();
}

CallScope::CallScope(Channel &c)
    : channel_(c), saved_current_(g_current), saved_usrnum_(_usrnum), saved_usrptr_(_usrptr), saved_vdaptr_(_vdaptr) {
    ++c.in_call;
    g_current = &c;
    _usrnum = c.number;
    _usrptr = &c.user;
    _vdaptr = &c.web;
    begin_module_call();
    datafile_snapshot_begin();
}

CallScope::~CallScope() {
    datafile_snapshot_end();
    // What the call wrote is on the disk before any more of the channel's answer leaves.
    if (uint64_t ticket = durability_after_call(); ticket != 0 && channel_.conn) channel_.conn->durable_ticket = ticket;
    --channel_.in_call;
    g_current = saved_current_;
    if (saved_current_ != nullptr) {
        _usrnum = saved_usrnum_;
        _usrptr = saved_usrptr_;
        _vdaptr = saved_vdaptr_;
    } else {
        // Between calls a module finds harmless blank records rather than the last channel's,
        // and a channel number that names no channel: a call a timer routine makes with it
        // (a status call, clearing the output) cannot reach a channel still sending.
        _usrnum = HOST_CHANNELS;
        _usrptr = &g_no_user;
        _vdaptr = &g_no_web;
    }
}

void settle(Channel &c) {
    if (!c.conn || c.in_call > 0) return;
    if (c.reset_requested) {
        end_at_once(c);
        return;
    }
    // A channel no module owns has nothing more coming once its hooks have returned.
    if (c.phase == Channel::Phase::serving && c.user.module == 0) c.phase = Channel::Phase::finishing;
    if (c.phase == Channel::Phase::finishing) {
        c.user.flags |= HOST_USER_LEAVE_ALONE;
        if (c.close_at_once) {
            end_gracefully(c);
            return;
        }
        if (!c.stall_timer_armed) {
            c.stall_timer_armed = true;
            arm_timer(*c.conn, kSendTimeout, [](Connection &k) {
                if (k.channel != nullptr) end_at_once(*k.channel);
            });
        }
    }
    // A status call on its way adds to the output: what is queued (the status line and headers)
    // goes out with what it adds, in one write. Only once: after that call, output goes out.
    if (c.posted && c.phase == Channel::Phase::serving && !c.output_deferred) {
        c.output_deferred = true;
        return;
    }
    c.output_deferred = false;
    pump(*c.conn);
}

int output_room(const Channel &c) {
    int half = (_outbsz > 2 ? _outbsz : 2) / 2 - 1;
    if (!c.conn) return 0;
    const Connection &k = *c.conn;
    // What waits for the loop's flush at the end of its batch leaves with it: up to half a
    // buffer of it counts as handed to the socket already, so that a page's last status call
    // sees its output gone and the connection's end follows the page at once.
    long long waiting = static_cast<long long>(k.queued.size());
    if (k.flush_due) waiting = waiting > half ? waiting - half : 0;
    long long used = waiting + static_cast<long long>(k.sending.size() - k.sending_done);
    long long room = half - used;
    return room < -1000000 ? -1000000 : static_cast<int>(room);
}

void peer_gone(Channel &c) {
    if (!c.conn) return;
    if (c.phase == Channel::Phase::serving && c.user.module != 0 && !c.reset_requested) call_status(c, 1);
    end_at_once(c);
}

void end_gracefully(Channel &c) {
    std::shared_ptr<Connection> k = c.conn;
    if (!k) return;
    end_channel(c);
    begin_linger(*k);
}

void end_at_once(Channel &c) {
    std::shared_ptr<Connection> k = c.conn;
    if (!k) return;
    end_channel(c);
    close_now(*k);
}





void queue_answer(Channel &c, int code, const std::string &message_html, const std::string &extra_headers) {
    if (!c.conn) return;
    const HttpRequest &rq = c.reader.request;
    // A request refused before its line was understood gets a versioned answer all the same.
    int protocol = rq.protocol != 0 ? rq.protocol : 100;
    c.pending.clear();
    c.conn->queued.clear();
    c.conn->status = code;
    c.conn->queued += answer_page(code, message_html, protocol, rq.method == "HEAD", extra_headers);
    c.phase = Channel::Phase::finishing;
}

void end_all_channels() {
    for (Channel &c : g_channels) end_at_once(c);
    if (g_tick) g_tick->cancel();
}

}  // namespace host

// ------------------------------------------------------------------------------------------
// The channel services of the host interface.

using host::Channel;

int _usrnum = HOST_CHANNELS;  // no channel, outside a call
struct HostUser *_usrptr = &host::g_no_user;
int _status = 0;
struct HostTcpInfo *_tcpipinf = host::g_tcpip;
int _outbsz = host::kOutputBufferSize;
int _actdet = 0;
struct HostWebRecord *_vdaptr = &host::g_no_web;
char *_vdatmp = host::g_scratch;
int _vdasiz = host::kScratchSize;

void _btuinj(int channel, int status) {
    Channel *c = host::channel_at(channel);
    if (c == nullptr || c->phase != Channel::Phase::serving || c->reset_requested) return;
    // Status calls say "there is something to do": one pending call per value is enough, and a
    // module that injects twice per call cannot make the queue grow without end.
    if (std::find(c->injected.begin(), c->injected.end(), status) == c->injected.end()) c->injected.push_back(status);
    host::schedule(*c, false);
}

int _btuoba(int channel) {
    Channel *c = host::channel_at(channel);
    if (c == nullptr) return 0;
    int room = host::output_room(*c);
    return room < 0 ? 0 : room;
}

// The request is read whole before any hook sees it, and later input is dropped as it
// arrives: there is never unread input to discard.
void _btucli(int) {}

void _btuclo(int channel) {
    Channel *c = host::channel_at(channel);
    if (c != nullptr) c->conn->queued.clear();
}

void _rstchn(void) {
    Channel *c = host::current_channel();
    if (c == nullptr) return;
    c->reset_requested = true;
    c->user.flags |= HOST_USER_LEAVE_ALONE;
}

void _prf(const char *format, ...) {
    Channel *c = host::output_channel();
    if (c == nullptr || format == nullptr) return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        c->pending.append(small, static_cast<size_t>(n));
    } else if (n > 0) {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(big.data(), big.size(), format, copy);
        big.pop_back();
        c->pending += big;
    }
    va_end(copy);
}

void _powprf(void) {
    Channel *c = host::output_channel();
    if (c == nullptr || c->pending.empty()) return;
    c->conn->queued += c->pending;
    c->pending.clear();
}

int _hdlrspbdy(const char *data, int count) {
    Channel *c = host::output_channel();
    if (c == nullptr || data == nullptr || count <= 0) return 0;
    int room = host::output_room(*c);
    int take = count < room ? count : room;
    if (take <= 0) return 0;
    c->conn->queued.append(data, static_cast<size_t>(take));
    return take;
}

void _byendl(int) {
    Channel *c = host::current_channel();
    if (c == nullptr) return;
    c->user.module = 0;
    c->user.substate = 0;
}

void _shochl(const char *text, char letter, int colour) {
    Channel *c = host::current_channel();
    std::string line = c != nullptr ? "channel " + std::to_string(c->number) : std::string("host");
    line += std::string(" [") + (letter != '\0' ? letter : ' ') + "/" + std::to_string(colour) + "] ";
    line += text != nullptr ? text : "";
    host::console_line(line);
}
