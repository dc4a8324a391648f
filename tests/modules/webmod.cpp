// A test module for the web daemon. It hooks the request handler and the header-line parser as
// the mall does (chaining to what it found), streams spool files from status calls by the
// mall's own sending algorithm, and serves small /test/... pages that show what it was given.
#include <arpa/inet.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shell/host.h"

namespace {

constexpr int16_t kSending = 3;  // substate: a spool file is being sent
constexpr int16_t kGate = 5;     // substate: waiting for the gate file
constexpr int16_t kHolding = 7;  // substate: owning the channel and never finishing

HostModule g_module = {};
int16_t g_number = 0;
void (*g_previous_request)(char *) = nullptr;
int (*g_previous_header)(char *) = nullptr;
unsigned long g_status_calls = 0;

// What the header parser saw for the request now on each channel.
struct Seen {
    std::vector<std::string> lines;
    std::string order;  // H per header line, R when the request handler ran
    char *authorization = nullptr;
    char *xtest = nullptr;
};
Seen g_seen[HOST_CHANNELS];
unsigned g_idle[HOST_CHANNELS];  // idle time-out of a transfer, sixteenths of a second; 0 none

// The value of name in the URL's query, undecoded; "" when absent.
std::string query(const char *url, const char *name) {
    const char *q = std::strchr(url, '?');
    std::string key = std::string(name) + "=";
    while (q != nullptr) {
        ++q;
        if (std::strncmp(q, key.c_str(), key.size()) == 0) {
            const char *v = q + key.size();
            return std::string(v, std::strcspn(v, "&"));
        }
        q = std::strchr(q, '&');
    }
    return "";
}

unsigned char pattern(size_t i) { return static_cast<unsigned char>((i * 131u + i / 4093u) & 0xFF); }

void status_line_and_type(const char *type) {
    if (_vdaptr->protocol >= 100) {
        _prf("HTTP/1.0 200 OK: \r\n");
        _prf("Content-Type: %s\r\n", type);
        _prf("\r\n");
    }
}

void delete_spool() {
    if (strncasecmp(_vdaptr->file_name, "KVZSVTMP", 8) == 0) unlink(_vdaptr->file_name);
}

// The page is written to a spool file first, then reopened and sent from status calls.
void big(const char *url) {
    long n = std::atol(query(url, "n").c_str());
    if (n < 0 || n > 64L * 1024 * 1024) n = 0;
    g_idle[_usrnum] = static_cast<unsigned>(std::atoi(query(url, "idle").c_str())) * 16;
    mkdir("KVZSVTMP", 0755);
    char name[] = "KVZSVTMP/SVWTXXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        _byeweb(55);
        return;
    }
    close(fd);
    _stzcpy(_vdaptr->file_name, name, sizeof _vdaptr->file_name);
    _vdaptr->file = std::fopen(name, "wb");
    std::vector<unsigned char> block(65536);
    for (long at = 0; at < n;) {
        size_t piece = static_cast<size_t>(n - at) < block.size() ? static_cast<size_t>(n - at) : block.size();
        for (size_t i = 0; i < piece; ++i) block[i] = pattern(static_cast<size_t>(at) + i);
        std::fwrite(block.data(), 1, piece, _vdaptr->file);
        at += static_cast<long>(piece);
    }
    std::fclose(_vdaptr->file);
    _vdaptr->file = std::fopen(name, "rb");
    if (_vdaptr->file == nullptr) {
        _byeweb(55);
        return;
    }
    status_line_and_type("application/octet-stream");
    _powprf();
    _usrptr->substate = kSending;
    _usrptr->module = g_number;
    _btuinj(_usrnum, 240);
    _shochl("Web test transfer", 'O', 31);
}

void send_piece() {
    unsigned now = static_cast<unsigned>((_hrtval() >> 12) & 0xFFFF);
    uint16_t elapsed = static_cast<uint16_t>(now - _vdaptr->last_activity);
    if (g_idle[_usrnum] != 0 && elapsed > g_idle[_usrnum]) {
        _btuclo(_usrnum);
        _byeweb(56, static_cast<int>(g_idle[_usrnum] / 16));
        delete_spool();
        return;
    }
    if (_usrptr->substate != kSending) return;
    _btucli(_usrnum);
    int room = _btuoba(_usrnum);
    if (room <= 0) {
        _actdet = 0;
        _btuinj(_usrnum, 240);
        return;
    }
    size_t want = static_cast<size_t>(room < _vdasiz ? room : _vdasiz);
    size_t got = std::fread(_vdatmp, 1, want, _vdaptr->file);
    if (got > 0) {
        _vdaptr->bytes_sent += _hdlrspbdy(_vdatmp, static_cast<int>(got));
        _vdaptr->last_activity = static_cast<uint16_t>(now);
        _btuinj(_usrnum, 240);
        return;
    }
    if (room == _outbsz / 2 - 1) {
        _endwebd(1);
        _byendl(0);
        delete_spool();
        return;
    }
    _actdet = 0;
    _btuinj(_usrnum, 240);
}

void status() {
    ++g_status_calls;
    if (_status == 1) {
        _rstchn();
        return;
    }
    if (_status != 240 || (_usrptr->flags & HOST_USER_LEAVE_ALONE) != 0) return;
    if (_usrptr->substate == kGate) {
        if (access("gate-open", F_OK) == 0) {
            _prf("released\n");
            _powprf();
            _endwebd(1);
            _byendl(0);
            return;
        }
        _actdet = 0;
        _btuinj(_usrnum, 240);
        return;
    }
    send_piece();
}

// Owns the channel with a spool-like file open and never finishes: only the peer's end (and
// the host's clean-up) ends it.
void leave_file() {
    mkdir("KVZSVTMP", 0755);
    char name[] = "KVZSVTMP/SVWTXXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        _byeweb(55);
        return;
    }
    _vdaptr->file = fdopen(fd, "wb");
    std::fputs("left behind\n", _vdaptr->file);
    std::fflush(_vdaptr->file);
    _stzcpy(_vdaptr->file_name, name, sizeof _vdaptr->file_name);
    status_line_and_type("text/plain");
    _prf("holding %s\n", name);
    _powprf();
    _usrptr->substate = kHolding;
    _usrptr->module = g_number;
}

void gate() {
    status_line_and_type("text/plain");
    _prf("channel=%d waiting\n", _usrnum);
    _powprf();
    _usrptr->substate = kGate;
    _usrptr->module = g_number;
    _btuinj(_usrnum, 240);
}

void headers() {
    const Seen &s = g_seen[_usrnum];
    status_line_and_type("text/plain");
    _prf("order=%s\n", s.order.c_str());
    for (const std::string &line : s.lines) _prf("line=%s\n", line.c_str());
    _prf("authorization=[%s]\n", s.authorization != nullptr ? s.authorization : "(none)");
    _prf("xtest=[%s]\n", s.xtest != nullptr ? s.xtest : "(none)");
    _powprf();
}

// The web record as the request left it; the body is changed in place to show it is writable.
void echo(char *url) {
    HostWebRecord *w = _vdaptr;
    for (char *p = w->body; *p != '\0'; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    for (char *p = url; *p != '\0'; ++p)
        if (*p == '+') *p = ' ';
    unsigned now = static_cast<unsigned>((_hrtval() >> 12) & 0xFFFF);
    status_line_and_type("text/plain");
    _prf("method=%s\n", w->method);
    _prf("url=%s\n", w->url);
    _prf("same_url=%d\n", w->url == url);
    _prf("protocol=%d\n", w->protocol);
    _prf("body=[%s]\n", w->body);
    _prf("body_in_request=%d\n", w->body >= w->request && w->body <= w->request + std::strlen(w->request));
    _prf("request_starts=%.*s\n", static_cast<int>(std::strcspn(w->request, "\r\n")), w->request);
    _prf("bytes_sent=%d file=%s file_name=[%s]\n", w->bytes_sent, w->file == nullptr ? "none" : "open", w->file_name);
    _prf("activity_age=%u\n", static_cast<unsigned>(static_cast<uint16_t>(now - w->last_activity)));
    _prf("channel=%d module=%d\n", _usrnum, _usrptr->module);
    _powprf();
}

void no_channel_calls() {
    // A timer call has no channel: none of these may reach one.
    _prf("stray");
    _powprf();
    _hdlrspbdy("stray", 5);
    _endwebd(1);
    _byendl(0);
    _byeweb(55);
    _rstchn();
    _btuinj(_usrnum, 240);
    _btuclo(_usrnum);
}

// Calls in odd orders and with odd values; the page is still "ok", and the host goes on.
void odd() {
    status_line_and_type("text/plain");
    _powprf();
    _powprf();
    _hdlrspbdy("ok\n", 3);
    _hdlrspbdy(nullptr, 4);
    _hdlrspbdy("x", -5);
    _btuinj(-1, 240);
    _btuinj(HOST_CHANNELS, 240);
    _btuclo(HOST_CHANNELS + 7);
    _btucli(-3);
    int room = _btuoba(-1) + _btuoba(9999);
    _endwebd(1);
    _endwebd(1);
    _hdlrspbdy("late\n", 5);  // after the end: goes nowhere
    _prf("late %d\n", room);
    _powprf();
    _byendl(0);
    _byendl(0);
    _btuinj(_usrnum, 240);
    _byeweb(55);  // the answer is complete already
    _rtkick(0, no_channel_calls);
}

void request(char *url) {
    Seen &s = g_seen[_usrnum];
    s.order += 'R';
    if (std::strncmp(url, "/test/", 6) != 0) {
        s = Seen{};
        if (g_previous_request != nullptr) g_previous_request(url);
        return;
    }
    const char *what = url + 6;
    auto is = [what](const char *name) {
        size_t n = std::strlen(name);
        return std::strncmp(what, name, n) == 0 && (what[n] == '\0' || what[n] == '?');
    };
    if (is("big")) big(url);
    else if (is("headers")) headers();
    else if (is("echo")) echo(url);
    else if (is("peer")) {
        status_line_and_type("text/plain");
        _prf("peer=%s\n", inet_ntoa(_tcpipinf[_usrnum].peer));
        _powprf();
    } else if (is("leave-file")) leave_file();
    else if (is("gate")) gate();
    else if (is("hello")) {
        status_line_and_type("text/plain");
        _prf("hello\n");
        _powprf();
    } else if (is("calls")) {
        status_line_and_type("text/plain");
        _prf("status_calls=%lu\n", g_status_calls);
        _powprf();
    } else if (is("odd")) odd();
    else if (is("bye53")) _byeweb(53);
    else if (is("bye54")) _byeweb(54, url, url);
    else if (is("bye55")) {
        // Whatever was queued before the host's answer is not part of it.
        status_line_and_type("text/html");
        _powprf();
        _byeweb(55);
    } else if (is("nothing")) {
    } else _byeweb(54, url, url);
    s = Seen{};
}

int header(char *line) {
    Seen &s = g_seen[_usrnum];
    s.lines.push_back(line);
    s.order += 'H';
    _hdrstg(line, "Authorization:", &s.authorization);
    _hdrstg(line, "x-test", &s.xtest);
    return g_previous_header != nullptr ? g_previous_header(line) : 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void _init__webmod(void) {
    _stzcpy(g_module.description, _gmdnam("webmod.mdf"), sizeof g_module.description);
    g_module.status = status;
    g_number = _register_module(&g_module);
    _init__webd();
    _init__webd();
    g_previous_request = _hdlwebreq;
    _hdlwebreq = request;
    g_previous_header = _prshdrlin;
    _prshdrlin = header;
}
