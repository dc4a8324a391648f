// What the web tests share: a served root, and a client connection they keep open: to send a request in pieces, to read slowly or
// not at all, and to hold a channel while other connections come and go.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

// A root with the web test module and a few files under www/ (and a secret beside it, with
// symbolic links that point at it from inside), and a hostd serving it.
struct WebSite {
    explicit WebSite(std::vector<std::string> extra_args = {});
    TempRoot root;
    std::unique_ptr<Host> host;
    int port() const { return host->port(); }
};

// One site for the tests of a process that need no options of their own.
WebSite &shared_site();

// The bytes the test module's /test/big page sends: byte i of n.
std::string big_pattern(size_t n);

class Client {
  public:
    // Connects to 127.0.0.1:port from the address from. A receive buffer size above 0 is set
    // before connecting, so a slow reader's window stays small.
    explicit Client(int port, const std::string &from = "127.0.0.1", int receive_buffer = 0);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(const std::string &bytes);
    // Reads at most max bytes of what arrives within timeout_ms into received. The count read;
    // 0 when the server has closed (closed() is then true); -1 when nothing came in time.
    long read_some(int timeout_ms, size_t max = 65536);
    // Reads until received holds marker; false when the time ran out or the server closed.
    bool read_until(const std::string &marker, int timeout_ms);
    // Reads until the server closes; false when the time ran out first.
    bool read_to_end(int timeout_ms);
    bool closed() const { return closed_; }
    void close();

    std::string received;

  private:
    int fd_ = -1;
    bool closed_ = false;
};

}  // namespace e2e
