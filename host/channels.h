// The channel table, for the web daemon's own files: per-channel records, output buffers,
// status calls, the context of a call into a module, and the ways a channel ends.
//
// A channel is one of HOST_CHANNELS slots a module sees by number. A connection is the TCP
// socket that occupies a slot; it outlives the slot by the graceful close, so the slot is free
// for the next shopper while the socket still waits for the peer's end.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/connection.h"
#include "host/http_request.h"
#include "shell/host.h"

namespace host {

struct Channel {
    int number = 0;
    std::shared_ptr<Connection> conn;  // null: the channel is free
    unsigned long generation = 0;      // counts occupants; posted work for an old one is void

    // reading: the request is arriving. serving: it has been handed to the hooks, and a module
    // may own the channel. finishing: the answer is complete; the channel ends once it drained.
    enum class Phase { reading, serving, finishing } phase = Phase::reading;
    bool close_at_once = false;    // finishing without waiting for the output (idle transfer)
    bool reset_requested = false;  // _rstchn: end without a graceful close
    bool stall_timer_armed = false;
    bool continue_sent = false;
    int in_call = 0;  // calls into a module on this channel now running

    HostUser user{};
    HostWebRecord web{};
    RequestReader reader;
    std::string url;                        // the URL the hooks get, writable
    std::deque<std::string> header_values;  // what _hdrstg stored, for the request's life
    char empty[1] = {0};                    // "" for the web record's texts while there is none
    std::string pending;                    // _prf text not yet moved by _powprf

    std::deque<int> injected;  // status values posted by _btuinj, not yet delivered
    bool posted = false;       // a status call is posted to the loop
    bool output_deferred = false;  // the output of the last call waits for the posted status call
    bool held = false;         // waiting for output to move or the next clock tick
    bool no_progress = false;  // the last status call left _actdet at 0
};

// Sizes a module sees: _outbsz and _vdasiz.
constexpr int kOutputBufferSize = 16384;
constexpr int kScratchSize = 8192;

void init_channels(std::function<void()> on_channel_freed);
Channel *free_channel();           // the lowest free channel, or null
Channel *channel_at(int number);   // the channel if a connection occupies it, or null
Channel *current_channel();        // the channel of the module call now running, or null
void attach_channel(Channel &c, std::shared_ptr<Connection> conn);

// Sets the globals a module reads (_usrnum, _usrptr, _vdaptr) for one call into it, and resets
// the host's per-call selections; the channel is settled only after the outermost call.
struct CallScope {
    explicit CallScope(Channel &c);
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

  private:
    Channel &channel_;
    Channel *saved_current_;
    int saved_usrnum_;
    HostUser *saved_usrptr_;
    HostWebRecord *saved_vdaptr_;
};

// After a call into a module: carry out what it asked for (reset, finish, hand-back) and send.
void settle(Channel &c);
// Free room in the channel's output buffer (may be below 0 when _powprf overfilled it).
int output_room(const Channel &c);
// The peer has gone: tells the owning module, then ends the channel.
void peer_gone(Channel &c);
void end_gracefully(Channel &c);
void end_at_once(Channel &c);
// Queues one of the host's own answers as the whole response, which finishes the request.
void queue_answer(Channel &c, int code, const std::string &message_html, const std::string &extra_headers = "");
// Stops everything at shutdown: every channel ends at once.
void end_all_channels();

// The host's own hooks, the initial values of _hdlwebreq and _prshdrlin.
void host_request_handler(char *url);
int host_header_parser(char *line);

}  // namespace host
